// The configuration a Linux bridge gives the daemon: its ports' switchports, VLANs and hosts,
// and the interface each port is, kept while the port stays and logged when given.

#include <gtest/gtest.h>

#include "apps/cfmagentd/BridgedConfig.h"
#include "apps/cfmagentd/Daemon.h"

namespace {

using Lumen::EthAddr;
using Lumen::IntfId;
using Lumen::VlanId;

Runner::RunnerConfig bridgeFile() { return Runner::parseText("{}", "test.json", "br0"); }
EthAddr mac(const char* s) { return *EthAddr::fromString(s); }

TEST(BridgedConfig, AVlanFilteringBridgeGivesModesVlansAndHostsOfItsPorts) {
  LinuxNet::BridgeSnapshot s{true, 1, mac("02:00:00:00:0b:01"), true, {}, {}};
  s.ports = {{2, {"swp1", "", 10, {{10, true}}}},
             {3, {"swp2", "", 10, {{10, true}, {20, false}, {30, false}, {31, false}, {40, true}}}}};
  s.fdb = {{mac("02:00:00:00:00:0b"), 3, 20, false, 1},
           {mac("02:00:00:00:00:0a"), 2, 10, true, 1},
           {mac("02:00:00:00:00:d1"), 2, 0, false, 1}};  // in no VLAN: matches no frame
  std::map<int, IntfId> intfs;
  const auto c = Cfmagentd::bridgedConfig(bridgeFile(), s, intfs);
  const IntfId et1("Ethernet1"), et2("Ethernet2");
  EXPECT_EQ(c.bridgeMac, s.mac);
  EXPECT_EQ(c.interfaces, (std::map<IntfId, std::string>{{et1, "swp1"}, {et2, "swp2"}}));
  // Tagged VLANs leave tagged (identity entries); 10 and 40 leave untagged.
  const auto same = [](std::uint16_t v) { return std::pair(Bridging::VlanXlateKey{v, 0}, Bridging::VlanXlateMapping{v, 0}); };
  EXPECT_EQ(c.switchports, (std::map<IntfId, Runner::Switchport>{
                               {et1, {Bridging::switchIntfModeAccess, Lumen::VlanIdOrNone(10), 0, {}, {}}},
                               {et2, {Bridging::switchIntfModeTrunk, Lumen::VlanIdOrNone(10), 0, {},
                                      {same(20), same(30), same(31)}}}}));
  EXPECT_EQ(c.vlans, (std::map<VlanId, Runner::Vlan>{{VlanId(10), {{{mac("02:00:00:00:00:0a"), et1}}, {}}},
                                                     {VlanId(20), {{}, {{mac("02:00:00:00:00:0b"), et2}}}},
                                                     {VlanId(30), {}}, {VlanId(31), {}}, {VlanId(40), {}}}));
  // A MEP may name a port that is not there yet.
  EXPECT_EQ(Runner::parseText(R"({"cfm": {"domains": [{"level": 3, "associations": [{"name": "ma",
      "localMeps": [{"id": 1, "interface": "Et5"}]}]}]}})", "b.json", "br0").domains.size(), 1u);
}

// The daemon names the ports after its last naming, also when a configuration is applied,
// and logs each interface it gives.
TEST(BridgedConfig, TheDaemonKeepsEachPortsInterfaceAndLogsIt) {
  std::vector<std::string> log;
  Cfmagentd::Daemon daemon(Kiln::eventLoop(), bridgeFile(), [&](const std::string& line) { log.push_back(line); });
  LinuxNet::BridgeSnapshot s{true, 1, mac("02:00:00:00:0b:01"), false, {{2, {"pa", "", 0, {}}}}, {}};
  daemon.bridgeIs(s);
  s.ports[3] = {"swp1", "", 0, {}};
  daemon.bridgeIs(s);
  daemon.handleRequest({{"op", "apply"}, {"text", R"({"bridge": "br0", "bridgePorts": {"swp1": "Po3"}})"}});
  EXPECT_EQ(daemon.config().interfaces, (std::map<IntfId, std::string>{{IntfId("Ethernet1"), "pa"},
                                                                       {IntfId("Port-Channel3"), "swp1"}}));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "port pa is Ethernet1: its name ends in no port number; bridgePorts can name it",
                     "port swp1 is Ethernet2: Ethernet1 is already the port pa; bridgePorts can name it",
                     "port swp1 is Port-Channel3 (bridgePorts)"}));
}

}  // namespace
