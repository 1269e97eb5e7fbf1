#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "apps/runner/RunnerConfig.h"
#include "platform/types/CfmAgentTypes.h"
#include "platform/types/CfmAleTypes.h"

namespace {

using nlohmann::json;
using Log = std::vector<std::string>;

template <class... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream os;
  (os << ... << parts);
  return os.str();
}

// Records every notification of the configuration types the agent's machines watch, as
// "<who> <notification>", in the order they fire.
struct ConfigWatch : CfmAgent::Config::NotifieeConst {
  ConfigWatch(Kiln::PtrConst<CfmAgent::Config> c, Log& log) : NotifieeConst(c), log(log) {}
  void onMdConfig(Cfm::MdLevel l) override { log.push_back(text("config mdConfig ", l)); }
  void onCfmProfile(const Cfm::CfmProfileName& n) override {
    log.push_back(text("config cfmProfile ", n));
  }
  Log& log;
};
struct ProfileWatch : CfmAgent::CfmProfile::NotifieeConst {
  ProfileWatch(Kiln::PtrConst<CfmAgent::CfmProfile> p, Log& log) : NotifieeConst(p), log(log) {}
  void onCcmTxInterval() override { log.push_back(who() + " ccmTxInterval"); }
  void onCcmEnable() override { log.push_back(who() + " ccmEnable"); }
  std::string who() const { return text("profile ", notifier()->cfmProfileName()); }
  Log& log;
};
struct MdWatch : CfmAgent::MdConfig::NotifieeConst {
  MdWatch(Kiln::PtrConst<CfmAgent::MdConfig> m, Log& log) : NotifieeConst(m), log(log) {}
  void onMdName() override { log.push_back(who() + " mdName"); }
  void onDefaultMip() override { log.push_back(who() + " defaultMip"); }
  void onMaConfig(const Cfm::MaName& n) override { log.push_back(who() + text(" maConfig ", n)); }
  std::string who() const { return text("md ", notifier()->mdLevel()); }
  Log& log;
};
struct MaWatch : CfmAgent::MaConfig::NotifieeConst {
  MaWatch(Kiln::PtrConst<CfmAgent::MaConfig> m, Log& log) : NotifieeConst(m), log(log) {}
  void onMaName() override { log.push_back(who() + " maName"); }
  void onDirection() override { log.push_back(who() + " direction"); }
  void onPrimaryVlanId() override { log.push_back(who() + " primaryVlanId"); }
  void onCfmProfileName() override { log.push_back(who() + " cfmProfileName"); }
  void onLocalMepConfig(Cfm::MepId id) override {
    log.push_back(who() + text(" localMepConfig ", id));
  }
  std::string who() const { return text("ma ", notifier()->maNameKey()); }
  Log& log;
};
struct MepWatch : CfmAgent::LocalMepConfig::NotifieeConst {
  MepWatch(Kiln::PtrConst<CfmAgent::LocalMepConfig> m, Log& log) : NotifieeConst(m), log(log) {}
  void onIntfId() override { log.push_back(who() + " intfId"); }
  void onRemoteMepConfig(Cfm::MepId id) override {
    log.push_back(who() + text(" remoteMepConfig ", id));
  }
  std::string who() const { return text("mep ", notifier()->mepId()); }
  Log& log;
};
struct AleWatch : Cfm::AleStatus::NotifieeConst {
  AleWatch(Kiln::PtrConst<Cfm::AleStatus> a, Log& log) : NotifieeConst(a), log(log) {}
  void onMdStatus(Cfm::MdLevel l) override { log.push_back(text("aleStatus mdStatus ", l)); }
  Log& log;
};
struct MdAleWatch : Cfm::MdAleStatus::NotifieeConst {
  MdAleWatch(Kiln::PtrConst<Cfm::MdAleStatus> m, Log& log) : NotifieeConst(m), log(log) {}
  void onDefaultMip() override {
    log.push_back(text("aleStatus ", notifier()->mdLevel(), " defaultMip"));
  }
  Log& log;
};

// Watches every configuration entity present in the database now.
class Watchers {
 public:
  Watchers(Orbis::EntityManager& manager, Log& log) {
    auto config = Kiln::ptrCast<CfmAgent::Config>(manager.entity("cfm/config"));
    all.push_back(std::make_shared<ConfigWatch>(config, log));
    all.push_back(std::make_shared<ProfileWatch>(config->defaultCfmProfile(), log));
    for (const auto& [name, profile] : config->cfmProfile()) {
      all.push_back(std::make_shared<ProfileWatch>(profile, log));
    }
    for (const auto& [level, md] : config->mdConfig()) {
      all.push_back(std::make_shared<MdWatch>(md, log));
      for (const auto& [name, ma] : md->maConfig()) {
        all.push_back(std::make_shared<MaWatch>(ma, log));
        for (const auto& [id, mep] : ma->localMepConfig()) {
          all.push_back(std::make_shared<MepWatch>(mep, log));
        }
      }
    }
    auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager.entity("cfm/aleStatus"));
    all.push_back(std::make_shared<AleWatch>(ale, log));
    for (const auto& [level, md] : ale->mdStatus())
      all.push_back(std::make_shared<MdAleWatch>(md, log));
  }

 private:
  std::vector<std::shared_ptr<void>> all;
};

json base() {
  return json::parse(R"({
    "bridgeMac": "02:00:00:00:00:01",
    "interfaces": { "Ethernet1": "sw-a", "Ethernet2": "sw-b" },
    "switchports": {
      "Ethernet1": { "mode": "trunk", "portVlan": 10, "allowedVlans": [10, 20],
                     "ingressTranslation": [ { "from": 100, "to": 10 } ] },
      "Ethernet2": { "mode": "access", "portVlan": 20 } },
    "vlans": { "10": { "configuredHosts": { "02:00:00:00:00:0a": "Ethernet1" },
                       "learnedHosts": { "02:00:00:00:00:0b": "Ethernet2" } } },
    "cfm": {
      "profiles": [ { "name": "fast", "ccmInterval": "100ms" } ],
      "domains": [ { "level": 3, "name": "md", "defaultMip": true, "associations": [
        { "name": "ma1", "primaryVlan": 10, "profile": "fast",
          "localMeps": [ { "id": 100, "interface": "Ethernet1", "remoteMeps": [200, 300] } ] },
        { "name": "ma2", "primaryVlan": 20 } ] } ]
    },
    "aleStatus": [ { "level": 3, "defaultMip": true } ]
  })");
}

Runner::RunnerConfig model(const json& j) { return Runner::parseText(j.dump(), "test.json"); }

json& ma1Of(json& j) { return j["cfm"]["domains"][0]["associations"][0]; }
json& mepOf(json& j) { return ma1Of(j)["localMeps"][0]; }

class ConfigApplyTest : public ::testing::Test {
 protected:
  template <class T>
  Kiln::Ptr<T> at(const char* path) {
    return Kiln::ptrCast<T>(manager->entity(path));
  }
  Kiln::Ptr<Orbis::EntityManager> manager = Kiln::make<Orbis::EntityManager>();
};

TEST_F(ConfigApplyTest, FirstApplyWritesTheWholeModel) {
  Runner::apply(model(base()), *manager);

  EXPECT_EQ(manager->typeName("bridging/config"), "Bridging::Config");
  EXPECT_EQ(manager->typeName("bridging/status"), "Bridging::Status");
  EXPECT_EQ(manager->typeName("cfm/config"), "CfmAgent::Config");
  EXPECT_EQ(manager->typeName("cfm/aleStatus"), "Cfm::AleStatus");

  auto br = at<Bridging::Config>("bridging/config");
  EXPECT_EQ(br->bridgeMacAddr().stringValue(), "02:00:00:00:00:01");
  auto port = br->switchIntfConfig(Lumen::IntfId("Ethernet1"));
  ASSERT_TRUE(port);
  EXPECT_EQ(port->mode(), Bridging::switchIntfModeTrunk);
  EXPECT_EQ(port->portVlan().value(), 10);
  EXPECT_EQ(port->ingressVlanXlate({100, 0}), (Bridging::VlanXlateMapping{10, 0}));
  EXPECT_EQ(port->egressVlanXlate().size(), 2u);
  EXPECT_EQ(br->vlanConfig(Lumen::VlanId(10))
                ->configuredHost(*Lumen::EthAddr::fromString("02:00:00:00:00:0a"))
                .intf,
            Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(at<Bridging::Status>("bridging/status")
                ->vlanStatus(Lumen::VlanId(10))
                ->learnedHost(*Lumen::EthAddr::fromString("02:00:00:00:00:0b"))
                .intf,
            Lumen::IntfId("Ethernet2"));

  auto cfm = at<CfmAgent::Config>("cfm/config");
  EXPECT_EQ(cfm->cfmProfile(Cfm::CfmProfileName("fast"))->ccmTxInterval().value(), 0.1);
  auto md = cfm->mdConfig(Cfm::MdLevel(3));
  ASSERT_TRUE(md);
  EXPECT_EQ(md->mdName(),
            (Cfm::MdNameWithFormat{Cfm::MdName("md"), Cfm::mdNameFormatCharacterString}));
  EXPECT_TRUE(md->defaultMip());
  auto ma = md->maConfig(Cfm::MaName("ma1"));
  ASSERT_TRUE(ma);
  EXPECT_EQ(ma->maName().name, Cfm::MaName("ma1"));
  EXPECT_EQ(ma->cfmProfileName(), Cfm::CfmProfileName("fast"));
  auto mep = ma->localMepConfig(Cfm::MepId(100));
  ASSERT_TRUE(mep);
  EXPECT_EQ(mep->intfId(), Lumen::IntfId("Ethernet1"));
  EXPECT_TRUE(mep->remoteMepConfig(Cfm::MepId(300)));
  EXPECT_TRUE(at<Cfm::AleStatus>("cfm/aleStatus")->mdStatus(Cfm::MdLevel(3))->defaultMip());
}

TEST_F(ConfigApplyTest, ApplyingTheSameModelAgainWritesNothing) {
  const auto config = model(base());
  Runner::apply(config, *manager);
  auto port = at<Bridging::Config>("bridging/config")->switchIntfConfig(Lumen::IntfId("Ethernet1"));
  auto ma =
      at<CfmAgent::Config>("cfm/config")->mdConfig(Cfm::MdLevel(3))->maConfig(Cfm::MaName("ma1"));

  Log log;
  Watchers watchers(*manager, log);
  EXPECT_EQ(Runner::apply(config, *manager), std::vector<std::string>{});
  EXPECT_EQ(log, Log{});
  // Entries are found, not rebuilt: holders keep the objects they had.
  EXPECT_EQ(at<Bridging::Config>("bridging/config")->switchIntfConfig(Lumen::IntfId("Ethernet1")),
            port);
  EXPECT_EQ(
      at<CfmAgent::Config>("cfm/config")->mdConfig(Cfm::MdLevel(3))->maConfig(Cfm::MaName("ma1")),
      ma);
}

// Each row changes the file in one way; the apply must write that change and nothing else,
// and the configuration's watchers must hear of it in an order that never leaves an
// association without the profile it names.
struct ChangeRow {
  const char* what;
  std::function<void(json&)> edit;
  std::vector<std::string> lines;
  Log notifications;
};

TEST_F(ConfigApplyTest, ChangedModelWritesOnlyTheDifference) {
  const std::string e1 = "bridging/config: switchport Ethernet1";
  const std::string ma = "cfm/config: domain 3: association ma1";
  const std::vector<ChangeRow> rows = {
      {"ingress translation",
       [](json& j) { j["switchports"]["Ethernet1"]["ingressTranslation"][0]["to"] = 20; },
       {e1 + ": ingress translation 100/0 -> 20/0"},
       {}},
      {"egress entry dropped",
       [](json& j) { j["switchports"]["Ethernet1"]["allowedVlans"] = {10}; },
       {e1 + ": egress translation 20/0 deleted"},
       {}},
      {"switchport removed",
       [](json& j) { j["switchports"].erase("Ethernet2"); },
       {"bridging/config: switchport Ethernet2 deleted"},
       {}},
      {"learned host moved",
       [](json& j) { j["vlans"]["10"]["learnedHosts"]["02:00:00:00:00:0b"] = "Ethernet1"; },
       {"bridging/status: vlan 10: learned host 02:00:00:00:00:0b on Ethernet1"},
       {}},
      {"MA removed",
       [](json& j) { j["cfm"]["domains"][0]["associations"].erase(1); },
       {"cfm/config: domain 3: association ma2 deleted"},
       {"md 3 maConfig ma2"}},
      {"defaultMip only",
       [](json& j) { j["cfm"]["domains"][0]["defaultMip"] = false; },
       {"cfm/config: domain 3: defaultMip false"},
       {"md 3 defaultMip"}},
      {"MD name format only",
       [](json& j) { j["cfm"]["domains"][0]["format"] = "dnsLikeName"; },
       {"cfm/config: domain 3: name md (dnsLikeName)"},
       {"md 3 mdName"}},
      {"remote MEP switched off",
       [](json& j) {
         mepOf(j)["remoteMeps"] = {{"200", true}, {"300", false}};
       },
       {ma + ": local MEP 100: remote MEP 300 false"},
       {"mep 100 remoteMepConfig 300"}},
      {"remote MEP removed",
       [](json& j) { mepOf(j)["remoteMeps"] = {200}; },
       {ma + ": local MEP 100: remote MEP 300 deleted"},
       {"mep 100 remoteMepConfig 300"}},
      {"MEP moved",
       [](json& j) { mepOf(j)["interface"] = "Ethernet2"; },
       {ma + ": local MEP 100: interface Ethernet2"},
       {"mep 100 intfId"}},
      {"profile interval",
       [](json& j) { j["cfm"]["profiles"][0]["ccmInterval"] = "10ms"; },
       {"cfm/config: profile fast: ccmInterval 10ms"},
       {"profile fast ccmTxInterval"}},
      {"default profile",
       [](json& j) {
         j["cfm"]["defaultProfile"] = {{"ccmEnable", false}};
       },
       {"cfm/config: default profile: ccmEnable false"},
       {"profile default ccmEnable"}},
      // The association leaves the profile before the profile goes...
      {"profile dropped",
       [](json& j) {
         j["cfm"]["profiles"] = json::array();
         ma1Of(j).erase("profile");
       },
       {ma + ": profile (default)", "cfm/config: profile fast deleted"},
       {"ma ma1 cfmProfileName", "config cfmProfile fast"}},
      // ...and a new profile is there before the association names it.
      {"profile added",
       [](json& j) {
         j["cfm"]["profiles"].push_back({{"name", "slow"}, {"ccmInterval", "10s"}});
         ma1Of(j)["profile"] = "slow";
       },
       {"cfm/config: profile slow created", "cfm/config: profile slow: ccmInterval 10s",
        ma + ": profile slow"},
       {"config cfmProfile slow", "ma ma1 cfmProfileName"}},
      {"ALE status removed",
       [](json& j) { j.erase("aleStatus"); },
       {"cfm/aleStatus: level 3 deleted"},
       {"aleStatus mdStatus 3"}},
      {"ALE status defaultMip",
       [](json& j) { j["aleStatus"][0]["defaultMip"] = false; },
       {"cfm/aleStatus: level 3: defaultMip false"},
       {"aleStatus 3 defaultMip"}},
  };
  for (const auto& row : rows) {
    auto db = Kiln::make<Orbis::EntityManager>();
    Runner::apply(model(base()), *db);
    json changed = base();
    row.edit(changed);
    Log log;
    Watchers watchers(*db, log);
    EXPECT_EQ(Runner::apply(model(changed), *db), row.lines) << row.what;
    EXPECT_EQ(log, row.notifications) << row.what;
    // What was written is all of the change: nothing is left to write.
    EXPECT_EQ(Runner::apply(model(changed), *db), std::vector<std::string>{}) << row.what;
  }
}

TEST_F(ConfigApplyTest, RootOfAnotherTypeRefusesBeforeAnyWrite) {
  manager->entityIs("cfm/aleStatus", "Kiln::Dir");
  try {
    Runner::apply(model(base()), *manager);
    FAIL() << "applied over a root of another type";
  } catch (const Runner::ConfigError& e) {
    EXPECT_STREQ(e.what(),
                 "cfm/aleStatus holds a Kiln::Dir, not a Cfm::AleStatus; nothing was applied");
  }
  EXPECT_EQ(manager->paths(), std::vector<std::string>{"cfm/aleStatus"});
}

}  // namespace
