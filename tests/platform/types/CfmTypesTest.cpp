#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <unordered_set>

#include "platform/kiln/Errors.h"
#include "platform/types/CfmTypes.h"

namespace {

using Lumen::EthAddr;

// The text of the range error `f` raises; "" when it raises none.
template <class F>
std::string rangeError(F f) {
  try {
    f();
  } catch (const Kiln::RangeException& e) {
    return e.what();
  }
  return "";
}

template <class T>
std::string text(const T& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

TEST(CfmTypes, RangedValuesRefuseTheirBounds) {
  EXPECT_EQ(Cfm::MdLevel().value(), Cfm::MdLevel::invalid);
  EXPECT_FALSE(Cfm::MdLevel().isValid());
  EXPECT_TRUE(Cfm::MdLevel(7).isValid());
  EXPECT_FALSE(Cfm::MdLevel(8).isValid());
  EXPECT_EQ(text(Cfm::MdLevel(5)), "5");
  EXPECT_EQ(rangeError([] { (void)Cfm::MdLevel(9); }),
            "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed");

  EXPECT_TRUE(Cfm::MepId().isNone());
  EXPECT_EQ(Cfm::MepId(1).value(), 1);
  EXPECT_EQ(text(Cfm::MepId(8191)), "8191");
  for (std::uint16_t bad : {0, 8192, 65535}) {
    EXPECT_EQ(rangeError([=] { (void)Cfm::MepId(bad); }),
              "MepId::value < MepId::min or > MepId::max not allowed")
        << bad;
  }

  EXPECT_EQ(Cfm::MaName(std::string(45, 'a')).stringValue().size(), 45u);
  EXPECT_EQ(rangeError([] { (void)Cfm::MaName(std::string(46, 'a')); }),
            "MaName::bytes > 45 not allowed");
  EXPECT_EQ(Cfm::MdName(std::string(43, 'd')).stringValue().size(), 43u);
  EXPECT_EQ(rangeError([] { (void)Cfm::MdName(std::string(44, 'd')); }),
            "MdName::bytes > 43 not allowed");
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
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x35}, 5, Cfm::opCodeCcm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x37}, 7, Cfm::opCodeCcm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x38}, 0, Cfm::opCodeLtm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x3c}, 4, Cfm::opCodeLtm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x3f}, 7, Cfm::opCodeLtm},
      // Neighbours of the two blocks, and the block's last byte under other prefixes.
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x2f}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x40}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x01, 0x30}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc3, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
      {{0x00, 0x80, 0xc2, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
      {{0x00, 0x1c, 0x73, 0x00, 0x00, 0x37}, 8, Cfm::opCodeNone},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 8, Cfm::opCodeNone},
  };
  for (const Case& c : cases) {
    const Cfm::CfmMulticastEthAddr decoded(c.addr);
    EXPECT_EQ(decoded.mdLevel().value(), c.level) << c.addr;
    EXPECT_EQ(decoded.opCode(), c.op) << c.addr;
  }
}

TEST(CfmTypes, OpCodesNameThemselvesAndPickTheirProtocol) {
  struct Case {
    Cfm::OpCode op;
    const char* name;
    Cfm::Protocol protocol;
    const char* protocolName;
  };
  const Case cases[] = {
      {Cfm::opCodeCcm, "opCodeCcm", Cfm::protocolContinuityCheck, "protocolContinuityCheck"},
      {Cfm::opCodeLbr, "opCodeLbr", Cfm::protocolLoopback, "protocolLoopback"},
      {Cfm::opCodeLbm, "opCodeLbm", Cfm::protocolLoopback, "protocolLoopback"},
      {Cfm::opCodeLtr, "opCodeLtr", Cfm::protocolLinktrace, "protocolLinktrace"},
      {Cfm::opCodeLtm, "opCodeLtm", Cfm::protocolLinktrace, "protocolLinktrace"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(c.op), c.name);
    EXPECT_EQ(Cfm::protocolOf(c.op), c.protocol) << c.name;
    EXPECT_EQ(text(Cfm::protocolOf(c.op)), c.protocolName);
  }
  EXPECT_EQ(text(Cfm::opCodeNone), "opCodeNone");
  EXPECT_EQ(text(Cfm::OpCode(47)), "47");  // a Y.1731 opcode we do not know
  EXPECT_EQ(text(Cfm::mdNameFormatCharacterString), "mdNameFormatCharacterString");
  EXPECT_EQ(text(Cfm::MaNameFormat(9)), "9");
  EXPECT_EQ(text(Cfm::mepDirectionUp), "mepDirectionUp");
}

TEST(CfmTypes, NamesWithFormatsKeyByBoth) {
  const Cfm::MaNameWithFormat a{Cfm::MaName("ma1"), Cfm::maNameFormatCharacterString};
  const Cfm::MaNameWithFormat b{Cfm::MaName("ma1"), Cfm::maNameFormatUint16};
  EXPECT_NE(a, b);
  EXPECT_EQ(a, (Cfm::MaNameWithFormat{Cfm::MaName("ma1"), Cfm::maNameFormatCharacterString}));
  std::unordered_set<Cfm::MaNameWithFormat> set{a, b, a};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(text(a), "ma1 (maNameFormatCharacterString)");
  EXPECT_EQ(Cfm::MdNameWithFormat().format, Cfm::mdNameFormatNone);
  EXPECT_LT(Cfm::CcmTxInterval(0.1), Cfm::CcmTxInterval(1.0));
  EXPECT_LT(Cfm::CfmProfileName("a"), Cfm::CfmProfileName("b"));
}

}  // namespace
