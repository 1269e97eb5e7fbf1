// The CCM's flag bits and MEP ID range, and the MAID: whatever its length bytes say, the
// name accessors stay inside its 48 bytes, and names written into it read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
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
  const std::pair<Set, std::uint8_t> fields[] = {
      {[](CCMPdu& c, bool on) { c.ccmIntervalFieldIs(on ? 7 : 0); }, 0x07},
      {[](CCMPdu& c, bool on) { c.reservedIs(on ? 0x0f : 0); }, 0x78},
      {[](CCMPdu& c, bool on) { c.remoteDefectIndicationIs(on); }, 0x80},
  };
  for (const auto& [set, bits] : fields) {
    SCOPED_TRACE(int(bits));
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
              "CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed")
        << id;
  }
  ccm.mepIdIs(8191);
  EXPECT_EQ(hex(wireBytes(ccm).data() + 8, 2), "1f ff");
}

// A CCM whose MAID says: MD name format, MD length (unless format 1), MA format, MA length.
// Name bytes are 'a', 'b', ... so that a name read from the wrong place shows.
std::array<std::uint8_t, 74> maid(std::uint8_t mdFormat, std::uint8_t mdLen, std::uint8_t maLen) {
  std::array<std::uint8_t, 74> wire{};
  std::size_t pos = 10;
  wire[pos++] = mdFormat;
  if (mdFormat != 1) {
    wire[pos++] = mdLen;
    for (std::size_t i = 0; i < mdLen && pos < 58; ++i) wire[pos++] = std::uint8_t('a' + i % 26);
  }
  if (pos < 58) wire[pos++] = 2;
  if (pos < 58) wire[pos++] = maLen;
  for (std::size_t i = 0; i < maLen && pos < 58; ++i) wire[pos++] = std::uint8_t('A' + i % 26);
  for (std::size_t i = 58; i < 74; ++i) wire[i] = 0xee;  // ITU-T area: never part of a name
  return wire;
}

std::string letters(char first, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += char(first + i % 26);
  return s;
}

TEST(CcmPdu, MaidLengthsAtTheirBounds) {
  struct Row {
    std::uint8_t mdFormat, mdLen, maLen;
    std::string error;  // "" when both names read
    std::size_t maxMa;
  };
  const Row rows[] = {
      {1, 0, 45, "", 45},       // no MD name: format, MA format, MA length, 45 bytes
      {1, 0, 46, maError, 45},  // one byte into the ITU-T area
      {1, 0, 0, maError, 45},   {4, 43, 1, "", 1},  // longest MD name leaves one MA byte
      {4, 43, 2, maError, 1},   {4, 1, 43, "", 43},        {4, 1, 44, maError, 43},
      {4, 20, 24, "", 24},      {4, 20, 25, maError, 24},  {4, 0, 5, mdError, 0},
      {4, 44, 1, mdError, 0},   {4, 255, 1, mdError, 0},
      {2, 10, 34, "", 34},  // other MD formats are laid out as format 4
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << int(r.mdFormat) << "/" << int(r.mdLen) << "/" << int(r.maLen));
    const auto wire = maid(r.mdFormat, r.mdLen, r.maLen);
    const auto* ccm = reinterpret_cast<const CCMPdu*>(wire.data());
    if (r.error == mdError) {
      // Whatever needs the MA position refuses.
      for (auto read : {+[](const CCMPdu* c) { c->mdName(); }, +[](const CCMPdu* c) { c->ma(); },
                        +[](const CCMPdu* c) { c->maxMaNameLen(); }, +[](const CCMPdu* c) { c->maName(); }}) {
        EXPECT_EQ(rangeError([&] { read(ccm); }), mdError);
      }
      continue;
    }
    EXPECT_EQ(ccm->mdName().stringValue(), letters('a', ccm->mdNameLen()));
    EXPECT_EQ(ccm->ma(), r.mdFormat == 1 ? 11u : 12u + r.mdLen);
    EXPECT_EQ(ccm->maNameFormat(), Cfm::maNameFormatCharacterString);
    EXPECT_EQ(ccm->maxMaNameLen(), r.maxMa);
    if (r.error.empty()) {
      EXPECT_EQ(ccm->maName().stringValue(), letters('A', r.maLen));
    } else {
      EXPECT_EQ(rangeError([&] { ccm->maName(); }), r.error);
    }
  }
}

// Every length byte value, laid over exactly the bytes up to the end of the MAID in a
// heap block of its own: a read past byte 57 is a heap overflow the sanitizer reports.
TEST(CcmPdu, NoLengthBytesMakeTheNameAccessorsLeaveTheMaid) {
  constexpr std::size_t maidEnd = CCMPdu::maIdOffset + CCMPdu::maIdBytes;
  static_assert(maidEnd == 58);
  auto block = std::make_unique<std::uint8_t[]>(maidEnd);
  const auto* ccm = reinterpret_cast<const CCMPdu*>(block.get());
  int namesRead = 0;
  for (std::uint8_t mdFormat : {1, 4}) {
    for (unsigned mdLen = 0; mdLen < 256; ++mdLen) {
      std::memset(block.get(), 0x5a, maidEnd);
      block[10] = mdFormat;
      block[11] = std::uint8_t(mdLen);
      const std::size_t ma = mdFormat == 1 ? 11 : 12 + mdLen;
      for (unsigned maLen = 0; maLen < 256; ++maLen) {
        if (ma + 1 < maidEnd) block[ma + 1] = std::uint8_t(maLen);
        try {
          const std::size_t md = ccm->mdName().stringValue().size();
          const std::size_t maBytes = ccm->maName().stringValue().size();
          // format, MD length and MD name (or none), MA format and length, MA name
          EXPECT_LE((mdFormat == 1 ? 1 : 2 + md) + 2 + maBytes, CCMPdu::maIdBytes);
          ++namesRead;
        } catch (const Kiln::RangeException&) {
        }
      }
    }
  }
  // Format 1: MA lengths 1-45, under each of the 256 values of byte 11 (there the MA
  // format). Format 4: MD lengths 1-43, each with MA lengths 1..44-L.
  EXPECT_EQ(namesRead, 256 * 45 + 43 * 44 / 2);
}

// An originator writes the MAID from names; what it writes must read back through the
// accessors above, leave nothing of an earlier MAID, and refuse what they would refuse.
TEST(CcmPdu, MaidWrittenFromNamesReadsBack) {
  struct Row {
    Cfm::MdNameFormat mdFormat;
    std::size_t mdLen, maLen;
    std::string error;  // "" when the names are written
  };
  const Row rows[] = {
      {Cfm::mdNameFormatCharacterString, 43, 1, ""},     {Cfm::mdNameFormatCharacterString, 1, 43, ""},
      {Cfm::mdNameFormatCharacterString, 1, 44, maError}, {Cfm::mdNameFormatCharacterString, 43, 2, maError},
      {Cfm::mdNameFormatCharacterString, 0, 1, mdError},  {Cfm::mdNameFormatCharacterString, 5, 0, maError},
      {Cfm::mdNameFormatNone, 0, 45, ""},
      {Cfm::mdNameFormatNone, 1, 5, mdError},  // a name the format cannot carry
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << int(r.mdFormat) << "/" << r.mdLen << "/" << r.maLen);
    std::array<std::uint8_t, 74> wire;
    auto* ccm = new (wire.data()) CCMPdu(3, Cfm::opCodeCcm);
    std::fill(wire.begin() + 10, wire.end(), 0xee);  // an earlier frame's MAID and ITU-T area
    const auto before = wire;
    EXPECT_EQ(rangeError([&] {
                ccm->maIdIs({Cfm::MdName(letters('a', r.mdLen)), r.mdFormat},
                            {Cfm::MaName(letters('A', r.maLen)), Cfm::maNameFormatCharacterString});
              }),
              r.error);
    if (!r.error.empty()) {
      EXPECT_EQ(wire, before);
      continue;
    }
    EXPECT_EQ(ccm->mdNameFormat(), r.mdFormat);
    EXPECT_EQ(ccm->mdName().stringValue(), letters('a', r.mdLen));
    EXPECT_EQ(ccm->maName().stringValue(), letters('A', r.maLen));
    for (std::size_t i = ccm->ma() + 2 + r.maLen; i < 58; ++i) EXPECT_EQ(wire[i], 0) << "MAID byte " << i;
    EXPECT_EQ(std::count(wire.begin() + 58, wire.end(), 0xee), 16);  // the ITU-T area is not the MAID's
  }
  // The layout itself, once: format 4, length, "MD", format 2, length, "MA1", zeros.
  CCMPdu ccm(0, Cfm::opCodeCcm);
  ccm.maIdIs({Cfm::MdName("MD"), Cfm::mdNameFormatCharacterString},
             {Cfm::MaName("MA1"), Cfm::maNameFormatCharacterString});
  EXPECT_EQ(hex(wireBytes(ccm).data() + 10, 11), "04 02 4d 44 02 03 4d 41 31 00 00");
}

}  // namespace
