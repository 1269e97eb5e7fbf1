#include <gtest/gtest.h>

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

TEST(CcmPdu, ConstructionZeroesAllButHeaderAndMepId) {
  const auto b = wireBytes(CCMPdu(6, Cfm::opCodeCcm));
  EXPECT_EQ(hex(b.data(), 10), "c0 01 00 46 00 00 00 00 00 01");
  EXPECT_EQ(hex(b.data() + 10, 64), hex(std::array<std::uint8_t, 64>{}));
  EXPECT_EQ(rangeError([] { (void)CCMPdu(6, 6); }),
            "CFMCommonHeader::opCode < CFMCommonHeader::opCodeMin or > "
            "CFMCommonHeader::opCodeMax not allowed");
}

TEST(CcmPdu, ReadsReceivedFields) {
  std::array<std::uint8_t, 74> wire{};
  const std::uint8_t fixed[] = {
      0x4d, 0x01, 0x87, 0x46,       // level 2 version 13, CCM, RDI + interval 7, offset 70
      0xfe, 0xdc, 0xba, 0x98,       // sequence number
      0x1f, 0xff,                   // MEP id 8191
      0x04, 0x02, 'M',  'D',        // MD name format 4, length 2, "MD"
      0x02, 0x03, 'M',  'A',  '1',  // MA name format 2, length 3, "MA1"
  };
  std::memcpy(wire.data(), fixed, sizeof fixed);
  const auto* ccm = reinterpret_cast<const CCMPdu*>(wire.data());
  EXPECT_EQ(ccm->mdLevel(), 2);
  EXPECT_EQ(ccm->version(), 13);
  EXPECT_EQ(ccm->ccmIntervalField(), 7);
  EXPECT_EQ(ccm->reserved(), 0);
  EXPECT_TRUE(ccm->remoteDefectIndication());
  EXPECT_EQ(ccm->sequenceNumber(), 0xfedcba98u);
  EXPECT_EQ(ccm->mepId(), 8191);
  EXPECT_EQ(ccm->mdNameFormat(), Cfm::mdNameFormatCharacterString);
  EXPECT_EQ(ccm->mdName().stringValue(), "MD");
  EXPECT_EQ(ccm->ma(), 14u);
  EXPECT_EQ(ccm->maNameFormat(), Cfm::maNameFormatCharacterString);
  EXPECT_EQ(ccm->maName().stringValue(), "MA1");
}

TEST(CcmPdu, FlagAndMepIdSetters) {
  CCMPdu ccm(0, Cfm::opCodeCcm);
  ccm.flagIs(0x78);
  EXPECT_EQ(ccm.reserved(), 0x0f);
  EXPECT_EQ(ccm.ccmIntervalField(), 0);
  ccm.ccmIntervalFieldIs(5);
  EXPECT_EQ(ccm.flag(), 0x7d);
  ccm.remoteDefectIndicationIs(true);
  EXPECT_EQ(ccm.flag(), 0xfd);
  ccm.reservedIs(0);
  EXPECT_EQ(ccm.flag(), 0x85);
  ccm.remoteDefectIndicationIs(false);
  EXPECT_EQ(ccm.flag(), 0x05);

  const char* mepIdError = "CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed";
  for (std::uint16_t id : {1, 8191}) {
    EXPECT_EQ(rangeError([&] { ccm.mepIdIs(id); }), "");
    EXPECT_EQ(ccm.mepId(), id);
  }
  for (std::uint16_t id : {0, 8192, 0xffff}) {
    EXPECT_EQ(rangeError([&] { ccm.mepIdIs(id); }), mepIdError) << id;
    EXPECT_EQ(ccm.mepId(), 8191);
  }
  ccm.sequenceNumberIs(0x01020304);
  EXPECT_EQ(hex(wireBytes(ccm).data() + 4, 6), "01 02 03 04 1f ff");
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
  const std::string mdError = "mdNameLen out of range", maError = "maNameLen out of range";
  struct Case {
    std::uint8_t mdFormat, mdLen, maLen;
    std::string error;  // "" when both names read
    std::size_t maxMa;
  };
  const Case cases[] = {
      {1, 0, 45, "", 45},       // no MD name: format, MA format, MA length, 45 bytes
      {1, 0, 46, maError, 45},  // one byte into the ITU-T area
      {1, 0, 0, maError, 45},   {1, 0, 1, "", 45},
      {4, 43, 1, "", 1},  // longest MD name leaves one MA byte
      {4, 43, 2, maError, 1},   {4, 1, 43, "", 43},
      {4, 1, 44, maError, 43},  {4, 20, 24, "", 24},
      {4, 20, 25, maError, 24}, {4, 0, 5, mdError, 0},
      {4, 44, 1, mdError, 0},   {4, 255, 1, mdError, 0},
      {2, 10, 34, "", 34},  // other MD formats are laid out as format 4
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << int(c.mdFormat) << "/" << int(c.mdLen) << "/" << int(c.maLen));
    const auto wire = maid(c.mdFormat, c.mdLen, c.maLen);
    const auto* ccm = reinterpret_cast<const CCMPdu*>(wire.data());
    const bool mdBad = c.error == mdError;
    if (mdBad) {
      // Every accessor that needs the MA position refuses.
      EXPECT_EQ(rangeError([&] { ccm->validatedMdNameLen(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->mdName(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->ma(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->maNameFormat(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->maNameLen(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->maxMaNameLen(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->validatedMaNameLen(); }), mdError);
      EXPECT_EQ(rangeError([&] { ccm->maName(); }), mdError);
      EXPECT_EQ(ccm->mdNameLen(), c.mdLen);
      continue;
    }
    EXPECT_EQ(ccm->mdNameLen(), c.mdFormat == 1 ? 0 : c.mdLen);
    EXPECT_EQ(ccm->mdName().stringValue(), letters('a', ccm->mdNameLen()));
    EXPECT_EQ(ccm->ma(), c.mdFormat == 1 ? 11u : 12u + c.mdLen);
    EXPECT_EQ(ccm->maNameFormat(), Cfm::maNameFormatCharacterString);
    EXPECT_EQ(ccm->maNameLen(), c.maLen);
    EXPECT_EQ(ccm->maxMaNameLen(), c.maxMa);
    if (c.error.empty()) {
      EXPECT_EQ(ccm->maName().stringValue(), letters('A', c.maLen));
    } else {
      EXPECT_EQ(rangeError([&] { ccm->validatedMaNameLen(); }), c.error);
      EXPECT_EQ(rangeError([&] { ccm->maName(); }), c.error);
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
  const std::string mdError = "mdNameLen out of range", maError = "maNameLen out of range";
  struct Case {
    Cfm::MdNameFormat mdFormat;
    std::size_t mdLen, maLen;
    std::string error;  // "" when the names are written
  };
  const Case cases[] = {
      {Cfm::mdNameFormatCharacterString, 6, 6, ""},
      {Cfm::mdNameFormatCharacterString, 43, 1, ""},
      {Cfm::mdNameFormatCharacterString, 1, 43, ""},
      {Cfm::mdNameFormatCharacterString, 1, 44, maError},
      {Cfm::mdNameFormatCharacterString, 43, 2, maError},
      {Cfm::mdNameFormatCharacterString, 0, 1, mdError},
      {Cfm::mdNameFormatCharacterString, 5, 0, maError},
      {Cfm::mdNameFormatNone, 0, 45, ""},
      {Cfm::mdNameFormatNone, 1, 5, mdError},  // a name the format cannot carry
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.mdFormat) << "/" << c.mdLen << "/" << c.maLen);
    std::array<std::uint8_t, 74> wire;
    wire.fill(0xee);
    auto* ccm = new (wire.data()) CCMPdu(3, Cfm::opCodeCcm);
    const auto before = wire;
    Cfm::MdNameWithFormat md{Cfm::MdName(letters('a', c.mdLen)), c.mdFormat};
    Cfm::MaNameWithFormat ma{Cfm::MaName(letters('A', c.maLen)),
                             Cfm::maNameFormatCharacterString};
    EXPECT_EQ(rangeError([&] { ccm->maIdIs(md, ma); }), c.error);
    if (!c.error.empty()) {
      EXPECT_EQ(wire, before);
      continue;
    }
    EXPECT_EQ(ccm->mdNameFormat(), c.mdFormat);
    EXPECT_EQ(ccm->mdName().stringValue(), letters('a', c.mdLen));
    EXPECT_EQ(ccm->maNameFormat(), Cfm::maNameFormatCharacterString);
    EXPECT_EQ(ccm->maName().stringValue(), letters('A', c.maLen));
    const std::size_t used = ccm->ma() + 2 + c.maLen;
    for (std::size_t i = used; i < 58; ++i) EXPECT_EQ(wire[i], 0) << "MAID byte " << i;
  }
  // The layout itself, once: format 4, length, "MD", format 2, length, "MA1", zeros.
  CCMPdu ccm(0, Cfm::opCodeCcm);
  ccm.maIdIs({Cfm::MdName("MD"), Cfm::mdNameFormatCharacterString},
             {Cfm::MaName("MA1"), Cfm::maNameFormatCharacterString});
  EXPECT_EQ(hex(wireBytes(ccm).data() + 10, 11), "04 02 4d 44 02 03 4d 41 31 00 00");
}

}  // namespace
