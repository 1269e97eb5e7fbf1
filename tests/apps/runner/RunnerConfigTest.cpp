// The configuration file: each refusal is one line with the file, the JSON path and the
// fault; every accepted form lands in the model.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apps/runner/RunnerConfig.h"
#include "tests/support/Scratch.h"

namespace {

using nlohmann::json;

// A small configuration that exercises every section; each bad row breaks one thing in it.
json base() {
  return json::parse(R"({
    "bridgeMac": "02:00:00:00:00:01",
    "interfaces": { "Ethernet1": "sw-a", "Ethernet2": "sw-b" },
    "switchports": { "Ethernet1": { "mode": "trunk", "portVlan": 10 } },
    "vlans": { "10": { "configuredHosts": { "02:00:00:00:00:0a": "Ethernet1" } } },
    "cfm": {
      "profiles": [ { "name": "fast", "ccmInterval": "100ms" } ],
      "domains": [ { "level": 3, "name": "md", "associations": [ { "name": "ma", "profile": "fast",
        "localMeps": [ { "id": 100, "interface": "Ethernet1", "remoteMeps": [200] } ] } ] } ]
    },
    "aleStatus": [ { "level": 3, "defaultMip": true } ]
  })");
}

std::string refusal(const std::string& text) {
  try {
    Runner::parseText(text, "demo.json");
  } catch (const Runner::ConfigError& e) {
    return e.what();
  }
  return "(accepted)";
}

using Edit = std::function<void(json&)>;
Edit set(const std::string& pointer, json value) {
  return [=](json& j) { j[json::json_pointer(pointer)] = value; };
}

TEST(RunnerConfigParse, RefusesBadConfigurationWithFilePathAndReason) {
  ASSERT_EQ(refusal(base().dump()), "(accepted)");
  const std::string md = "/cfm/domains/0", ma = md + "/associations/0", mep = ma + "/localMeps/0";
  const std::string maAt = "cfm.domains[0].associations[0]", mepAt = maAt + ".localMeps[0]";
  const std::string e1 = "/switchports/Ethernet1";
  const std::vector<std::pair<Edit, std::string>> rows = {
      {set(md + "/level", 9), "cfm.domains[0].level: 9 is not an MD level (0-7)"},
      {set(md + "/level", -1), "cfm.domains[0].level: -1 is not an MD level (0-7)"},
      {set("/bridgemac", "02:00:00:00:00:01"),
       "bridgemac: unknown key (known here: aleStatus, bridgeMac, cfm, interfaces, switchports, vlans)"},
      {set(mep + "/remoteMep", json::array()),
       mepAt + ".remoteMep: unknown key (known here: id, interface, remoteMeps)"},
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
      {set("/switchports/Et9", json::object()), "switchports.Et9: Ethernet9 is not in interfaces"},
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
      {set(ma + "/name", std::string(46, 'a')),
       maAt + ".name: \"" + std::string(46, 'a') + "\" is 46 bytes; a characterString MA name holds at most 45"},
      {[&](json& j) { set(md + "/name", std::string(40, 'd'))(j), set(ma + "/name", "fiver")(j); },
       maAt + ".name: the MD name (40 bytes) and this MA name (5 bytes) exceed the 44 bytes a MAID holds for both"},
      {[&](json& j) { set(ma + "/format", "primaryVid")(j), set(ma + "/name", "abc")(j); },
       maAt + ".name: \"abc\" is 3 bytes; a primaryVid MA name is 2 bytes"},
      {set(md + "/associations/1", {{"name", "ma"}}), "cfm.domains[0].associations[1].name: the same name as " + maAt},
      {set("/cfm/domains/1", {{"level", 3}}), "cfm.domains[1].level: level 3 is already configured by cfm.domains[0]"},
      {set(ma + "/profile", "slow"), maAt + ".profile: no profile named \"slow\" in cfm.profiles"},
      {set("/cfm/profiles/0/ccmInterval", "2s"),
       "cfm.profiles[0].ccmInterval: \"2s\" is not a CCM interval (3.3ms, 10ms, 100ms, 1s, 10s, 1min, 10min)"},
      {set(mep + "/id", 8192), mepAt + ".id: 8192 is not a MEP id (1-8191)"},
      {set(mep + "/remoteMeps", {{"0", true}}), mepAt + ".remoteMeps.0: \"0\" is not a MEP id (1-8191)"},
      {set(mep + "/remoteMeps", {200, 100}), mepAt + ".remoteMeps[1]: MEP 100 is this local MEP"},
      {[&](json& j) { j[json::json_pointer(ma + "/localMeps")].push_back(j[json::json_pointer(mep)]); },
       maAt + ".localMeps[1].id: MEP 100 is already a local MEP of this association"},
      {set(mep + "/interface", "Ethernet3"), mepAt + ".interface: Ethernet3 is not in interfaces"},
      {set("/cfm/domains", json::object()), "cfm.domains: expected an array of domains, got an object"},
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
  try {
    Runner::parse("/nonexistent/demo.json");
    ADD_FAILURE() << "read a missing file";
  } catch (const Runner::ConfigError& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/demo.json: cannot read: No such file or directory");
  }
}

TEST(RunnerConfigParse, ReadsEveryFormOfTheFile) {
  const Runner::RunnerConfig config = Runner::parseText(R"({
    "bridgeMac": "02-00-00-00-00-AA",
    "interfaces": { "et1": "sw-a", "Po7": "bond0" },
    "switchports": { "Ethernet1": {
      "mode": "trunk", "portVlan": 10, "tpid": "0x88a8", "allowedVlans": [10, 20, 30],
      "ingressTranslation": [ { "from": [100, 200], "to": 300 } ],
      "egressTranslation": [ { "from": 30, "to": [300, 31] } ] } },
    "vlans": { "20": {} },
    "cfm": {
      "defaultProfile": { "ccmEnable": false, "ccmInterval": "3.3ms" },
      "domains": [ { "level": 0, "associations": [
        { "name": 4094, "format": "primaryVid", "direction": "up",
          "localMeps": [ { "id": 1, "interface": "Port-Channel7", "remoteMeps": { "2": true, "8191": false } } ] },
        { "nameHex": "0000010000000a", "format": "rfc2685VpnId" } ] } ]
    }
  })", "forms.json");

  EXPECT_EQ(config.bridgeMac.stringValue(), "02:00:00:00:00:aa");
  EXPECT_EQ(config.interfaces, (std::map<Lumen::IntfId, std::string>{{Lumen::IntfId("Ethernet1"), "sw-a"},
                                                                      {Lumen::IntfId("Port-Channel7"), "bond0"}}));
  const auto& port = config.switchports.at(Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(port.tpid, 0x88a8);
  using Xlate = std::map<Bridging::VlanXlateKey, Bridging::VlanXlateMapping>;
  EXPECT_EQ(port.ingressVlanXlate, (Xlate{{{100, 200}, {300, 0}}}));
  // allowedVlans are identity entries; an explicit egress entry replaces one.
  EXPECT_EQ(port.egressVlanXlate, (Xlate{{{10, 0}, {10, 0}}, {{20, 0}, {20, 0}}, {{30, 0}, {300, 31}}}));
  EXPECT_EQ(config.vlans.at(Lumen::VlanId(20)), Runner::Vlan{});
  EXPECT_EQ(config.defaultProfile, (Runner::Profile{Cfm::CcmTxInterval(1.0 / 300), false}));
  EXPECT_EQ(Runner::ccmIntervalName(config.defaultProfile.ccmInterval), "3.3ms");

  const auto& domain = config.domains.at(Cfm::MdLevel(0));
  EXPECT_EQ(domain.name, Cfm::MdNameWithFormat{});  // no name: format none
  ASSERT_EQ(domain.associations.size(), 2u);
  const auto& vid = domain.associations.at(Cfm::MaName(std::string("\x0f\xfe", 2)));
  EXPECT_EQ(vid.name.format, Cfm::maNameFormatPrimaryVid);
  EXPECT_EQ(vid.direction, Cfm::mepDirectionUp);
  EXPECT_EQ(vid.localMeps.at(Cfm::MepId(1)),
            (Runner::LocalMep{Lumen::IntfId("Port-Channel7"), {{Cfm::MepId(2), true}, {Cfm::MepId(8191), false}}}));
  EXPECT_TRUE(domain.associations.contains(Cfm::MaName(std::string("\0\0\1\0\0\0\x0a", 7))));
}

// The documentation's complete example is the demo's configuration, and it is valid.
TEST(RunnerConfigParse, DemoConfigurationIsTheDocumentedExample) {
  const Runner::RunnerConfig demo = Runner::parse(CFM_DEMO_CONFIG);
  EXPECT_TRUE(demo.domains.at(Cfm::MdLevel(3)).associations.contains(Cfm::MaName("demo-ma")));
  const std::string doc = TestSupport::readFile(CFM_CONFIGURATION_DOC);
  const auto start = doc.find("```json\n", doc.find("## Complete example"));
  ASSERT_NE(start, std::string::npos) << "no complete example in the documentation";
  const auto end = doc.find("```", start + 8);
  EXPECT_EQ(Runner::parseText(doc.substr(start + 8, end - start - 8), "configuration.md"), demo);
}

}  // namespace
