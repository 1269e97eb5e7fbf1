// The CCM's flag bits and MEP ID range, and the MAID: whatever its length bytes say, the
// name accessors stay inside its 48 bytes, and names written into it read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "CfmAgent/ContinuityCheckPdu.h"
#include "PduTestUtil.h"

namespace {

using namespace CfmAgent;
using PduTest::hex;
using PduTest::rangeError;

const std::string mdError = "mdNameLen out of range", maError = "maNameLen out of range";

TEST(CcmPdu, FlagSettersKeepTheOtherBitsAndMepIdsStayInRange) {
  using Set = void (*)(CCMPdu&, bool on);
  for (auto [set, bits] : {std::pair<Set, int>{[](CCMPdu& c, bool on) { c.ccmIntervalFieldIs(on ? 7 : 0); }, 0x07},
                           {[](CCMPdu& c, bool on) { c.reservedIs(on ? 0x0f : 0); }, 0x78},
                           {[](CCMPdu& c, bool on) { c.remoteDefectIndicationIs(on); }, 0x80}}) {
    CCMPdu ccm(0, Cfm::opCodeCcm);
    set(ccm, true);
    EXPECT_EQ(ccm.flag(), bits);
    ccm.flagIs(0xff);
    set(ccm, false);
    EXPECT_EQ(ccm.flag(), 0xff & ~bits);
  }
  CCMPdu ccm(0, Cfm::opCodeCcm);
  for (std::uint16_t id : {0, 8192, 0xffff}) {
    EXPECT_EQ(rangeError([&] { ccm.mepIdIs(id); }),
              "CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed");
  }
  EXPECT_EQ(rangeError([&] { ccm.mepIdIs(8191); }), "");
}

// Every MD format, MD length and MA length byte, laid over exactly the bytes up to the end
// of the MAID in a heap block of its own (a read past byte 57 is a heap overflow the
// sanitizer reports): names read from their place when the lengths fit the 48 MAID bytes,
// and the right range error when they do not.
TEST(CcmPdu, NameLengthsDecideWhatIsReadAndNothingLeavesTheMaid) {
  constexpr std::size_t maidEnd = CCMPdu::maIdOffset + CCMPdu::maIdBytes;
  auto block = std::make_unique<std::uint8_t[]>(maidEnd);
  const auto* ccm = reinterpret_cast<const CCMPdu*>(block.get());
  auto at = [&](std::size_t offset, std::size_t n) { return std::string(reinterpret_cast<char*>(&block[offset]), n); };
  for (std::uint8_t mdFormat : {1, 2, 4}) {  // 2 and other formats are laid out as 4
    for (unsigned mdLen = 0; mdLen < 256; ++mdLen) {
      for (std::size_t i = 0; i < maidEnd; ++i) block[i] = std::uint8_t(i);
      block[10] = mdFormat;
      block[11] = std::uint8_t(mdLen);  // the MA format when there is no MD name
      const bool hasMd = mdFormat != 1;
      const std::size_t ma = hasMd ? 12 + mdLen : 11;
      if (hasMd && (mdLen < 1 || mdLen > 43)) {
        EXPECT_EQ(rangeError([&] { ccm->maName(); }), mdError) << mdLen;
        continue;
      }
      for (unsigned maLen = 0; maLen < 256; ++maLen) {
        block[ma + 1] = std::uint8_t(maLen);
        auto where = [&] { return testing::Message() << int(mdFormat) << "/" << mdLen << "/" << maLen; };
        if (maLen < 1 || maLen > (hasMd ? 44 - mdLen : 45)) {
          EXPECT_EQ(rangeError([&] { ccm->maName(); }), maError) << where();
        } else {
          EXPECT_EQ(ccm->mdName().stringValue(), at(12, hasMd ? mdLen : 0)) << where();
          EXPECT_EQ(ccm->maName().stringValue(), at(ma + 2, maLen)) << where();
        }
      }
    }
  }
}

// An originator writes the MAID from names; what it writes must read back through the
// accessors above, leave nothing of an earlier MAID, and refuse what they would refuse.
// (tshark reads one such MAID in PduTsharkTest.)
TEST(CcmPdu, MaidWrittenFromNamesReadsBack) {
  struct Row { Cfm::MdNameFormat mdFormat; std::size_t mdLen, maLen; std::string error; };
  const auto text = Cfm::mdNameFormatCharacterString, none = Cfm::mdNameFormatNone;
  const Row rows[] = {
      {text, 6, 6, ""},       {text, 43, 1, ""},      {text, 1, 43, ""},     {none, 0, 3, ""}, {none, 0, 45, ""},
      {text, 1, 44, maError}, {text, 43, 2, maError}, {text, 5, 0, maError}, {text, 0, 1, mdError},
      {none, 1, 5, mdError},  // a name the format cannot carry
  };

  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << int(r.mdFormat) << "/" << r.mdLen << "/" << r.maLen);
    std::array<std::uint8_t, 74> wire;
    auto* ccm = new (wire.data()) CCMPdu(3, Cfm::opCodeCcm);
    std::fill(wire.begin() + 10, wire.end(), 0xee);  // an earlier frame's MAID and ITU-T area
    const auto before = wire;
    EXPECT_EQ(rangeError([&] {
                ccm->maIdIs({Cfm::MdName(std::string(r.mdLen, 'm')), r.mdFormat},
                            {Cfm::MaName(std::string(r.maLen, 'a')), Cfm::maNameFormatCharacterString});
              }),
              r.error);
    if (!r.error.empty()) {
      EXPECT_EQ(wire, before);
      continue;
    }
    EXPECT_EQ(ccm->mdNameFormat(), r.mdFormat);
    EXPECT_EQ(ccm->mdName().stringValue(), std::string(r.mdLen, 'm'));
    EXPECT_EQ(ccm->maName().stringValue(), std::string(r.maLen, 'a'));
    const std::size_t used = ccm->ma() + 2 + r.maLen;
    EXPECT_EQ(hex(wire.data() + used, 58 - used), hex(std::string(58 - used, '\0')));  // the rest of the MAID
    EXPECT_EQ(hex(wire.data() + 58, 16), hex(std::string(16, '\xee')));              // not the ITU-T area
  }
}

}  // namespace
