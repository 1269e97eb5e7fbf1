#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "apps/runner/RunnerConfig.h"

namespace {

using nlohmann::json;
using Runner::ConfigError;
using Runner::RunnerConfig;

// A small configuration that exercises every section; each bad row breaks one thing in it.
json base() {
  return json::parse(R"({
    "bridgeMac": "02:00:00:00:00:01",
    "interfaces": { "Ethernet1": "sw-a", "Ethernet2": "sw-b" },
    "switchports": { "Ethernet1": { "mode": "trunk", "portVlan": 10 } },
    "vlans": { "10": { "configuredHosts": { "02:00:00:00:00:0a": "Ethernet1" } } },
    "cfm": {
      "profiles": [ { "name": "fast", "ccmInterval": "100ms" } ],
      "domains": [ {
        "level": 3, "name": "md",
        "associations": [ {
          "name": "ma", "profile": "fast",
          "localMeps": [ { "id": 100, "interface": "Ethernet1", "remoteMeps": [200] } ]
        } ]
      } ]
    },
    "aleStatus": [ { "level": 3, "defaultMip": true } ]
  })");
}

std::string refusal(const std::string& text) {
  try {
    Runner::parseText(text, "demo.json");
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "(accepted)";
}

json& ma(json& j) { return j["cfm"]["domains"][0]["associations"][0]; }
json& mep(json& j) { return ma(j)["localMeps"][0]; }

struct BadRow {
  const char* what;
  std::function<void(json&)> edit;
  std::string message;
};

TEST(RunnerConfigParse, RefusesBadConfigurationWithFilePathAndReason) {
  ASSERT_EQ(refusal(base().dump()), "(accepted)");
  const std::string at = "demo.json: ";
  const std::string maPath = "cfm.domains[0].associations[0]";
  const std::vector<BadRow> rows = {
      {"MD level", [](json& j) { j["cfm"]["domains"][0]["level"] = 9; },
       at + "cfm.domains[0].level: 9 is not an MD level (0-7)"},
      {"negative", [](json& j) { j["cfm"]["domains"][0]["level"] = -1; },
       at + "cfm.domains[0].level: -1 is not an MD level (0-7)"},
      {"misspelt top key", [](json& j) { j["bridgemac"] = j["bridgeMac"]; },
       at + "bridgemac: unknown key (known here: aleStatus, bridgeMac, cfm, interfaces, "
            "switchports, vlans)"},
      {"misspelt deep key", [](json& j) { mep(j)["remoteMep"] = json::array(); },
       at + maPath +
           ".localMeps[0].remoteMep: unknown key (known here: id, interface, remoteMeps)"},
      {"no bridge MAC", [](json& j) { j.erase("bridgeMac"); }, at + "\"bridgeMac\" is missing"},
      {"group bridge MAC", [](json& j) { j["bridgeMac"] = "01:80:c2:00:00:33"; },
       at + "bridgeMac: 01:80:c2:00:00:33 is a group address; the bridge MAC is unicast"},
      {"short MAC", [](json& j) { j["bridgeMac"] = "02:00:00:00:00"; },
       at + "bridgeMac: \"02:00:00:00:00\" is not a MAC address (aa:bb:cc:dd:ee:ff)"},
      {"not an interface name", [](json& j) { j["interfaces"]["Foo1"] = "x"; },
       at + "interfaces.Foo1: \"Foo1\" is not an interface name"},
      {"interface without CFM", [](json& j) { j["interfaces"]["Vlan10"] = "x"; },
       at + "interfaces.Vlan10: Vlan10 is not an Ethernet or Port-Channel interface"},
      {"one interface twice", [](json& j) { j["interfaces"]["Et1"] = "sw-c"; },
       at + "interfaces.Ethernet1: the same interface as interfaces.Et1"},
      {"device name", [](json& j) { j["interfaces"]["Ethernet2"] = "sixteen-chars-xx"; },
       at + "interfaces.Ethernet2: \"sixteen-chars-xx\" is not a kernel device name "
            "(1-15 characters, no '/', ':' or spaces)"},
      {"unmapped switchport", [](json& j) { j["switchports"]["Et9"] = json::object(); },
       at + "switchports.Et9: Ethernet9 is not in interfaces"},
      {"mode", [](json& j) { j["switchports"]["Ethernet1"]["mode"] = "hybrid"; },
       at + "switchports.Ethernet1.mode: \"hybrid\" is not a switchport mode (access, trunk, "
            "dot1q-tunnel, tap, tool, routed)"},
      {"port VLAN", [](json& j) { j["switchports"]["Ethernet1"]["portVlan"] = 4095; },
       at + "switchports.Ethernet1.portVlan: 4095 is not a port VLAN (0-4094, 0 for none)"},
      {"TPID as a length", [](json& j) { j["switchports"]["Ethernet1"]["tpid"] = "0x05dc"; },
       at +
           "switchports.Ethernet1.tpid: \"0x05dc\" is not a TPID (0 for 0x8100, or 0x0600-0xffff)"},
      {"allowed VLANs off a trunk",
       [](json& j) {
         j["switchports"]["Ethernet1"]["mode"] = "access";
         j["switchports"]["Ethernet1"]["allowedVlans"] = {20};
       },
       at + "switchports.Ethernet1.allowedVlans: only a trunk carries tagged VLANs (mode is "
            "access)"},
      {"translation twice",
       [](json& j) {
         j["switchports"]["Ethernet1"]["ingressTranslation"] =
             json::parse(R"([{"from": 100, "to": 10}, {"from": [100, 0], "to": 20}])");
       },
       at + "switchports.Ethernet1.ingressTranslation[1].from: VLANs 100/0 are already "
            "translated by switchports.Ethernet1.ingressTranslation[0]"},
      {"translation target",
       [](json& j) {
         j["switchports"]["Ethernet1"]["egressTranslation"] =
             json::parse(R"([{"from": 10, "to": [5000]}])");
       },
       at + "switchports.Ethernet1.egressTranslation[0].to[0]: 5000 is not a VLAN (1-4094)"},
      {"VLAN key", [](json& j) { j["vlans"]["0"] = json::object(); },
       at + "vlans.0: \"0\" is not a VLAN (1-4094)"},
      {"group host", [](json& j) { j["vlans"]["10"]["learnedHosts"]["01:00:5e:00:00:01"] = "Et1"; },
       at + "vlans.10.learnedHosts.01:00:5e:00:00:01: 01:00:5e:00:00:01 is a group address; "
            "hosts are unicast"},
      {"host on an unmapped interface",
       [](json& j) { j["vlans"]["10"]["configuredHosts"]["02:00:00:00:00:0b"] = "Po1"; },
       at + "vlans.10.configuredHosts.02:00:00:00:00:0b: Port-Channel1 is not in interfaces"},
      {"MD name too long", [](json& j) { j["cfm"]["domains"][0]["name"] = std::string(44, 'd'); },
       at + "cfm.domains[0].name: \"" + std::string(44, 'd') +
           "\" is 44 bytes; a characterString MD name holds at most 43"},
      {"named MD of format none", [](json& j) { j["cfm"]["domains"][0]["format"] = "none"; },
       at + "cfm.domains[0].name: an MD name of format none has no name"},
      {"MA name too long", [](json& j) { ma(j)["name"] = std::string(46, 'a'); },
       at + maPath + ".name: \"" + std::string(46, 'a') +
           "\" is 46 bytes; a characterString MA name holds at most 45"},
      {"names overflow the MAID",
       [](json& j) {
         j["cfm"]["domains"][0]["name"] = std::string(40, 'd');
         ma(j)["name"] = "fiver";
       },
       at + maPath +
           ".name: the MD name (40 bytes) and this MA name (5 bytes) exceed the 44 "
           "bytes a MAID holds for both"},
      {"fixed-size name format",
       [](json& j) {
         ma(j)["format"] = "primaryVid";
         ma(j)["name"] = "abc";
       },
       at + maPath + ".name: \"abc\" is 3 bytes; a primaryVid MA name is 2 bytes"},
      {"same MA name twice",
       [](json& j) {
         j["cfm"]["domains"][0]["associations"].push_back({{"name", "ma"}});
       },
       at + "cfm.domains[0].associations[1].name: the same name as " + maPath},
      {"same level twice",
       [](json& j) {
         j["cfm"]["domains"].push_back({{"level", 3}});
       },
       at + "cfm.domains[1].level: level 3 is already configured by cfm.domains[0]"},
      {"unknown profile", [](json& j) { ma(j)["profile"] = "slow"; },
       at + maPath + ".profile: no profile named \"slow\" in cfm.profiles"},
      {"CCM interval", [](json& j) { j["cfm"]["profiles"][0]["ccmInterval"] = "2s"; },
       at + "cfm.profiles[0].ccmInterval: \"2s\" is not a CCM interval (3.3ms, 10ms, 100ms, 1s, "
            "10s, 1min, 10min)"},
      {"MEP id", [](json& j) { mep(j)["id"] = 8192; },
       at + maPath + ".localMeps[0].id: 8192 is not a MEP id (1-8191)"},
      {"remote MEP id",
       [](json& j) {
         mep(j)["remoteMeps"] = {{"0", true}};
       },
       at + maPath + ".localMeps[0].remoteMeps.0: \"0\" is not a MEP id (1-8191)"},
      {"remote MEP is the local one",
       [](json& j) {
         mep(j)["remoteMeps"] = {200, 100};
       },
       at + maPath + ".localMeps[0].remoteMeps[1]: MEP 100 is this local MEP"},
      {"local MEP twice", [](json& j) { ma(j)["localMeps"].push_back(mep(j)); },
       at + maPath + ".localMeps[1].id: MEP 100 is already a local MEP of this association"},
      {"MEP interface", [](json& j) { mep(j)["interface"] = "Ethernet3"; },
       at + maPath + ".localMeps[0].interface: Ethernet3 is not in interfaces"},
      {"wrong type", [](json& j) { j["cfm"]["domains"] = json::object(); },
       at + "cfm.domains: expected an array of domains, got an object"},
  };
  for (const auto& row : rows) {
    json j = base();
    row.edit(j);
    EXPECT_EQ(refusal(j.dump()), row.message) << row.what;
  }
}

// Faults the JSON library would pass over or reports with its own words.
TEST(RunnerConfigParse, RefusesFilesThatAreNotCleanJson) {
  EXPECT_EQ(refusal(R"({"bridgeMac": "02:00:00:00:00:01",
                       "cfm": {"domains": [{"level": 1, "level": 2}]}})"),
            "demo.json: cfm.domains[0].level: key given twice");
  EXPECT_EQ(refusal("[]"), "demo.json: expected a JSON object, got an array");

  const std::string syntax = refusal("{\n  \"bridgeMac\": \"02:00:00:00:00:01\",\n}");
  EXPECT_EQ(syntax.rfind("demo.json:3:1: syntax error", 0), 0u) << syntax;

  try {
    Runner::parse("/nonexistent/demo.json");
    FAIL() << "read a missing file";
  } catch (const ConfigError& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/demo.json: cannot read: No such file or directory");
  }
}

TEST(RunnerConfigParse, ReadsEveryFormOfTheFile) {
  const RunnerConfig config = Runner::parseText(R"({
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
          "localMeps": [ { "id": 1, "interface": "Port-Channel7",
                           "remoteMeps": { "2": true, "8191": false } } ] },
        { "nameHex": "0000010000000a", "format": "rfc2685VpnId" } ] } ]
    }
  })",
                                                "forms.json");

  EXPECT_EQ(config.bridgeMac.stringValue(), "02:00:00:00:00:aa");
  EXPECT_EQ(config.deviceName(Lumen::IntfId("Ethernet1")), "sw-a");
  EXPECT_EQ(config.deviceName(Lumen::IntfId("Port-Channel7")), "bond0");
  EXPECT_EQ(config.deviceName(Lumen::IntfId("Ethernet2")), "");

  const auto& port = config.switchports.at(Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(port.tpid, 0x88a8);
  using Xlate = std::map<Bridging::VlanXlateKey, Bridging::VlanXlateMapping>;
  EXPECT_EQ(port.ingressVlanXlate, (Xlate{{{100, 200}, {300, 0}}}));
  // allowedVlans are identity entries; an explicit egress entry replaces one.
  EXPECT_EQ(port.egressVlanXlate,
            (Xlate{{{10, 0}, {10, 0}}, {{20, 0}, {20, 0}}, {{30, 0}, {300, 31}}}));

  const Runner::Vlan noHosts;
  EXPECT_EQ(config.vlans.at(Lumen::VlanId(20)), noHosts);

  EXPECT_EQ(config.defaultProfile.ccmEnable, false);
  EXPECT_EQ(Runner::ccmIntervalName(config.defaultProfile.ccmInterval), "3.3ms");

  const auto& domain = config.domains.at(Cfm::MdLevel(0));
  EXPECT_EQ(domain.name, Cfm::MdNameWithFormat{});  // no name: format none
  ASSERT_EQ(domain.associations.size(), 2u);
  const auto& vid = domain.associations.at(Cfm::MaName(std::string("\x0f\xfe", 2)));
  EXPECT_EQ(vid.name.format, Cfm::maNameFormatPrimaryVid);
  EXPECT_EQ(vid.direction, Cfm::mepDirectionUp);
  const auto& mep = vid.localMeps.at(Cfm::MepId(1));
  EXPECT_EQ(mep.intf, Lumen::IntfId("Port-Channel7"));
  EXPECT_EQ(mep.remoteMeps,
            (std::map<Cfm::MepId, bool>{{Cfm::MepId(2), true}, {Cfm::MepId(8191), false}}));
  EXPECT_TRUE(domain.associations.contains(Cfm::MaName(std::string("\0\0\1\0\0\0\x0a", 7))));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The documentation's complete example is the demo's configuration, and it is valid.
TEST(RunnerConfigParse, DemoConfigurationIsTheDocumentedExample) {
  const RunnerConfig demo = Runner::parse(CFM_DEMO_CONFIG);
  EXPECT_EQ(demo.bridgeMac.stringValue(), "02:00:00:00:00:01");
  EXPECT_EQ(demo.deviceName(Lumen::IntfId("Ethernet2")), "sw-b");
  ASSERT_TRUE(demo.domains.contains(Cfm::MdLevel(3)));
  const auto& ma = demo.domains.at(Cfm::MdLevel(3)).associations.at(Cfm::MaName("demo-ma"));
  EXPECT_EQ(ma.primaryVlan.value(), 10);
  EXPECT_EQ(ma.localMeps.at(Cfm::MepId(100)).remoteMeps.size(), 1u);

  const std::string doc = readFile(CFM_CONFIGURATION_DOC);
  const std::string marker = "## Complete example";
  const auto section = doc.find(marker);
  ASSERT_NE(section, std::string::npos) << "no \"" << marker << "\" in the documentation";
  const auto start = doc.find("```json\n", section);
  ASSERT_NE(start, std::string::npos);
  const auto end = doc.find("```", start + 8);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(Runner::parseText(doc.substr(start + 8, end - start - 8), "configuration.md"), demo);
}

}  // namespace
