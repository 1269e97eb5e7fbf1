#include <gtest/gtest.h>

#include <string>

#include "platform/kiln/Errors.h"
#include "platform/types/CfmTypes.h"

namespace {

using Lumen::EthAddr;

// The text of the range error `make` raises; empty when it raises none.
template <class F>
std::string errorOf(F make) {
  try {
    make();
  } catch (const Kiln::RangeException& e) {
    return e.what();
  }
  return "";
}

TEST(CfmTypes, RangedValuesRefuseWhatIsPastTheirBounds) {
  const std::string mepId = "MepId::value < MepId::min or > MepId::max not allowed";
  EXPECT_EQ(errorOf([] { Cfm::MdLevel{8}; }), "");  // the invalid level is a value of its own
  EXPECT_EQ(errorOf([] { Cfm::MdLevel{9}; }),
            "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed");
  EXPECT_EQ(errorOf([] { Cfm::MepId{1}; }) + errorOf([] { Cfm::MepId{8191}; }), "");
  EXPECT_EQ(errorOf([] { Cfm::MepId{0}; }), mepId);
  EXPECT_EQ(errorOf([] { Cfm::MepId{8192}; }), mepId);
  EXPECT_EQ(errorOf([] { Cfm::MaName{std::string(45, 'a')}; }), "");
  EXPECT_EQ(errorOf([] { Cfm::MaName{std::string(46, 'a')}; }), "MaName::bytes > 45 not allowed");
  EXPECT_EQ(errorOf([] { Cfm::MdName{std::string(43, 'd')}; }), "");
  EXPECT_EQ(errorOf([] { Cfm::MdName{std::string(44, 'd')}; }), "MdName::bytes > 43 not allowed");
  // Names are bytes: a NUL inside is kept, not a terminator.
  EXPECT_EQ(Cfm::MaName(std::string("a\0b", 3)).stringValue().size(), 3u);
}

TEST(CfmTypes, GroupAddressesDecodeToLevelAndOpCode) {
  struct Case {
    EthAddr addr;
    std::uint8_t level;
    Cfm::OpCode op;
  };
  const Case cases[] = {
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x30}, 0, Cfm::opCodeCcm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x38}, 0, Cfm::opCodeLtm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x3f}, 7, Cfm::opCodeLtm},
      // Neighbours of the two blocks, and the block's first byte under other prefixes.
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x2f}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x40}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc3, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
      {{0x00, 0x80, 0xc2, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
  };
  for (const Case& c : cases) {
    const Cfm::CfmMulticastEthAddr decoded(c.addr);
    EXPECT_EQ(decoded.mdLevel().value(), c.level) << c.addr;
    EXPECT_EQ(decoded.opCode(), c.op) << c.addr;
  }
}

}  // namespace
