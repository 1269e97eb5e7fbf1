#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kiln/Errors.h"
#include "platform/lumen/Pkt.h"
#include "tests/platform/AllocationCounter.h"

namespace {

using Lumen::Pkt;
using Lumen::pktManager;

Kiln::Ptr<Pkt> pktOf(std::string_view bytes) {
  auto pkt = pktManager().newPkt();
  pkt->stringValueIs(bytes, false);
  return pkt;
}

TEST(Pkt, BeginOffsetMovesWithinTheFrameOnly) {
  Kiln::ThrowingAssertionScope scope;
  auto pkt = pktOf("abcdef");
  pkt->beginOffsetInc(4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt->offsetFront()), pkt->offsetBytes()), "ef");
  pkt->beginOffsetIs(6);  // at the end: no bytes left, still inside
  EXPECT_EQ(pkt->stringValue(), "abcdef");  // whatever the begin offset
  EXPECT_THROW(pkt->beginOffsetIs(-1), Kiln::AssertionFailure);
  EXPECT_THROW(pkt->beginOffsetIs(7), Kiln::AssertionFailure);
  try {
    pkt->beginOffsetInc(1);
    FAIL() << "no assertion";
  } catch (const Kiln::AssertionFailure& e) {
    EXPECT_STREQ(e.what(), "checkOffsetBounds()");
  }
  EXPECT_EQ(pkt->beginOffset(), 6);
}

TEST(Pkt, PrependingKeepsTheFrameContiguousAndThePayloadInPlace) {
  auto built = pktManager().newPkt();  // back to front, from nothing
  std::memcpy(built->newSharedHeadData(3), "\x03\x00\x01", 3);
  std::memcpy(built->newSharedHeadData(4), "HDR:", 4);
  EXPECT_EQ(built->stringValue(), std::string("HDR:\x03\x00\x01", 7));

  auto pkt = pktOf("payload");
  const std::uint8_t* payload = pkt->frontData();
  pkt->beginOffsetIs(3);
  std::uint8_t* front = pkt->newSharedHeadData(14);
  EXPECT_EQ(front + 14, payload);
  EXPECT_EQ(pkt->beginOffset(), 3);  // counted from the new front
  // More than the head room: the frame moves once, bytes intact.
  std::memset(front, 'h', 14);
  std::memset(pkt->newSharedHeadData(Pkt::headRoom), 'x', Pkt::headRoom);
  EXPECT_EQ(pkt->stringValue(), std::string(Pkt::headRoom, 'x') + std::string(14, 'h') + "payload");
}

TEST(Pkt, ShallowCopiesShareThePayloadButNotEachOthersHeaders) {
  auto original = pktOf("PDU");
  auto a = pktManager().newShallowCopy(original);
  auto b = pktManager().newShallowCopy(original);
  original->frontData()[0] = 'p';
  std::memcpy(a->newSharedHeadData(2), "A:", 2);
  std::memcpy(b->newSharedHeadData(2), "B:", 2);  // a already claimed that head room
  a->stringValueIs("+", true);  // appending never writes into a shared buffer
  EXPECT_EQ(a->stringValue(), "A:pDU+");
  EXPECT_EQ(b->stringValue(), "B:pDU");
  EXPECT_EQ(original->stringValue(), "pDU");
}

TEST(Pkt, ReplaceAndAppendUpToTheLargestFrame) {
  auto pkt = pktOf("abc");
  pkt->beginOffsetIs(2);
  pkt->stringValueIs("de", true);
  EXPECT_EQ(pkt->stringValue(), "abcde");
  EXPECT_EQ(pkt->beginOffset(), 2);
  pkt->stringValueIs("xy", false);
  EXPECT_EQ(pkt->beginOffset(), 0);
  try {
    pkt->stringValueIs(std::string(Pkt::maxBytes - 1, 'z'), true);
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "Pkt::bytes > 16384 not allowed");
  }
  EXPECT_EQ(pkt->stringValue(), "xy");  // nothing stored is lost
  pkt->stringValueIs(std::string(Pkt::maxBytes - 2, 'j'), true);
  EXPECT_EQ(pkt->frontBytes(), Pkt::maxBytes);
}

TEST(PktManager, SteadyStreamAllocatesNothingOnceWarm) {
  const std::string frame(1500, 'f');
  auto stream = [&] {
    for (int i = 0; i < 8; ++i) pktManager().newShallowCopy(pktOf(frame))->newSharedHeadData(18);
  };
  stream();
  const auto before = testAllocations;
  stream();
  EXPECT_EQ(testAllocations, before);
}

}  // namespace
