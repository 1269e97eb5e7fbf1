// Frame records and the layer-2 encapsulation of the frames the agent originates.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CfmAgent/PktHelper.h"

namespace {

using Bridging::VlanXlateKey;
using Bridging::VlanXlateMapping;
using CfmAgent::CounterId;
using Lumen::IntfId;

const IntfId et1("Ethernet1");
const Lumen::EthAddr dst(0x00, 0x11, 0x22, 0x33, 0x44, 0x55);
const Lumen::EthAddr src(0x00, 0x1c, 0x73, 0x00, 0x00, 0x01);
const std::string addrs("\x00\x11\x22\x33\x44\x55\x00\x1c\x73\x00\x00\x01", 12);
const std::string pdu("\x60\x04\x00\x06", 4);  // an LTR's common header

class PktHelperTest : public ::testing::Test {
 protected:
  Kiln::Ptr<CfmAgent::CounterHelper> counters = CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
  CfmAgent::PktHelper helper{nullptr, counters};
};

// A frame for VLAN 20 on Ethernet1, as each switchport setting wants it tagged; without
// switchport settings it has nowhere to go.
TEST_F(PktHelperTest, EncapsulationFollowsTheEgressPort) {
  // The egress mapping is that of (20, 0); `l2` is what follows the two addresses.
  struct Row { const char* what; Bridging::SwitchIntfMode mode; std::uint16_t portVlan, tpid; VlanXlateMapping mapping;
               std::string l2; };
  const auto trunk = Bridging::switchIntfModeTrunk;
  const Row rows[] = {
      {"access port", Bridging::switchIntfModeAccess, 10, 0x88a8, {20, 0}, "\x89\x02"},
      {"trunk, VLAN 20", trunk, 10, 0x88a8, {20, 0}, std::string("\x88\xa8\x00\x14\x89\x02", 6)},
      {"trunk, native VLAN 20", trunk, 20, 0x88a8, {20, 0}, "\x89\x02"},
      {"trunk, two tags", trunk, 1, 0x88a8, {100, 20}, std::string("\x88\xa8\x00\x64\x81\x00\x00\x14\x89\x02", 10)},
      {"trunk, native outer tag left out", trunk, 100, 0x88a8, {100, 30}, std::string("\x88\xa8\x00\x1e\x89\x02", 6)},
      {"trunk, TPID 0 is 0x8100", trunk, 10, 0, {20, 0}, std::string("\x81\x00\x00\x14\x89\x02", 6)},
      {"trunk, no mapping", trunk, 10, 0x88a8, {0, 0}, "\x89\x02"},
      {"no switchport settings", trunk, 10, 0, {20, 0}, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto brConfig = Kiln::make<Bridging::Config>();
    if (!r.l2.empty()) {
      auto port = brConfig->switchIntfConfigIs(et1);
      port->modeIs(r.mode);
      port->portVlanIs(Lumen::VlanIdOrNone(r.portVlan));
      port->tpidIs(r.tpid);
      if (!r.mapping.isNone()) port->egressVlanXlateIs(VlanXlateKey{20, 0}, r.mapping);
    }
    auto pkt = Lumen::pktManager().newPkt();
    std::memcpy(pkt->newSharedHeadData(4), pdu.data(), 4);
    auto record = helper.newPktMetaData(pkt, et1, false);
    EXPECT_EQ(helper.encapL2Layer(pkt, *record, et1, dst, src, Lumen::VlanId(20), brConfig), !r.l2.empty());
    EXPECT_EQ(pkt->stringValue(), r.l2.empty() ? pdu : addrs + r.l2 + pdu);
    if (r.l2.empty()) continue;
    // The record points at the headers where they now lie.
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(record->ethHdr()), pkt->frontData());
    std::vector<std::uint8_t*> tags, want;
    record->eth8021QHdr().forEach([&](auto, auto* tag) { tags.push_back(reinterpret_cast<std::uint8_t*>(tag)); });
    for (std::size_t i = 0; i < (r.l2.size() - 2) / 4; ++i) want.push_back(pkt->frontData() + 14 + 4 * i);
    EXPECT_EQ(tags, want);
  }
}

TEST_F(PktHelperTest, RecordsAreNumberedAndOnlyReceivedOnesCounted) {
  auto pkt = Lumen::pktManager().newPkt();
  for (bool ingress : {true, false, true}) helper.newPktMetaData(pkt, et1, ingress);
  EXPECT_EQ(helper.pktId(), 3u);
  const auto in = counters->counter()->intfCounter(et1)->mdCounter(Cfm::MdLevel())->opCodeCounter(Cfm::opCodeNone);
  EXPECT_EQ(in->counter(CounterId::in_), 2u);
}

}  // namespace
