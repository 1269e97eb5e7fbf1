#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kiln/Errors.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/lumen/Types.h"

namespace {

using Lumen::EthAddr;
using Lumen::IntfId;

template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const Kiln::RangeException& e) {
    return e.what();
  }
  return "";
}

TEST(EthOverlays, ReadAndWriteWireBytesInNetworkOrder) {
  const std::uint8_t wire[] = {
      0x01, 0x80, 0xc2, 0x00, 0x00, 0x33,  // destination
      0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc,  // source
      0x88, 0xa8,                          // TPID
      0xba, 0xbc,                          // priority 5, drop eligible, VLAN 0xabc
      0x89, 0x02,                          // CFM
  };
  const auto* eth = reinterpret_cast<const Lumen::EthHdr*>(wire);
  const auto& tag = reinterpret_cast<const Lumen::Eth8021QHdr*>(wire + 14)->tagControl();
  EXPECT_EQ(eth->typeOrLen(), 0x88a8);
  EXPECT_EQ(tag.priority(), 5);
  EXPECT_TRUE(tag.dropEligible());
  EXPECT_EQ(tag.vlanId(), 0xabc);

  std::uint8_t built[sizeof wire] = {};
  auto* outEth = reinterpret_cast<Lumen::EthHdr*>(built);
  auto* outTag = reinterpret_cast<Lumen::Eth8021QHdr*>(built + 14);
  outEth->dstIs(eth->dst());
  outEth->srcIs(EthAddr(0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc));
  outEth->typeOrLenIs(0x88a8);
  outTag->tagControl().vlanIdIs(0xabc);
  outTag->tagControl().priorityIs(5);
  outTag->tagControl().dropEligibleIs(true);
  outTag->typeOrLenIs(Lumen::ethTypeCfm);
  EXPECT_EQ(0, std::memcmp(built, wire, sizeof wire));
  outTag->tagControl().vlanIdIs(0xfff1);  // only 12 bits survive, the others stay
  EXPECT_EQ(outTag->tagControl().value(), 0xbff1);

  const Lumen::NetU32 u32(0x01020304);
  EXPECT_EQ(0, std::memcmp(&u32, "\x01\x02\x03\x04", 4));
}

TEST(IntfId, NamesAreNormalisedInternedAndKnowTheirKind) {
  struct Case {
    const char* in;
    const char* out;  // "": refused
    char kind;        // 'E'thernet, 'P'ort-channel, '-' other
  };
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
      EXPECT_EQ(errorOf([&] { IntfId{c.in}; }), std::string("Invalid interface name '") + c.in + "'");
      continue;
    }
    const IntfId id(c.in);
    EXPECT_EQ(id.stringValue(), c.out);
    EXPECT_EQ(Lumen::EthIntfId::isEthIntfId(id), c.kind == 'E') << c.in;
    EXPECT_EQ(Lumen::PortChannelIntfId::isPortChannelIntfId(id), c.kind == 'P') << c.in;
  }
  EXPECT_TRUE(IntfId("").empty());
  EXPECT_TRUE(IntfId("Ethernet10") < IntfId("Ethernet2"));
}

TEST(ValueTypes, RangeErrorsNameTheBound) {
  const std::string vlanId = "VlanId::value < VlanId::min or > VlanId::max not allowed";
  EXPECT_EQ(errorOf([] { Lumen::NamespaceName(std::string(151, 'n')); }),
            "NamespaceName::bytes > 150 not allowed");
  EXPECT_EQ(errorOf([] { Lumen::VlanIdOrNone(4094); }), "");
  EXPECT_EQ(errorOf([] { Lumen::VlanIdOrNone(4095); }), "VlanIdOrNone::value > 4094 not allowed");
  for (std::uint16_t v : {0, 1, 4094, 4095}) {
    EXPECT_EQ(errorOf([v] { Lumen::VlanId{v}; }), v == 0 || v == 4095 ? vlanId : "") << v;
  }
}

}  // namespace
