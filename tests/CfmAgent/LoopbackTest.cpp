// The loopback responder behind the whole agent's receive path: what goes back on the wire
// for each LBM, and what is counted. Replies are written out here byte by byte, never
// derived from the message the test sent. (Untagged, translated and access-port LBMs are
// answered through real sockets in cfmagentd's end-to-end suite.)

#include <gtest/gtest.h>

#include "tests/CfmAgent/AgentFixture.h"

namespace {

using namespace AgentTest;

const std::string end(1, '\0'), data = std::string("\x03\x00\x05", 3) + "hello" + end;

const Counts answered = {{{3, 3, "in"}, 1}, {{3, 2, "out"}, 1}};

// A loopback PDU with transaction id 7; `byte0` is the level (3 by default) and the version.
std::string lb(int opCode, const std::string& tlvs = end, int byte0 = 0x60, int flags = 0, int firstTlvOffset = 4) {
  return std::string{char(byte0), char(opCode), char(flags), char(firstTlvOffset)} + u32(7) + tlvs;
}

struct LoopbackTest : AgentFixture {
  void SetUp() override { addPort(et2, "veth2"); start(); }
};

TEST_F(LoopbackTest, AnLbmToTheBridgeGoesBackAsItCameWithOnlyTheLbrFieldsChanged) {
  auto from = [](std::string pdu, std::string dst = bridgeMac) { return Frame{dst, hostA, {}, 0x8902, pdu}; };
  struct Row { const char* name; Frame lbm; std::string lbr; Counts counted = answered; PortSetup port = {}; };
  const Row rows[] = {
      {"one tag, priority 5", from(lb(3)).tag(0xa014), lb(2)},
      {"two tags, service tpid outer", from(lb(3)).tag(100, 0x88a8).tag(0xe0c8), lb(2), answered, serviceTpid},
      {"version 5 goes back as 0", from(lb(3, end, 0x65)), lb(2)},
      {"flags, first tlv offset 8", from(lb(3, "pad!" + end, 0x60, 0x81, 8)), lb(2, "pad!" + end, 0x60, 0x81, 8)},
      {"data tlv, level 4", from(lb(3, data, 0x80)), lb(2, data, 0x80), {{{4, 3, "in"}, 1}, {{4, 2, "out"}, 1}}},
      {"to the broadcast address", from(lb(3), mac(0xffffffffffff)), "", dropped(3, 3, "LbmDstMacMismatch")},
      {"7 bytes to host B, the address first", from(lb(3, "").substr(0, 7), hostB), "",
       dropped(3, 3, "LbmDstMacMismatch")},
      {"an lbr", from(lb(2)), "", {{{3, 2, "in"}, 1}}},
      // The reply is as long as the message: 1500 bytes after the Ethernet header and tags fit.
      {"filling the MTU", from(lb(3, tlv(3, std::string(1488, 'x')) + end)), lb(2, tlv(3, std::string(1488, 'x')) + end)},
      {"a byte over the MTU", from(lb(3, tlv(3, std::string(1489, 'x')) + end)), "",
       {{{3, 3, "in"}, 1}, {{3, 3, "debugReplyTooBig"}, 1}}},
      {"filling the MTU, tagged", from(lb(3, tlv(3, std::string(1488, 'x')) + end)).tag(10),
       lb(2, tlv(3, std::string(1488, 'x')) + end)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh(r.port);
    const auto sent = exchange(r.lbm.bytes());
    EXPECT_EQ(sent, (r.lbr.empty() ? Pairs{} : Pairs{{et1, Frame{hostA, bridgeMac, r.lbm.tags, 0x8902, r.lbr}.bytes()}}));
    EXPECT_EQ(counts(), r.counted);
    EXPECT_EQ(counts(et2), Counts{});
  }
}

// An LBM with a Data TLV cut at every length: each prefix that reaches the responder with its
// 8 bytes (no TLV at all included) is answered as it is, TLVs cut short or not; shorter ones
// are dropped once.
TEST_F(LoopbackTest, EveryPrefixIsAnsweredWithItsOwnBytesOrDroppedOnce) {
  const std::string lbm = ethernet(bridgeMac, hostA, 0, lb(3, data)),
                    lbr = ethernet(hostA, bridgeMac, 0, lb(2, data));
  for (std::size_t n = 0; n <= lbm.size(); ++n) {
    SCOPED_TRACE(n);
    fresh();
    const auto sent = exchange(lbm.substr(0, n));
    const char* lacks = n < 14 ? "EthHdrTooShort" : n < 18 ? "CfmHdrTooShort" : n < 22 ? "PduTooShort" : nullptr;
    EXPECT_EQ(counts(), lacks ? dropped(n < 18 ? 8 : 3, n < 18 ? 0 : 3, lacks) : answered);
    EXPECT_EQ(sent, (lacks ? Pairs{} : Pairs{{et1, lbr.substr(0, n)}}));
  }
}

}  // namespace
