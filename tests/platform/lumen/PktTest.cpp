#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kiln/Errors.h"
#include "platform/lumen/Pkt.h"

namespace {

using Lumen::pktManager;

Kiln::Ptr<Lumen::Pkt> pktOf(const std::string& bytes) {
  auto pkt = pktManager().newPkt();
  pkt->stringValueIs(bytes, false);
  return pkt;
}

TEST(Pkt, BeginOffsetMovesWithinTheFrameOnly) {
  Kiln::ThrowingAssertionScope scope;
  auto pkt = pktOf("abcdef");
  EXPECT_EQ(pkt->beginOffset(), 0);
  pkt->beginOffsetInc(4);
  EXPECT_EQ(*pkt->offsetFront(), 'e');
  EXPECT_EQ(pkt->offsetBytes(), 2u);
  pkt->beginOffsetIs(6);  // at the end: no bytes left, still inside
  EXPECT_EQ(pkt->offsetBytes(), 0u);
  EXPECT_EQ(pkt->stringValue(), "abcdef");  // whatever the begin offset

  for (int bad : {-1, 7}) {
    try {
      pkt->beginOffsetIs(static_cast<std::int16_t>(bad));
      FAIL() << bad;
    } catch (const Kiln::AssertionFailure& e) {
      EXPECT_STREQ(e.what(), "checkOffsetBounds()");
    }
  }
  EXPECT_THROW(pkt->beginOffsetInc(1), Kiln::AssertionFailure);
  EXPECT_EQ(pkt->beginOffset(), 6);
}

TEST(Pkt, BuiltBackToFrontFromAnEmptyPacket) {
  auto pkt = pktManager().newPkt();
  EXPECT_EQ(pkt->frontBytes(), 0u);
  EXPECT_EQ(pkt->stringValue(), "");
  *pkt->newSharedHeadData(1) = 0;
  std::memcpy(pkt->newSharedHeadData(3), "\x03\x00\x01", 3);
  std::memcpy(pkt->newSharedHeadData(4), "HDR:", 4);
  EXPECT_EQ(pkt->stringValue(), std::string("HDR:\x03\x00\x01\x00", 8));
  EXPECT_EQ(pkt->offsetFront(), pkt->frontData());  // begin offset 0 follows the front
}

TEST(Pkt, PrependKeepsThePayloadWhereItIs) {
  auto pkt = pktOf("payload");
  const std::uint8_t* payload = pkt->frontData();
  pkt->beginOffsetIs(3);
  std::uint8_t* front = pkt->newSharedHeadData(14);
  EXPECT_EQ(front + 14, payload);
  EXPECT_EQ(pkt->frontBytes(), 21u);
  EXPECT_EQ(pkt->beginOffset(), 3);  // counted from the new front
  // More than the head room: the frame moves once, bytes intact.
  std::memset(front, 'h', 14);
  std::memset(pkt->newSharedHeadData(Lumen::Pkt::headRoom), 'x', Lumen::Pkt::headRoom);
  EXPECT_EQ(pkt->stringValue(),
            std::string(Lumen::Pkt::headRoom, 'x') + std::string(14, 'h') + "payload");
}

TEST(Pkt, ShallowCopiesShareThePayloadButNotEachOthersHeaders) {
  auto original = pktOf("PDU");
  auto a = pktManager().newShallowCopy(original);
  auto b = pktManager().newShallowCopy(original);
  original->frontData()[0] = 'p';
  EXPECT_EQ(a->stringValue(), "pDU");

  std::memcpy(a->newSharedHeadData(2), "A:", 2);
  std::memcpy(b->newSharedHeadData(2), "B:", 2);  // a already claimed that head room
  EXPECT_EQ(a->stringValue(), "A:pDU");
  EXPECT_EQ(b->stringValue(), "B:pDU");
  EXPECT_EQ(original->stringValue(), "pDU");

  a->stringValueIs("+", true);  // appending never writes into a shared buffer
  EXPECT_EQ(a->stringValue(), "A:pDU+");
  EXPECT_EQ(original->stringValue(), "pDU");
}

TEST(Pkt, ReplaceAndAppendBytes) {
  auto pkt = pktOf("abc");
  pkt->beginOffsetIs(2);
  pkt->stringValueIs("de", true);
  EXPECT_EQ(pkt->stringValue(), "abcde");
  EXPECT_EQ(pkt->beginOffset(), 2);
  pkt->stringValueIs("xy", false);
  EXPECT_EQ(pkt->stringValue(), "xy");
  EXPECT_EQ(pkt->beginOffset(), 0);

  try {
    pkt->stringValueIs(std::string(Lumen::Pkt::maxBytes + 1, 'z'), false);
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "Pkt::bytes > 16384 not allowed");
  }
  EXPECT_EQ(pkt->stringValue(), "xy");  // nothing stored is lost
  pkt->stringValueIs(std::string(9000, 'j'), false);  // a jumbo frame is fine
  EXPECT_EQ(pkt->frontBytes(), 9000u);
}

TEST(PktManager, SteadyStreamReusesBuffers) {
  auto warm = [] {
    for (int i = 0; i < 8; ++i) {
      auto pkt = pktOf(std::string(1500, 'f'));
      auto copy = pktManager().newShallowCopy(pkt);
      copy->newSharedHeadData(18);
    }
  };
  warm();
  const auto before = pktManager().stats();
  warm();
  const auto after = pktManager().stats();
  EXPECT_EQ(after.buffersAllocated, before.buffersAllocated);
  EXPECT_GT(after.buffersReused, before.buffersReused);
  EXPECT_EQ(after.buffersLive, before.buffersLive);
}

}  // namespace
