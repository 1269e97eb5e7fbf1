// The runner's configuration: each refusal is one line with the file, the JSON path and
// the fault, and applying a model writes only its difference from the database.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/runner/RunnerConfig.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "tests/support/ErrorText.h"

namespace {

using nlohmann::json;
using namespace TestSupport;
using Lines = std::vector<std::string>;

// A configuration with every section; each row of the tables below changes one thing in it.
json base() {
  return json::parse(R"({
    "bridgeMac": "02:00:00:00:00:01",
    "interfaces": { "Ethernet1": "sw-a", "Ethernet2": "sw-b" },
    "switchports": { "Ethernet2": { "mode": "access", "portVlan": 20 }, "Ethernet1": { "mode": "trunk", "portVlan": 10,
                     "allowedVlans": [10, 20], "ingressTranslation": [ { "from": 100, "to": 10 } ] } },
    "vlans": { "10": { "configuredHosts": { "02:00:00:00:00:0a": "Ethernet1" },
                       "learnedHosts": { "02:00:00:00:00:0b": "Ethernet2" } } },
    "cfm": { "profiles": [ { "name": "fast", "ccmInterval": "100ms" } ],
      "domains": [ { "level": 3, "name": "md", "defaultMip": true, "associations": [
        { "name": "ma1", "primaryVlan": 10, "profile": "fast",
          "localMeps": [ { "id": 100, "interface": "Ethernet1", "remoteMeps": [200, 300] } ] },
        { "name": "ma2", "primaryVlan": 20, "direction": "up" } ] } ] },
    "aleStatus": [ { "level": 3, "defaultMip": true } ]
  })");
}

Runner::RunnerConfig model(const json& j) { return Runner::parseText(j.dump(), "demo.json"); }

// What parsing `text`, or reading `file` when one is named, is refused with.
std::string refusal(const std::string& text, const std::string& file = "") {
  const std::string error = errorOf<Runner::ConfigError>(
      [&] { file.empty() ? Runner::parseText(text, "demo.json") : Runner::parse(file); });
  return error.empty() ? "(accepted)" : error;
}

using Edit = std::function<void(json&)>;
Edit set(const std::string& pointer, json value) {
  return [=](json& j) { j[json::json_pointer(pointer)] = value; };
}
Edit erase(const std::string& pointer, const std::string& key) {
  return [=](json& j) { j[json::json_pointer(pointer)].erase(key); };
}
const std::string md = "/cfm/domains/0", ma1 = md + "/associations/0", mep = ma1 + "/localMeps/0";

// One row per check; where checks share a helper (ranges, "is not in interfaces"), one use
// of it stands for the others.
TEST(RunnerConfigParse, RefusesBadConfigurationWithFilePathAndReason) {
  ASSERT_EQ(refusal(base().dump()), "(accepted)");
  const std::string maAt = "cfm.domains[0].associations[0]", mepAt = maAt + ".localMeps[0]";
  const std::string e1 = "/switchports/Ethernet1";
  const std::vector<std::pair<Edit, std::string>> rows = {
      {set(md + "/level", 9), "cfm.domains[0].level: 9 is not an MD level (0-7)"},
      {set(mep + "/remoteMep", json::array()),
       mepAt + ".remoteMep: unknown key (known here: faultAlarm, id, interface, pmSessions, remoteMeps)"},
      {[](json& j) { j.erase("bridgeMac"); }, "\"bridgeMac\" is missing"},
      {set("/bridgeMac", "01:80:c2:00:00:33"),
       "bridgeMac: 01:80:c2:00:00:33 is a group address; the bridge MAC is unicast"},
      {set("/bridgeMac", "02:00:00:00:00"), "bridgeMac: \"02:00:00:00:00\" is not a MAC address (aa:bb:cc:dd:ee:ff)"},
      {set("/interfaces/Foo1", "x"), "interfaces.Foo1: \"Foo1\" is not an interface name"},
      {set("/interfaces/Vlan10", "x"), "interfaces.Vlan10: Vlan10 is not an Ethernet or Port-Channel interface"},
      {set("/interfaces/Et1", "sw-c"), "interfaces.Ethernet1: the same interface as interfaces.Et1"},
      {set("/interfaces/Ethernet2", "sixteen-chars-xx"),
       "interfaces.Ethernet2: \"sixteen-chars-xx\" is not a kernel device name (1-15 characters, no '/', ':' "
       "or spaces)"},
      {set("/interfaces/Ethernet2", {{"device", "sw-b"}, {"mtu", 67}}), "interfaces.Ethernet2.mtu: 67 is not an MTU (68-65535)"},
      {set("/interfaces/Ethernet2", {{"mtu", 9000}}), "interfaces.Ethernet2: \"device\" is missing"},
      {set(e1 + "/mode", "hybrid"),
       "switchports.Ethernet1.mode: \"hybrid\" is not a switchport mode (access, trunk, dot1q-tunnel, tap, "
       "tool, routed)"},
      {set(e1 + "/portVlan", 4095), "switchports.Ethernet1.portVlan: 4095 is not a port VLAN (0-4094, 0 for none)"},
      {set(e1 + "/tpid", "0x05dc"),
       "switchports.Ethernet1.tpid: \"0x05dc\" is not a TPID (0 for 0x8100, or 0x0600-0xffff)"},
      {[&](json& j) { j[json::json_pointer(e1)].update({{"mode", "access"}, {"allowedVlans", {20}}}); },
       "switchports.Ethernet1.allowedVlans: only a trunk carries tagged VLANs (mode is access)"},
      {set(e1 + "/ingressTranslation", json::parse(R"([{"from": 100, "to": 10}, {"from": [100, 0], "to": 20}])")),
       "switchports.Ethernet1.ingressTranslation[1].from: VLANs 100/0 are already translated by "
       "switchports.Ethernet1.ingressTranslation[0]"},
      {set(e1 + "/egressTranslation", json::parse(R"([{"from": 10, "to": [5000]}])")),
       "switchports.Ethernet1.egressTranslation[0].to[0]: 5000 is not a VLAN (1-4094)"},
      {set("/vlans/0", json::object()), "vlans.0: \"0\" is not a VLAN (1-4094)"},
      {set("/vlans/10/learnedHosts/01:00:5e:00:00:01", "Et1"),
       "vlans.10.learnedHosts.01:00:5e:00:00:01: 01:00:5e:00:00:01 is a group address; hosts are unicast"},
      {set("/vlans/10/configuredHosts/02:00:00:00:00:0b", "Po1"),
       "vlans.10.configuredHosts.02:00:00:00:00:0b: Port-Channel1 is not in interfaces"},
      {set(md + "/name", std::string(44, 'd')),
       "cfm.domains[0].name: \"" + std::string(44, 'd') + "\" is 44 bytes; a characterString MD name holds at most 43"},
      {set(md + "/format", "none"), "cfm.domains[0].name: an MD name of format none has no name"},
      {[&](json& j) { set(md + "/name", std::string(40, 'd'))(j), set(ma1 + "/name", "fiver")(j); },
       maAt + ".name: the MD name (40 bytes) and this MA name (5 bytes) exceed the 44 bytes a MAID holds for both"},
      {[&](json& j) { set(ma1 + "/format", "primaryVid")(j), set(ma1 + "/name", "abc")(j); },
       maAt + ".name: \"abc\" is 3 bytes; a primaryVid MA name is 2 bytes"},
      {set(md + "/associations/1/name", "ma1"), "cfm.domains[0].associations[1].name: the same name as " + maAt},
      {set("/cfm/domains/1", {{"level", 3}}), "cfm.domains[1].level: level 3 is already configured by cfm.domains[0]"},
      {set(ma1 + "/profile", "slow"), maAt + ".profile: no profile named \"slow\" in cfm.profiles"},
      {set("/cfm/profiles/0/ccmInterval", "2s"),
       "cfm.profiles[0].ccmInterval: \"2s\" is not a CCM interval (3.3ms, 10ms, 100ms, 1s, 10s, 1min, 10min)"},
      {set(mep + "/remoteMeps", {{"0", true}}), mepAt + ".remoteMeps.0: \"0\" is not a MEP id (1-8191)"},
      {set(mep + "/remoteMeps", {200, 100}), mepAt + ".remoteMeps[1]: MEP 100 is this local MEP"},
      {[&](json& j) { j[json::json_pointer(ma1 + "/localMeps")].push_back(j[json::json_pointer(mep)]); },
       maAt + ".localMeps[1].id: MEP 100 is already a local MEP of this association"},
      {set("/cfm/domains", json::object()), "cfm.domains: expected an array of domains, got an object"},
      {set("/bridge", "br0"), "bridgeMac: comes from the bridge br0; leave it out"},
      {set("/bridgeVlan", 5), "bridgeVlan: only goes with a bridge (\"bridge\" or --bridge)"},
      {set("/limits/ccmDatabaseEntries", -1), "limits.ccmDatabaseEntries: -1 is not a number of entries (0-131072)"},
      {set("/limits/mipCcmDatabaseEntries", 131073),
       "limits.mipCcmDatabaseEntries: 131073 is not a number of entries (0-131072)"},
      {set("/limits/ccmDatabaseEntries", 1.5), "limits.ccmDatabaseEntries: 1.5 is not a number of entries (0-131072)"},
      {set(ma1 + "/faultAlarm/lowestAlarmPri", "rdi"),
       maAt + ".faultAlarm.lowestAlarmPri: \"rdi\" is not a lowest alarm priority (allDef, macRemErrXcon, "
              "remErrXcon, errXcon, xcon, noXcon)"},
      {set(mep + "/faultAlarm/fngAlarmTime", 2.4), mepAt + ".faultAlarm.fngAlarmTime: 2.4 is not an alarm time (2.5-10 seconds)"},
      {set(ma1 + "/faultAlarm/fngResetTime", 10.01), maAt + ".faultAlarm.fngResetTime: 10.01 is not a reset time (2.5-10 seconds)"},
      {set(mep + "/faultAlarm/fngAlarmTimer", 3),
       mepAt + ".faultAlarm.fngAlarmTimer: unknown key (known here: fngAlarmTime, fngResetTime, lowestAlarmPri)"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "lmm", "target": 200}])")),
       mepAt + ".pmSessions[0].kind: \"lmm\" is not a session kind (dmm, slm, 1dm)"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 400}])")),
       mepAt + ".pmSessions[0].target: MEP 400 is not a remote MEP of this MEP's list: its address is learnt from "
               "its CCMs"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": "01:80:c2:00:00:33"}])")),
       mepAt + ".pmSessions[0].target: 01:80:c2:00:00:33 is not a unicast address; a session measures one MEP"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 200, "interval": "5ms"}])")),
       mepAt + ".pmSessions[0].interval: \"5ms\" is not a message interval (0.01s to 3600s, written as 100ms, 1s, "
               "15min)"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 200, "interval": "1)" + std::string(400, '0') + R"(s"}])")),
       mepAt + ".pmSessions[0].interval: \"1" + std::string(55, '0') + "... is not a message interval (0.01s to "
               "3600s, written as 100ms, 1s, 15min)"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 200, "testId": 1}])")),
       mepAt + ".pmSessions[0].testId: a test id is SLM's; this session is dmm"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "slm", "target": 200}, {"kind": "slm", "target": 200,
                                                 "name": "again"}])")),
       mepAt + ".pmSessions[1]: a second SLM session to 200 with test id 1; the replies could not be told apart"},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 200}, {"kind": "dmm", "target": 200}])")),
       mepAt + ".pmSessions[1]: a second session named \"dmm-200\""},
      {set(mep + "/pmSessions", json::parse(R"([{"kind": "dmm", "target": 200, "thresholds": {"farEndLossPercent": 101}}])")),
       mepAt + ".pmSessions[0].thresholds.farEndLossPercent: 101 is not a loss ratio (0-100 percent)"},
      {set("/limits/ccmDbEntries", 5),
       "limits.ccmDbEntries: unknown key (known here: ccmDatabaseEntries, mipCcmDatabaseEntries)"},
  };
  for (const auto& [edit, message] : rows) {
    json j = base();
    edit(j);
    EXPECT_EQ(refusal(j.dump()), "demo.json: " + message);
  }
}

// Faults the JSON library would pass over or reports with its own words.
TEST(RunnerConfigParse, RefusesFilesThatAreNotCleanJson) {
  EXPECT_EQ(refusal(R"({"bridgeMac": "02:00:00:00:00:01", "cfm": {"domains": [{"level": 1, "level": 2}]}})"),
            "demo.json: cfm.domains[0].level: key given twice");
  EXPECT_EQ(refusal("[]"), "demo.json: expected a JSON object, got an array");
  const std::string syntax = refusal("{\n  \"bridgeMac\": \"02:00:00:00:00:01\",\n}");
  EXPECT_EQ(syntax.rfind("demo.json:3:1: syntax error", 0), 0u) << syntax;
  EXPECT_EQ(refusal(R"({"bridgeVlan": 1E999})"), "demo.json: number overflow parsing '1E999'");
  EXPECT_EQ(refusal("", "/nonexistent/demo.json"), "/nonexistent/demo.json: cannot read: No such file or directory");
}

TEST(RunnerConfigParse, ReadsEveryFormOfTheFile) {
  const Runner::RunnerConfig config = Runner::parseText(R"({
    "bridgeMac": "02-00-00-00-00-AA",
    "interfaces": { "et1": "sw-a", "Po7": { "device": "bond0", "mtu": 9000 } },
    "switchports": { "Ethernet1": {
      "mode": "trunk", "portVlan": 10, "tpid": "0x88a8", "allowedVlans": [10, 20, 30],
      "ingressTranslation": [ { "from": [100, 200], "to": 300 } ],
      "egressTranslation": [ { "from": 30, "to": [300, 31] } ] } },
    "vlans": { "20": {} },
    "cfm": {
      "defaultProfile": { "ccmEnable": false, "ccmInterval": "3.3ms" },
      "domains": [ { "level": 0, "associations": [
        { "name": 4094, "format": "primaryVid", "direction": "up",
          "localMeps": [ { "id": 1, "interface": "Port-Channel7", "remoteMeps": { "2": true, "8191": false },
                           "pmSessions": [
                             { "kind": "slm", "target": 2, "testId": 7, "interval": "100ms", "priority": 5,
                               "dataBytes": 64, "measurementInterval": "15min", "history": 4,
                               "thresholds": { "delayP99": "2.5ms", "farEndLossPercent": 0.5 } },
                             { "name": "far", "kind": "1dm", "target": "02:00:00:00:00:bb", "interval": "0.5s" } ] } ] },
        { "nameHex": "0000010000000a", "format": "rfc2685VpnId" } ] } ]
    },
    "limits": { "ccmDatabaseEntries": 0, "mipCcmDatabaseEntries": 131072 }
  })", "forms.json");

  EXPECT_EQ(config.bridgeMac.stringValue(), "02:00:00:00:00:aa");
  EXPECT_EQ(config.interfaces.at(Lumen::IntfId("Port-Channel7")), "bond0");
  EXPECT_EQ(config.mtus, (std::map<Lumen::IntfId, std::uint32_t>{{Lumen::IntfId("Port-Channel7"), 9000}}));
  // allowedVlans are identity entries; an explicit egress entry replaces one.
  EXPECT_EQ(config.switchports.at(Lumen::IntfId("Ethernet1")),
            (Runner::Switchport{Bridging::switchIntfModeTrunk, Lumen::VlanIdOrNone(10), 0x88a8,
                                {{{100, 200}, {300, 0}}},
                                {{{10, 0}, {10, 0}}, {{20, 0}, {20, 0}}, {{30, 0}, {300, 31}}}}));
  EXPECT_EQ(config.defaultProfile, (Runner::Profile{Cfm::CcmTxInterval(1.0 / 300), false}));
  EXPECT_EQ(config.limits, (Runner::Limits{0, 131072}));
  const auto& domain = config.domains.at(Cfm::MdLevel(0));
  EXPECT_EQ(domain.name, Cfm::MdNameWithFormat{});  // no name: format none
  const Cfm::MaName vid(std::string("\x0f\xfe", 2)), vpnId(std::string("\0\0\1\0\0\0\x0a", 7));
  const std::map<Cfm::MepId, bool> remote = {{Cfm::MepId(2), true}, {Cfm::MepId(8191), false}};
  std::vector<SoftAle::PmSessionSettings> sessions(2);
  sessions[0] = {"slm-2", Cfm::PmKind::slm, Cfm::MepId(2), {}, 5, 0.1, 64, 7, 900, 4, {}};
  sessions[0].thresholds.delayP99 = 2'500'000;
  sessions[0].thresholds.farEndLoss = 0.5;
  sessions[1].name = "far";
  sessions[1].kind = Cfm::PmKind::oneDm;
  sessions[1].targetMac = Lumen::EthAddr(2, 0, 0, 0, 0, 0xbb);
  sessions[1].interval = 0.5;
  EXPECT_EQ(domain.associations,
            (std::map<Cfm::MaName, Runner::Association>{
                {vid, {{vid, Cfm::maNameFormatPrimaryVid}, Cfm::mepDirectionUp, {}, {},
                       {{Cfm::MepId(1), {Lumen::IntfId("Port-Channel7"), remote, {}, sessions}}}, {}}},
                {vpnId, {{vpnId, Cfm::maNameFormatRfc2685VpnId}, Cfm::mepDirectionDown, {}, {}, {}, {}}}}));
}

// Each setting a MEP gives is its own, each it leaves out its association's, else the default;
// MEP 101 gives none.
TEST(RunnerConfigParse, FaultAlarmSettingsComeFromTheMepThenItsAssociationThenTheDefaults) {
  using P = Cfm::LowestAlarmPri;
  using S = SoftAle::AlarmSettings;
  const std::vector<std::tuple<json, json, S, S>> rows = {
      {{{"lowestAlarmPri", "xcon"}, {"fngAlarmTime", 5}}, {{"lowestAlarmPri", "allDef"}}, {P::allDef, 5, 10}, {P::xcon, 5, 10}},
      // A MEP that spells out the default still overrides its association.
      {{{"fngResetTime", 3}}, {{"fngResetTime", 10}}, S{}, {P::macRemErrXcon, 2.5, 3}},
  };
  const auto key = [](std::uint16_t id) { return SoftAle::MepKey{Cfm::MdLevel(3), Cfm::MaName("ma1"), Cfm::MepId(id)}; };
  json j;
  for (const auto& [maAlarm, mepAlarm, mep100, mep101] : rows) {
    j = base();
    j[json::json_pointer(ma1 + "/localMeps/1")] = {{"id", 101}, {"interface", "Ethernet2"}};
    j[json::json_pointer(ma1 + "/faultAlarm")] = maAlarm;
    j[json::json_pointer(mep + "/faultAlarm")] = mepAlarm;
    EXPECT_EQ(Runner::alarmSettings(model(j)), (std::map<SoftAle::MepKey, S>{{key(100), mep100}, {key(101), mep101}}))
        << j["cfm"].dump();
  }
  // Not in the database (ChangedModelWritesOnlyTheDifference), so told apart beside its writes:
  // what resolves otherwise (the last row's MEP 100 spells out the default), a new MEP against
  // the defaults.
  const std::string at = "faultAlarm: domain 3: association ma1: local MEP ";
  EXPECT_EQ(Runner::alarmSettingChanges(model(base()), model(j)), (Lines{at + "101: fngResetTime 3s"}));
}

// ---- Apply: recorders of the configuration and status entities' notifications, each
// logging what its watcher is told, in words a row can list.

using Log = std::vector<std::string>;

template <class... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream os;
  ((os << parts), ...);
  return os.str();
}

// Each recorder logs what its watcher sees at the moment it is told (a notification sent
// before the change is stored shows the old state), after `who` when one is given.
template <class Entity>
struct Recorder : Entity::NotifieeConst {
  Recorder(Kiln::PtrConst<Entity> n, Log& log, std::string who = "")
      : Entity::NotifieeConst(n), log(log), who(std::move(who)) {}
  template <class... Parts>
  void say(const Parts&... parts) {
    log.push_back(text(who, parts...));
  }
  const Entity& is() const { return *this->notifier(); }
  Log& log;
  std::string who;
};
inline const char* presence(bool present) { return present ? " present" : " absent"; }

struct ConfigRecorder : Recorder<CfmAgent::Config> {
  using Recorder::Recorder;
  void onMdConfig(Cfm::MdLevel l) override { say("mdConfig ", l, presence(is().mdConfig(l) != nullptr)); }
  void onCfmProfile(const Cfm::CfmProfileName& n) override {
    say("cfmProfile ", n, presence(is().cfmProfile(n) != nullptr));
  }
  void onCcmDbEntryLimit() override { say("ccmDbEntryLimit ", is().ccmDbEntryLimit()); }
  void onMipCcmDbEntryLimit() override { say("mipCcmDbEntryLimit ", is().mipCcmDbEntryLimit()); }
};
struct MdConfigRecorder : Recorder<CfmAgent::MdConfig> {
  using Recorder::Recorder;
  void onMdName() override { say("mdName ", is().mdName()); }
  void onDefaultMip() override { say("defaultMip ", is().defaultMip()); }
  void onMaConfig(const Cfm::MaName& n) override { say("maConfig ", n, presence(is().maConfig(n) != nullptr)); }
};
struct MaConfigRecorder : Recorder<CfmAgent::MaConfig> {
  using Recorder::Recorder;
  void onMaName() override { say("maName ", is().maName()); }
  void onDirection() override { say("direction ", is().direction()); }
  void onPrimaryVlanId() override { say("primaryVlanId ", is().primaryVlanId()); }
  void onCfmProfileName() override { say("cfmProfileName ", is().cfmProfileName()); }
  void onLocalMepConfig(Cfm::MepId id) override {
    say("localMepConfig ", id, presence(is().localMepConfig(id) != nullptr));
  }
};
struct LocalMepConfigRecorder : Recorder<CfmAgent::LocalMepConfig> {
  using Recorder::Recorder;
  void onIntfId() override { say("intfId ", is().intfId()); }
  void onRemoteMepConfig(Cfm::MepId id) override {
    const auto it = is().remoteMepConfig().find(id);
    say("remoteMepConfig ", id, " ", it == is().remoteMepConfig().end() ? "absent" : it->second ? "true" : "false");
  }
};
struct CfmProfileRecorder : Recorder<CfmAgent::CfmProfile> {
  using Recorder::Recorder;
  void onCcmTxInterval() override { say("ccmTxInterval ", is().ccmTxInterval()); }
  void onCcmEnable() override { say("ccmEnable ", is().ccmEnable()); }
};
struct AleStatusRecorder : Recorder<Cfm::AleStatus> {
  using Recorder::Recorder;
  void onMdStatus(Cfm::MdLevel l) override { say("mdStatus ", l, presence(is().mdStatus(l) != nullptr)); }
};
struct MdAleStatusRecorder : Recorder<Cfm::MdAleStatus> {
  using Recorder::Recorder;
  void onDefaultMip() override { say("defaultMip ", is().defaultMip()); }
};

// A recorder on every configuration and ALE status entity present now, each logging after
// the entity's name ("md 3: ", "mep 100: ").
struct Watchers {
  Watchers(const Kiln::Ptr<CfmAgent::Config>& config, const Kiln::Ptr<Cfm::AleStatus>& ale, Log& log) {
    all.push_back(std::make_shared<ConfigRecorder>(config, log, "config "));
    all.push_back(std::make_shared<CfmProfileRecorder>(config->defaultCfmProfile(), log, "profile default: "));
    for (const auto& [name, p] : config->cfmProfile()) {
      all.push_back(std::make_shared<CfmProfileRecorder>(p, log, text("profile ", name, ": ")));
    }
    for (const auto& [level, md] : config->mdConfig()) {
      all.push_back(std::make_shared<MdConfigRecorder>(md, log, text("md ", level, ": ")));
      for (const auto& [name, ma] : md->maConfig()) {
        all.push_back(std::make_shared<MaConfigRecorder>(ma, log, text("ma ", name, ": ")));
        for (const auto& [id, mep] : ma->localMepConfig()) {
          all.push_back(std::make_shared<LocalMepConfigRecorder>(mep, log, text("mep ", id, ": ")));
        }
      }
    }
    all.push_back(std::make_shared<AleStatusRecorder>(ale, log, "ale: "));
    for (const auto& [level, md] : ale->mdStatus()) {
      all.push_back(std::make_shared<MdAleStatusRecorder>(md, log, text("ale ", level, ": ")));
    }
  }
  std::vector<std::shared_ptr<void>> all;
};

// The bridging values, which no watcher reports in the change rows below.
TEST(ConfigApply, FirstApplyWritesTheBridgingValues) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  Runner::apply(model(base()), *manager);
  auto br = Kiln::ptrCast<Bridging::Config>(manager->entity(Runner::bridgingConfigPath));
  auto brStatus = Kiln::ptrCast<Bridging::Status>(manager->entity(Runner::bridgingStatusPath));
  ASSERT_TRUE(br && brStatus && br->switchIntfConfig(Lumen::IntfId("Ethernet1")));
  EXPECT_EQ(br->bridgeMacAddr().stringValue(), "02:00:00:00:00:01");
  auto port = br->switchIntfConfig(Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(
      std::tuple(port->mode(), port->portVlan(), port->ingressVlanXlate({100, 0}), port->egressVlanXlate().size()),
      std::tuple(Bridging::switchIntfModeTrunk, Lumen::VlanIdOrNone(10), Bridging::VlanXlateMapping{10, 0}, 2u));
  const auto host = [](const char* mac) { return *Lumen::EthAddr::fromString(mac); };
  const Lumen::VlanId vlan10(10);
  EXPECT_EQ(br->vlanConfig(vlan10)->configuredHost(host("02:00:00:00:00:0a")).intf, Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(brStatus->vlanStatus(vlan10)->learnedHost(host("02:00:00:00:00:0b")).intf, Lumen::IntfId("Ethernet2"));
}

// Each row changes the file in one way; the apply must write that change and nothing else,
// and the configuration's watchers must hear of it in an order that never leaves an
// association without the profile it names.
TEST(ConfigApply, ChangedModelWritesOnlyTheDifference) {
  const std::string e1 = "bridging/config: switchport Ethernet1", ma = "cfm/config: domain 3: association ma1";
  const std::string mep100 = ma + ": local MEP 100: ";
  const std::vector<std::tuple<Edit, Lines, Log>> rows = {
      {[](json&) {}, {}, {}},
      {set("/switchports/Ethernet1/ingressTranslation/0/to", 20), {e1 + ": ingress translation 100/0 -> 20/0"}, {}},
      {set("/switchports/Ethernet1/allowedVlans", {10}), {e1 + ": egress translation 20/0 deleted"}, {}},
      {erase("/switchports", "Ethernet2"), {"bridging/config: switchport Ethernet2 deleted"}, {}},
      {set("/vlans/10/learnedHosts/02:00:00:00:00:0b", "Ethernet1"),
       {"bridging/status: vlan 10: learned host 02:00:00:00:00:0b on Ethernet1"}, {}},
      {[&](json& j) { j[json::json_pointer(md + "/associations")].erase(1); },
       {"cfm/config: domain 3: association ma2 deleted"}, {"md 3: maConfig ma2 absent"}},
      {set(md + "/defaultMip", false), {"cfm/config: domain 3: defaultMip false"}, {"md 3: defaultMip 0"}},
      {set(ma1 + "/primaryVlan", 20), {ma + ": primaryVlan 20"}, {"ma ma1: primaryVlanId 20"}},
      {set(md + "/associations/1/direction", "down"), {"cfm/config: domain 3: association ma2: direction down"},
       {"ma ma2: direction mepDirectionDown"}},
      {set(md + "/format", "dnsLikeName"), {"cfm/config: domain 3: name md (dnsLikeName)"},
       {"md 3: mdName md (mdNameFormatDnsLikeName)"}},
      {set(mep + "/remoteMeps", {{"200", true}, {"300", false}}), {mep100 + "remote MEP 300 false"},
       {"mep 100: remoteMepConfig 300 false"}},
      {set(mep + "/remoteMeps", {200}), {mep100 + "remote MEP 300 deleted"}, {"mep 100: remoteMepConfig 300 absent"}},
      {set(mep + "/interface", "Ethernet2"), {mep100 + "interface Ethernet2"}, {"mep 100: intfId Ethernet2"}},
      {set("/cfm/profiles/0/ccmInterval", "10ms"), {"cfm/config: profile fast: ccmInterval 10ms"},
       {"profile fast: ccmTxInterval 0.01"}},
      {set("/cfm/defaultProfile/ccmEnable", false), {"cfm/config: default profile: ccmEnable false"},
       {"profile default: ccmEnable 0"}},
      // The association leaves the profile before the profile goes...
      {[&](json& j) { set("/cfm/profiles", json::array())(j), erase(ma1, "profile")(j); },
       {ma + ": profile (default)", "cfm/config: profile fast deleted"},
       {"ma ma1: cfmProfileName ", "config cfmProfile fast absent"}},
      // ...and a new profile is there before the association names it.
      {[&](json& j) {
         set("/cfm/profiles/1", {{"name", "slow"}, {"ccmInterval", "10s"}})(j), set(ma1 + "/profile", "slow")(j);
       },
       {"cfm/config: profile slow created", "cfm/config: profile slow: ccmInterval 10s", ma + ": profile slow"},
       {"config cfmProfile slow present", "ma ma1: cfmProfileName slow"}},
      {[](json& j) { j.erase("aleStatus"); }, {"cfm/aleStatus: level 3 deleted"}, {"ale: mdStatus 3 absent"}},
      {set("/aleStatus/0/defaultMip", false), {"cfm/aleStatus: level 3: defaultMip false"}, {"ale 3: defaultMip 0"}},
      {set(mep + "/faultAlarm", {{"lowestAlarmPri", "xcon"}}), {}, {}},
      {set("/limits", {{"ccmDatabaseEntries", 10}, {"mipCcmDatabaseEntries", 0}}),
       {"cfm/config: limits: ccmDatabaseEntries 10", "cfm/config: limits: mipCcmDatabaseEntries 0"},
       {"config ccmDbEntryLimit 10", "config mipCcmDbEntryLimit 0"}},
  };
  for (const auto& [edit, writes, notifications] : rows) {
    auto db = Kiln::make<Orbis::EntityManager>();
    Runner::apply(model(base()), *db);
    json changed = base();
    edit(changed);
    SCOPED_TRACE(changed.dump());
    Log log;
    Watchers watchers(Kiln::ptrCast<CfmAgent::Config>(db->entity(Runner::cfmConfigPath)),
                      Kiln::ptrCast<Cfm::AleStatus>(db->entity(Runner::aleStatusPath)), log);
    EXPECT_EQ(Runner::apply(model(changed), *db), writes);
    EXPECT_EQ(log, notifications);
    // What was written is all of the change: nothing is left to write.
    EXPECT_EQ(Runner::apply(model(changed), *db), Lines{});
  }
}

TEST(ConfigApply, RootOfAnotherTypeRefusesBeforeAnyWrite) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  manager->entityIs(Runner::aleStatusPath, "Kiln::Dir");
  EXPECT_EQ(errorOf<Runner::ConfigError>([&] { Runner::apply(model(base()), *manager); }),
            "cfm/aleStatus holds a Kiln::Dir, not a Cfm::AleStatus; nothing was applied");
  EXPECT_EQ(manager->paths(), Lines{"cfm/aleStatus"});
}

}  // namespace
