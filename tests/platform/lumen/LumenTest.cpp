#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "platform/lumen/IntfId.h"
#include "platform/lumen/Pkt.h"
#include "platform/lumen/Types.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ErrorText.h"

namespace {

using Lumen::IntfId;
using Lumen::Pkt;
using Lumen::pktManager;

Kiln::Ptr<Pkt> pktOf(std::string_view bytes) {
  auto pkt = pktManager().newPkt();
  pkt->stringValueIs(bytes, false);
  return pkt;
}

// A frame built back to front in the room it asked for never moves, up to the largest frame;
// growth past that is refused and leaves the frame as it was.
TEST(Pkt, OffsetsStayInsideTheFrameAndItGrowsToTheLargestFrameOnly) {
  auto pkt = pktOf("abcdef");
  pkt->beginOffsetIs(6);  // at the end: no bytes left, still inside
  EXPECT_EQ(pkt->stringValue(), "abcdef");  // whatever the begin offset
  for (int bad : {-1, 7}) EXPECT_EQ(TestSupport::errorOf([&] { pkt->beginOffsetIs(bad); }), "checkOffsetBounds()") << bad;
  EXPECT_EQ(TestSupport::errorOf([&] { pkt->beginOffsetInc(1); }), "checkOffsetBounds()");
  EXPECT_EQ(pkt->beginOffset(), 6);
  pkt->stringValueIs("gh", true);
  EXPECT_EQ(pkt->stringValue(), "abcdefgh");
  EXPECT_EQ(pkt->beginOffset(), 6);
  pkt->stringValueIs("xy", false);
  EXPECT_EQ(pkt->beginOffset(), 0);
  EXPECT_EQ(TestSupport::errorOf([&] { pkt->stringValueIs(std::string(Pkt::maxBytes - 1, 'z'), true); }),
            "Pkt::bytes > 16384 not allowed");
  EXPECT_EQ(pkt->stringValue(), "xy");  // nothing stored is lost
  pkt->stringValueIs(std::string(Pkt::maxBytes - 2, 'j'), true);
  EXPECT_EQ(pkt->frontBytes(), Pkt::maxBytes);
}

TEST(Pkt, AFrameBuiltInItsOwnRoomStaysInPlaceAndStopsAtTheLargest) {
  auto pkt = pktManager().newPkt(Pkt::maxBytes);
  std::uint8_t* end = pkt->newSharedHeadData(1);
  *end = 'e';
  for (std::uint32_t built = 1; built < Pkt::maxBytes; built += 4093) {
    const std::uint32_t n = std::min<std::uint32_t>(4093, Pkt::maxBytes - built);
    std::uint8_t* front = pkt->newSharedHeadData(n);
    ASSERT_EQ(front + n + built - 1, end);
    std::memset(front, 'b', n);
  }
  EXPECT_EQ(pkt->frontBytes(), Pkt::maxBytes);
  EXPECT_EQ(pkt->newSharedHeadData(1), nullptr);
  EXPECT_EQ(pktOf("abc")->newSharedHeadData(Pkt::maxBytes - 2), nullptr);
  EXPECT_EQ(pkt->stringValue(), std::string(Pkt::maxBytes - 1, 'b') + "e");
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

TEST(IntfId, NamesAreNormalisedInternedAndKnowTheirKind) {
  struct Case { const char *in, *out; char kind; };  // out "": refused; 'E'thernet, 'P'ort-channel
  const Case cases[] = {
      {"Et1", "Ethernet1", 'E'},         {"eth3/1", "Ethernet3/1", 'E'},
      {"Ethernet1/2.100", "Ethernet1/2.100", 'E'},
      {"Po10", "Port-Channel10", 'P'},   {"port-channel7", "Port-Channel7", 'P'},
      {"Vl100", "Vlan100", '-'},         {"Ma1", "Management1", '-'},
      {"Ethernet", "", '-'},             {"E1", "", '-'},
      {"Foo1", "", '-'},                 {"Ethernet1/", "", '-'},
      {"Ethernet1.2.3", "", '-'},        {"Ethernet 1", "", '-'},
  };
  for (const Case& c : cases) {
    if (!*c.out) {
      EXPECT_EQ(TestSupport::errorOf([&] { IntfId{c.in}; }), std::string("Invalid interface name '") + c.in + "'");
      continue;
    }
    const IntfId id(c.in);
    EXPECT_EQ(id.stringValue(), c.out);
    EXPECT_EQ(Lumen::EthIntfId::isEthIntfId(id), c.kind == 'E') << c.in;
    EXPECT_EQ(Lumen::PortChannelIntfId::isPortChannelIntfId(id), c.kind == 'P') << c.in;
  }
  EXPECT_TRUE(IntfId("").empty());
}

// Ordering compares ranks that are renumbered when a new name finds no room between its
// neighbours: a chain of names each sorting just above the last keeps halving one gap and
// forces that many times. A map filled meanwhile must still find every key and list them
// alphabetically; each name keeps its own dense index.
TEST(IntfId, OrderStaysAlphabeticalWhateverOrderNamesArriveIn) {
  std::vector<std::string> names;
  for (std::string number = "1"; names.size() < 200; number += '9') names.push_back("Ethernet" + number);
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    names.push_back("Ethernet" + std::to_string(random() % 1000) + "/" + std::to_string(random() % 50));
  }
  std::map<IntfId, std::string> byId;
  std::set<std::uint32_t> indexes;
  for (const std::string& name : names) {
    byId.emplace(IntfId(name), name);
    indexes.insert(IntfId(name).denseIndex());
  }
  std::vector<std::string> sorted = names, listed;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (const auto& [id, name] : byId) listed.push_back(name);
  EXPECT_EQ(listed, sorted);
  for (const std::string& name : names) EXPECT_EQ(byId.at(IntfId(name)), name);
  EXPECT_EQ(indexes.size(), sorted.size());
  EXPECT_FALSE(indexes.contains(IntfId().denseIndex()));
}

TEST(ValueTypes, RangeErrorsNameTheBound) {
  const std::string vlanId = "VlanId::value < VlanId::min or > VlanId::max not allowed";
  EXPECT_EQ(TestSupport::errorOf([] { Lumen::NamespaceName(std::string(151, 'n')); }),
            "NamespaceName::bytes > 150 not allowed");
  EXPECT_EQ(TestSupport::errorOf([] { Lumen::VlanIdOrNone(4094); }), "");
  EXPECT_EQ(TestSupport::errorOf([] { Lumen::VlanIdOrNone(4095); }), "VlanIdOrNone::value > 4094 not allowed");
  for (std::uint16_t v : {0, 1, 4094, 4095}) {
    EXPECT_EQ(TestSupport::errorOf([v] { Lumen::VlanId{v}; }), v == 0 || v == 4095 ? vlanId : "") << v;
  }
}

}  // namespace
