#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kiln/Errors.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/lumen/Types.h"

namespace {

using Lumen::EthAddr;

TEST(EthOverlays, ReadAndWriteWireBytes) {
  // dst 01:80:c2:00:00:33, src 00:1c:73:aa:bb:cc, TPID 0x88a8,
  // tag: priority 5, DEI 1, VLAN 0xabc, then 0x8902.
  const std::uint8_t wire[] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x33, 0x00, 0x1c, 0x73,
                               0xaa, 0xbb, 0xcc, 0x88, 0xa8, 0xba, 0xbc, 0x89, 0x02};
  const auto* eth = reinterpret_cast<const Lumen::EthHdr*>(wire);
  const auto* tag = reinterpret_cast<const Lumen::Eth8021QHdr*>(wire + 14);
  EXPECT_EQ(eth->dst(), EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, 0x33));
  EXPECT_EQ(eth->src().stringValue(), "00:1c:73:aa:bb:cc");
  EXPECT_EQ(eth->typeOrLen(), 0x88a8);
  EXPECT_EQ(tag->tagControl().priority(), 5);
  EXPECT_TRUE(tag->tagControl().dropEligible());
  EXPECT_EQ(tag->tagControl().vlanId(), 0xabc);
  EXPECT_EQ(tag->typeOrLen(), Lumen::ethTypeCfm);

  std::uint8_t built[sizeof wire] = {};
  auto* outEth = reinterpret_cast<Lumen::EthHdr*>(built);
  auto* outTag = reinterpret_cast<Lumen::Eth8021QHdr*>(built + 14);
  outEth->dstIs(eth->dst());
  outEth->srcIs(eth->src());
  outEth->typeOrLenIs(0x88a8);
  outTag->tagControl().vlanIdIs(0xabc);
  outTag->tagControl().priorityIs(5);
  outTag->tagControl().dropEligibleIs(true);
  outTag->typeOrLenIs(0x8902);
  EXPECT_EQ(0, std::memcmp(built, wire, sizeof wire));
  // Setting one field leaves the others.
  outTag->tagControl().vlanIdIs(0xfff1);  // only 12 bits survive
  EXPECT_EQ(outTag->tagControl().value(), 0xbff1);
}

TEST(EthAddr, TextFormsAndKinds) {
  struct Case {
    const char* text;
    bool valid;
    const char* printed;
  };
  const Case cases[] = {
      {"00:1c:73:AA:bb:0c", true, "00:1c:73:aa:bb:0c"},
      {"01-80-C2-00-00-3f", true, "01:80:c2:00:00:3f"},
      {"00:1c:73:aa:bb", false, ""},
      {"00:1c:73:aa:bb:0c:", false, ""},
      {"00:1c-73:aa:bb:0c", false, ""},
      {"00:1c:73:aa:bb:0g", false, ""},
  };
  for (const Case& c : cases) {
    auto addr = EthAddr::fromString(c.text);
    ASSERT_EQ(addr.has_value(), c.valid) << c.text;
    if (addr) {
      EXPECT_EQ(addr->stringValue(), c.printed);
    }
  }
  EXPECT_TRUE(EthAddr(0x00, 1, 2, 3, 4, 5).isUnicast());
  EXPECT_FALSE(EthAddr(0x01, 0x80, 0xc2, 0, 0, 0x30).isUnicast());
  EXPECT_FALSE(EthAddr(0xff, 0xff, 0xff, 0xff, 0xff, 0xff).isUnicast());
  EXPECT_TRUE(EthAddr().isZero());
}

TEST(IntfId, NamesAreNormalisedAndInterned) {
  struct Case {
    const char* in;
    const char* out;  // nullptr: refused
  };
  const Case cases[] = {
      {"Ethernet1", "Ethernet1"},     {"Et1", "Ethernet1"},
      {"eth3/1", "Ethernet3/1"},      {"Ethernet1/2.100", "Ethernet1/2.100"},
      {"Po10", "Port-Channel10"},     {"port-channel7", "Port-Channel7"},
      {"Vl100", "Vlan100"},           {"Ma1", "Management1"},
      {"Ethernet", nullptr},          {"E1", nullptr},
      {"Foo1", nullptr},              {"Ethernet1/", nullptr},
      {"Ethernet1.2.3", nullptr},     {"Ethernet 1", nullptr},
  };
  for (const Case& c : cases) {
    if (c.out) {
      EXPECT_EQ(Lumen::IntfId(c.in).stringValue(), c.out) << c.in;
    } else {
      try {
        Lumen::IntfId id(c.in);
        ADD_FAILURE() << c.in << " accepted as " << id;
      } catch (const Kiln::RangeException& e) {
        EXPECT_EQ(std::string(e.what()), std::string("Invalid interface name '") + c.in + "'");
      }
    }
  }
  EXPECT_EQ(Lumen::IntfId("Et1"), Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(Lumen::IntfId("Et1").hash(), Lumen::IntfId("ethernet1").hash());
  EXPECT_TRUE(Lumen::IntfId("").empty());
  EXPECT_TRUE(Lumen::IntfId("Ethernet10") < Lumen::IntfId("Ethernet2"));
}

TEST(IntfId, Kinds) {
  using Lumen::IntfId;
  EXPECT_TRUE(Lumen::EthIntfId::isEthIntfId(IntfId("Ethernet4")));
  EXPECT_FALSE(Lumen::EthIntfId::isEthIntfId(IntfId("Port-Channel4")));
  EXPECT_TRUE(Lumen::PortChannelIntfId::isPortChannelIntfId(IntfId("Po4")));
  for (const char* other : {"Vlan10", "Management1", ""}) {
    EXPECT_FALSE(Lumen::EthIntfId::isEthIntfId(IntfId(other))) << other;
    EXPECT_FALSE(Lumen::PortChannelIntfId::isPortChannelIntfId(IntfId(other))) << other;
  }
}

template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const Kiln::RangeException& e) {
    return e.what();
  }
  return "no error";
}

TEST(ValueTypes, RangeErrorsNameTheBound) {
  EXPECT_EQ(Lumen::NamespaceName(std::string(150, 'n')).stringValue().size(), 150u);
  EXPECT_EQ(errorOf([] { Lumen::NamespaceName(std::string(151, 'n')); }),
            "NamespaceName::bytes > 150 not allowed");
  EXPECT_EQ(errorOf([] { Lumen::VlanIdOrNone(4095); }), "VlanIdOrNone::value > 4094 not allowed");
  EXPECT_EQ(Lumen::VlanIdOrNone(4094).value(), 4094);
  EXPECT_TRUE(Lumen::VlanIdOrNone(0).isNone());
  for (std::uint16_t bad : {0, 4095}) {
    EXPECT_EQ(errorOf([bad] { Lumen::VlanId{bad}; }),
              "VlanId::value < VlanId::min or > VlanId::max not allowed");
  }
  EXPECT_EQ(Lumen::VlanId(1).value(), 1);
}

}  // namespace
