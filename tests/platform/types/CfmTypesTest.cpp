#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/kiln/Errors.h"
#include "platform/types/CfmTypes.h"

namespace {

using Lumen::EthAddr;

TEST(CfmTypes, RangedValuesRefuseWhatIsPastTheirBounds) {
  const std::string mdLevel = "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed";
  const std::string mepId = "MepId::value < MepId::min or > MepId::max not allowed";
  struct Case {
    std::function<void()> make;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {[] { (void)Cfm::MdLevel(8); }, ""},  // the invalid level is a value of its own
      {[] { (void)Cfm::MdLevel(9); }, mdLevel},
      {[] { (void)Cfm::MepId(1); }, ""},
      {[] { (void)Cfm::MepId(8191); }, ""},
      {[] { (void)Cfm::MepId(0); }, mepId},
      {[] { (void)Cfm::MepId(8192); }, mepId},
      {[] { (void)Cfm::MaName(std::string(45, 'a')); }, ""},
      {[] { (void)Cfm::MaName(std::string(46, 'a')); }, "MaName::bytes > 45 not allowed"},
      {[] { (void)Cfm::MdName(std::string(43, 'd')); }, ""},
      {[] { (void)Cfm::MdName(std::string(44, 'd')); }, "MdName::bytes > 43 not allowed"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string error;
    try {
      cases[i].make();
    } catch (const Kiln::RangeException& e) {
      error = e.what();
    }
    EXPECT_EQ(error, cases[i].error) << "case " << i;
  }
  EXPECT_TRUE(Cfm::MdLevel(7).isValid());
  EXPECT_FALSE(Cfm::MdLevel().isValid());
  EXPECT_TRUE(Cfm::MepId().isNone());
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
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x37}, 7, Cfm::opCodeCcm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x38}, 0, Cfm::opCodeLtm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x3f}, 7, Cfm::opCodeLtm},
      // Neighbours of the two blocks, and the block's first byte under other prefixes.
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x2f}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x40}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x01, 0x30}, 8, Cfm::opCodeNone},
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
