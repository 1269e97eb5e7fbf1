#include <gtest/gtest.h>

#include "CfmAgent/LoopbackPdu.h"
#include "PduTestUtil.h"

namespace {

using namespace CfmAgent;
using PduTest::hex;

TEST(LoopbackPdu, ConstructionAndTransactionId) {
  EXPECT_EQ(hex(wireBytes(LBRPdu(3, Cfm::opCodeLbr))), "60 02 00 04 00 00 00 00");
  LBMPdu lbm(0, Cfm::opCodeLbm);
  lbm.transactionIdIs(1);
  EXPECT_EQ(hex(wireBytes(lbm)), "00 03 00 04 00 00 00 01");
  lbm.transactionIdIs(0xa1b2c3d4);
  EXPECT_EQ(hex(wireBytes(lbm)), "00 03 00 04 a1 b2 c3 d4");

  // A received LBM of level 7, followed by a Data TLV.
  const std::uint8_t wire[] = {0xe0, 0x03, 0x00, 0x04, 0x80, 0x00, 0x00,
                               0x2a, 0x03, 0x00, 0x01, 0x55, 0x00};
  const auto* received = reinterpret_cast<const LBMPdu*>(wire);
  EXPECT_EQ(received->mdLevel(), 7);
  EXPECT_EQ(received->opCode(), Cfm::opCodeLbm);
  EXPECT_EQ(received->transactionId(), 0x8000002au);
  EXPECT_EQ(received->firstTlvOffset(), FirstTlvOffset::firstTlvOffsetLbm);
}

}  // namespace
