#pragma once
// The Continuity Check Message as it lies in a received frame, from the common header on.
//
// The MAID (bytes 10-57) carries an MD name and an MA name whose lengths come from the
// frame itself. maidParts() checks those lengths without throwing, for a receiver that
// counts what it refuses; the name accessors check them too and raise a range error, so
// that whatever the length bytes say no accessor reads outside the 48 MAID bytes: a CCM of
// at least 74 bytes is always safe to read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/cfm/Wire.h"
#include "platform/types/CfmTypes.h"

namespace Cfm {

// The Maintenance Association Identifier a CCM carries.
inline constexpr std::size_t maIdBytes = 48;
using Maid = std::array<std::uint8_t, maIdBytes>;

// Why a MAID's names cannot be read, or two names cannot make a MAID. The message of each
// is the range error the name accessors raise.
enum class MaidFault : std::uint8_t {
  none,
  mdNameLen,  // "mdNameLen out of range"
  maNameLen,  // "maNameLen out of range"
};
std::string_view stringValue(MaidFault fault);
// Raises Kiln::RangeException with the fault's message.
[[noreturn]] void throwMaidFault(MaidFault fault);

// Where a MAID's parts lie, as far as its length bytes allow: `ma` and `maNameLen` are
// known unless the MD name length is the fault.
struct MaidParts {
  MaidFault fault = MaidFault::none;
  std::uint8_t mdNameLen = 0;  // 0 without an MD name (mdNameFormatNone)
  std::size_t ma = 0;          // the MA name format byte, from the MAID's first byte
  std::uint8_t maNameLen = 0;
};
MaidParts maidParts(std::span<const std::uint8_t, maIdBytes> maid);

// The MAID of two names: the MD name format, then (unless the format is none) the MD name's
// length and bytes, the MA name's format, length and bytes, and zeros to the end. Names it
// cannot carry give their fault and leave `maid` as it was: an MD name empty, too long or
// given with format none; an MA name empty or longer than the MD name leaves room for.
MaidFault maidIs(Maid& maid, const MdNameWithFormat& md, const MaNameWithFormat& ma);

#pragma pack(push, 1)

class CCMPdu : public CFMCommonHeader {
 public:
  static constexpr std::uint16_t mepIdMin = MepId::min;
  static constexpr std::uint16_t mepIdMax = MepId::max;
  // Bytes from the start of the common header to the end of the frame.
  static constexpr std::uint32_t maxPduSize = 128;
  // Where the MAID lies, from the start of the common header.
  static constexpr std::size_t maIdOffset = 10;
  static constexpr std::size_t maIdBytes = Cfm::maIdBytes;

  // The MAID is MD format, [MD length, MD name,] MA format, MA length and MA name; every
  // program that builds or checks names asks here how much room they have.
  static constexpr std::uint8_t minMdNameLen = 1;
  static constexpr std::uint8_t minMaNameLen = 1;
  // What the MAID leaves for the MA name after an MD name of `mdNameLen` bytes in
  // `mdFormat` (which is 0 bytes, and no length byte, in mdNameFormatNone). `mdNameLen`
  // is at most maxMdNameLen.
  static constexpr std::size_t maxMaNameLenFor(Cfm::MdNameFormat mdFormat,
                                               std::size_t mdNameLen) {
    return mdFormat == Cfm::mdNameFormatNone ? maIdBytes - 3 : maIdBytes - 4 - mdNameLen;
  }
  // Leaves room for a one-byte MA name.
  static constexpr std::uint8_t maxMdNameLen = maIdBytes - 4 - minMaNameLen;

  // First TLV offset 70, MEP id 1, everything else 0.
  constexpr CCMPdu(std::uint8_t mdLevel, std::uint8_t opCode) : CFMCommonHeader(mdLevel, opCode) {
    firstTlvOffsetIs(FirstTlvOffset::firstTlvOffsetCcm);
    mepId_.valueIs(mepIdMin);
  }

  // The flags byte: bits 2-0 interval code (0 is invalid, 1-7 are Cfm::ccmTxIntervals),
  // bits 6-3 reserved, bit 7 RDI.
  constexpr std::uint8_t ccmIntervalField() const { return flag() & Flags::ccmInterval; }
  constexpr std::uint8_t reserved() const { return (flag() & Flags::ccmReserved) >> 3; }
  constexpr bool remoteDefectIndication() const { return flag() & Flags::ccmRdi; }
  constexpr void ccmIntervalFieldIs(std::uint8_t interval) {
    flagIs(std::uint8_t((flag() & ~Flags::ccmInterval) | (interval & Flags::ccmInterval)));
  }
  constexpr void reservedIs(std::uint8_t reserved) {
    flagIs(std::uint8_t((flag() & ~Flags::ccmReserved) | ((reserved << 3) & Flags::ccmReserved)));
  }
  constexpr void remoteDefectIndicationIs(bool rdi) { flagIs(withFlag(flag(), Flags::ccmRdi, rdi)); }

  constexpr std::uint32_t sequenceNumber() const { return sequenceNumber_.value(); }
  constexpr void sequenceNumberIs(std::uint32_t n) { sequenceNumber_.valueIs(n); }
  // As received: any 16-bit value.
  constexpr std::uint16_t mepId() const { return mepId_.value(); }
  // Outside 1-8191: "CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed".
  constexpr void mepIdIs(std::uint16_t id) {
    if (id < mepIdMin || id > mepIdMax) throwMepIdRange();
    mepId_.valueIs(id);
  }
  // The MAID's bytes, and where its parts lie; never throws.
  std::span<const std::uint8_t, maIdBytes> maid() const {
    return std::span<const std::uint8_t, maIdBytes>(
        reinterpret_cast<const std::uint8_t*>(this) + maIdOffset, maIdBytes);
  }
  MaidParts maidParts() const { return Cfm::maidParts(maid()); }

  constexpr Cfm::MdNameFormat mdNameFormat() const {
    return Cfm::MdNameFormat(mdNameFormat_.value());
  }
  constexpr void mdNameFormatIs(Cfm::MdNameFormat format) { mdNameFormat_.valueIs(format); }

  // Raw stores into the MAID after its format byte, and into the ITU-T area.
  constexpr void maIdField1Is(std::uint8_t v) { maIdField1_.valueIs(v); }
  constexpr void maIdField2Is(std::uint16_t v) { maIdField2_.valueIs(v); }
  constexpr void maIdField3Is(std::uint32_t v) { maIdField3_.valueIs(v); }
  constexpr void maIdField4Is(std::uint64_t v) { maIdField4_.valueIs(v); }
  constexpr void maIdField5Is(std::uint64_t v) { maIdField5_.valueIs(v); }
  constexpr void maIdField6Is(std::uint64_t v) { maIdField6_.valueIs(v); }
  constexpr void maIdField7Is(std::uint64_t v) { maIdField7_.valueIs(v); }
  constexpr void maIdField8Is(std::uint64_t v) { maIdField8_.valueIs(v); }
  constexpr void ituField0Is(std::uint64_t v) { ituField0_.valueIs(v); }
  constexpr void ituField1Is(std::uint64_t v) { ituField1_.valueIs(v); }

  // The MD name length byte as received; 0 when the MAID carries no MD name (format 1).
  std::uint8_t mdNameLen() const;
  // mdNameLen() if the MAID carries no MD name or the length is 1-43; otherwise raises
  // "mdNameLen out of range".
  std::uint8_t validatedMdNameLen() const;
  Cfm::MdName mdName() const;
  // The offset of the MA part (format, length, name) from the start of the header.
  std::size_t ma() const;
  Cfm::MaNameFormat maNameFormat() const;
  // The MA name length byte as received.
  std::uint8_t maNameLen() const;
  // maxMaNameLenFor() this MAID's MD name.
  std::uint8_t maxMaNameLen() const;
  // maNameLen() if it is 1..maxMaNameLen(); otherwise raises "maNameLen out of range".
  std::uint8_t validatedMaNameLen() const;
  Cfm::MaName maName() const;

  // Writes the whole MAID from the two names: the MD part in the MD format (no name and no
  // length byte for mdNameFormatNone), the MA part after it, and zero to the end of the
  // MAID, so that nothing of a frame built earlier in the buffer goes out. Lengths the
  // accessors above would refuse raise their errors ("mdNameLen out of range", also for a
  // name given with mdNameFormatNone; "maNameLen out of range") and leave the MAID as it
  // was.
  void maIdIs(const Cfm::MdNameWithFormat& md, const Cfm::MaNameWithFormat& ma);

 private:
  [[noreturn]] static void throwMepIdRange();
  // maidParts(), raising the MD name's fault: what every accessor past the MD name needs.
  MaidParts mdChecked() const;
  // maidParts(), raising either fault.
  MaidParts checked() const;
  // `bytes` MAID bytes from `offset` of the MAID.
  std::string_view maIdBytesAt(std::size_t offset, std::size_t bytes) const;

  Lumen::NetU32 sequenceNumber_;
  Lumen::NetU16 mepId_;
  Lumen::NetU8 mdNameFormat_;
  Lumen::NetU8 maIdField1_;
  Lumen::NetU16 maIdField2_;
  Lumen::NetU32 maIdField3_;
  NetU64 maIdField4_;
  NetU64 maIdField5_;
  NetU64 maIdField6_;
  NetU64 maIdField7_;
  NetU64 maIdField8_;
  NetU64 ituField0_;
  NetU64 ituField1_;
};

#pragma pack(pop)

static_assert(sizeof(CCMPdu) == 74 && alignof(CCMPdu) == 1);
// The receive path accepts no CCM too short for this overlay.
static_assert(sizeof(CCMPdu) == sizeof(CFMCommonHeader) + minFirstTlvOffset(Cfm::opCodeCcm));
// The name types hold exactly what a MAID can carry.
static_assert(CCMPdu::maxMdNameLen == Cfm::MdName::maxBytes);
static_assert(CCMPdu::maxMaNameLenFor(Cfm::mdNameFormatNone, 0) == Cfm::MaName::maxBytes);
// Every code of the 3-bit interval field but 0 has a period.
static_assert(Cfm::ccmTxIntervals.size() == Flags::ccmInterval);

}  // namespace Cfm
