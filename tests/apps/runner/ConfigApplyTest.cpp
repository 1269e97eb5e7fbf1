// Apply as a difference: the first apply writes the whole model, a changed model writes only
// what changed (and the agent's watchers hear only that, in a safe order), and a database it
// cannot write to is refused before any write.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apps/runner/RunnerConfig.h"
#include "tests/support/Recorders.h"

namespace {

using nlohmann::json;
using namespace TestSupport;
using Lines = std::vector<std::string>;

// Records every notification of the configuration entities present in the database now.
class Watchers {
 public:
  Watchers(Orbis::EntityManager& manager, Log& log) {
    auto config = Kiln::ptrCast<CfmAgent::Config>(manager.entity(Runner::cfmConfigPath));
    add<ConfigRecorder>(config, log, "config ");
    add<CfmProfileRecorder>(config->defaultCfmProfile(), log, "profile default: ");
    for (const auto& [name, profile] : config->cfmProfile()) add<CfmProfileRecorder>(profile, log, text("profile ", name, ": "));
    for (const auto& [level, md] : config->mdConfig()) {
      add<MdConfigRecorder>(md, log, text("md ", level, ": "));
      for (const auto& [name, ma] : md->maConfig()) {
        add<MaConfigRecorder>(ma, log, text("ma ", name, ": "));
        for (const auto& [id, mep] : ma->localMepConfig()) add<LocalMepConfigRecorder>(mep, log, text("mep ", id, ": "));
      }
    }
    auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager.entity(Runner::aleStatusPath));
    add<AleStatusRecorder>(ale, log, "ale: ");
    for (const auto& [level, md] : ale->mdStatus()) add<MdAleStatusRecorder>(md, log, text("ale ", level, ": "));
  }

 private:
  template <class R, class E>
  void add(const E& entity, Log& log, const std::string& who) {
    all.push_back(std::make_shared<R>(entity, log, who));
  }
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

TEST(ConfigApply, FirstApplyWritesTheWholeModel) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  Runner::apply(model(base()), *manager);
  auto br = Kiln::ptrCast<Bridging::Config>(manager->entity(Runner::bridgingConfigPath));
  auto brStatus = Kiln::ptrCast<Bridging::Status>(manager->entity(Runner::bridgingStatusPath));
  auto cfm = Kiln::ptrCast<CfmAgent::Config>(manager->entity(Runner::cfmConfigPath));
  auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager->entity(Runner::aleStatusPath));
  ASSERT_TRUE(br && brStatus && cfm && ale);

  EXPECT_EQ(br->bridgeMacAddr().stringValue(), "02:00:00:00:00:01");
  auto port = br->switchIntfConfig(Lumen::IntfId("Ethernet1"));
  ASSERT_TRUE(port);
  EXPECT_EQ(port->mode(), Bridging::switchIntfModeTrunk);
  EXPECT_EQ(port->portVlan().value(), 10);
  EXPECT_EQ(port->ingressVlanXlate({100, 0}), (Bridging::VlanXlateMapping{10, 0}));
  EXPECT_EQ(port->egressVlanXlate().size(), 2u);
  const auto hostA = *Lumen::EthAddr::fromString("02:00:00:00:00:0a");
  const auto hostB = *Lumen::EthAddr::fromString("02:00:00:00:00:0b");
  EXPECT_EQ(br->vlanConfig(Lumen::VlanId(10))->configuredHost(hostA).intf, Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(brStatus->vlanStatus(Lumen::VlanId(10))->learnedHost(hostB).intf, Lumen::IntfId("Ethernet2"));

  EXPECT_EQ(cfm->cfmProfile(Cfm::CfmProfileName("fast"))->ccmTxInterval().value(), 0.1);
  auto md = cfm->mdConfig(Cfm::MdLevel(3));
  ASSERT_TRUE(md);
  EXPECT_EQ(md->mdName(), (Cfm::MdNameWithFormat{Cfm::MdName("md"), Cfm::mdNameFormatCharacterString}));
  EXPECT_TRUE(md->defaultMip());
  auto ma = md->maConfig(Cfm::MaName("ma1"));
  ASSERT_TRUE(ma && md->maConfig(Cfm::MaName("ma2")));
  EXPECT_EQ(ma->cfmProfileName(), Cfm::CfmProfileName("fast"));
  auto mep = ma->localMepConfig(Cfm::MepId(100));
  ASSERT_TRUE(mep);
  EXPECT_EQ(mep->intfId(), Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(mep->remoteMepConfig().size(), 2u);
  EXPECT_TRUE(ale->mdStatus(Cfm::MdLevel(3))->defaultMip());
}

// Each row changes the file in one way; the apply must write that change and nothing else,
// and the configuration's watchers must hear of it in an order that never leaves an
// association without the profile it names.
TEST(ConfigApply, ChangedModelWritesOnlyTheDifference) {
  struct Row {
    std::function<void(json&)> edit;
    Lines writes;
    Log notifications;
  };
  const std::string e1 = "bridging/config: switchport Ethernet1", ma = "cfm/config: domain 3: association ma1";
  const auto mepOf = [](json& j) -> json& { return j["cfm"]["domains"][0]["associations"][0]["localMeps"][0]; };
  const std::vector<Row> rows = {
      {[](json&) {}, {}, {}},
      {[](json& j) { j["switchports"]["Ethernet1"]["ingressTranslation"][0]["to"] = 20; },
       {e1 + ": ingress translation 100/0 -> 20/0"}, {}},
      {[](json& j) { j["switchports"]["Ethernet1"]["allowedVlans"] = {10}; },
       {e1 + ": egress translation 20/0 deleted"}, {}},
      {[](json& j) { j["switchports"].erase("Ethernet2"); }, {"bridging/config: switchport Ethernet2 deleted"}, {}},
      {[](json& j) { j["vlans"]["10"]["learnedHosts"]["02:00:00:00:00:0b"] = "Ethernet1"; },
       {"bridging/status: vlan 10: learned host 02:00:00:00:00:0b on Ethernet1"}, {}},
      {[](json& j) { j["cfm"]["domains"][0]["associations"].erase(1); },
       {"cfm/config: domain 3: association ma2 deleted"}, {"md 3: maConfig ma2 absent"}},
      {[](json& j) { j["cfm"]["domains"][0]["defaultMip"] = false; },
       {"cfm/config: domain 3: defaultMip false"}, {"md 3: defaultMip 0"}},
      {[](json& j) { j["cfm"]["domains"][0]["format"] = "dnsLikeName"; },
       {"cfm/config: domain 3: name md (dnsLikeName)"}, {"md 3: mdName md (mdNameFormatDnsLikeName)"}},
      {[&](json& j) { mepOf(j)["remoteMeps"] = {{"200", true}, {"300", false}}; },
       {ma + ": local MEP 100: remote MEP 300 false"}, {"mep 100: remoteMepConfig 300 false"}},
      {[&](json& j) { mepOf(j)["remoteMeps"] = {200}; },
       {ma + ": local MEP 100: remote MEP 300 deleted"}, {"mep 100: remoteMepConfig 300 absent"}},
      {[&](json& j) { mepOf(j)["interface"] = "Ethernet2"; },
       {ma + ": local MEP 100: interface Ethernet2"}, {"mep 100: intfId Ethernet2"}},
      {[](json& j) { j["cfm"]["profiles"][0]["ccmInterval"] = "10ms"; },
       {"cfm/config: profile fast: ccmInterval 10ms"}, {"profile fast: ccmTxInterval 0.01"}},
      {[](json& j) { j["cfm"]["defaultProfile"] = {{"ccmEnable", false}}; },
       {"cfm/config: default profile: ccmEnable false"}, {"profile default: ccmEnable 0"}},
      // The association leaves the profile before the profile goes...
      {[](json& j) {
         j["cfm"]["profiles"] = json::array();
         j["cfm"]["domains"][0]["associations"][0].erase("profile");
       },
       {ma + ": profile (default)", "cfm/config: profile fast deleted"},
       {"ma ma1: cfmProfileName ", "config cfmProfile fast absent"}},
      // ...and a new profile is there before the association names it.
      {[](json& j) {
         j["cfm"]["profiles"].push_back({{"name", "slow"}, {"ccmInterval", "10s"}});
         j["cfm"]["domains"][0]["associations"][0]["profile"] = "slow";
       },
       {"cfm/config: profile slow created", "cfm/config: profile slow: ccmInterval 10s", ma + ": profile slow"},
       {"config cfmProfile slow present", "ma ma1: cfmProfileName slow"}},
      {[](json& j) { j.erase("aleStatus"); }, {"cfm/aleStatus: level 3 deleted"}, {"ale: mdStatus 3 absent"}},
      {[](json& j) { j["aleStatus"][0]["defaultMip"] = false; },
       {"cfm/aleStatus: level 3: defaultMip false"}, {"ale 3: defaultMip 0"}},
  };
  for (const auto& row : rows) {
    auto db = Kiln::make<Orbis::EntityManager>();
    Runner::apply(model(base()), *db);
    json changed = base();
    row.edit(changed);
    SCOPED_TRACE(changed.dump());
    Log log;
    Watchers watchers(*db, log);
    EXPECT_EQ(Runner::apply(model(changed), *db), row.writes);
    EXPECT_EQ(log, row.notifications);
    // What was written is all of the change: nothing is left to write.
    EXPECT_EQ(Runner::apply(model(changed), *db), Lines{});
  }
}

TEST(ConfigApply, RootOfAnotherTypeRefusesBeforeAnyWrite) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  manager->entityIs(Runner::aleStatusPath, "Kiln::Dir");
  try {
    Runner::apply(model(base()), *manager);
    ADD_FAILURE() << "applied over a root of another type";
  } catch (const Runner::ConfigError& e) {
    EXPECT_STREQ(e.what(), "cfm/aleStatus holds a Kiln::Dir, not a Cfm::AleStatus; nothing was applied");
  }
  EXPECT_EQ(manager->paths(), Lines{"cfm/aleStatus"});
}

}  // namespace
