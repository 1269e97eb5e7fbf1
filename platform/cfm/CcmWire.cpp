#include "platform/cfm/CcmWire.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/kiln/Errors.h"

namespace Cfm {

// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  CCMPdu p(7, Cfm::opCodeCcm);
  p.remoteDefectIndicationIs(true);
  p.ccmIntervalFieldIs(4);
  p.sequenceNumberIs(0x01020304);
  p.mepIdIs(0x1abc);
  p.mdNameFormatIs(Cfm::MdNameFormat(0x0a));
  p.maIdField1Is(0x0b);
  p.maIdField2Is(0x0c0d);
  p.maIdField3Is(0x0e0f1011);
  p.maIdField4Is(0x1213141516171819);
  p.maIdField5Is(0x1a1b1c1d1e1f2021);
  p.maIdField6Is(0x2223242526272829);
  p.maIdField7Is(0x2a2b2c2d2e2f3031);
  p.maIdField8Is(0x3233343536373839);
  p.ituField0Is(0x3a3b3c3d3e3f4041);
  p.ituField1Is(0x4243444546474849);
  const auto b = wireBytes(p);
  // Bytes 10-73 were set to 0x0a, 0x0b, ... 0x49 in wire order.
  for (std::size_t i = 10; i < 74; ++i) {
    if (b[i] != i) return false;
  }
  return b[0] == 0xe0 && b[1] == 1 && b[2] == 0x84 && b[3] == 70 && b[4] == 1 && b[5] == 2 &&
         b[6] == 3 && b[7] == 4 && b[8] == 0x1a && b[9] == 0xbc;
}());

void CCMPdu::throwMepIdRange() {
  throw Kiln::RangeException("CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed");
}

std::string_view stringValue(MaidFault fault) {
  switch (fault) {
    case MaidFault::none: return "none";
    case MaidFault::mdNameLen: return "mdNameLen out of range";
    case MaidFault::maNameLen: return "maNameLen out of range";
  }
  return "unknown";
}

void throwMaidFault(MaidFault fault) { throw Kiln::RangeException(std::string(stringValue(fault))); }

MaidParts maidParts(std::span<const std::uint8_t, maIdBytes> maid) {
  MaidParts parts;
  const auto mdFormat = MdNameFormat(maid[0]);
  if (mdFormat == mdNameFormatNone) {
    parts.ma = 1;
  } else {
    parts.mdNameLen = maid[1];
    if (parts.mdNameLen < CCMPdu::minMdNameLen || parts.mdNameLen > CCMPdu::maxMdNameLen) {
      parts.fault = MaidFault::mdNameLen;
      return parts;
    }
    parts.ma = 2 + std::size_t(parts.mdNameLen);
  }
  // An MD name of at most 43 bytes leaves the MA format and length bytes inside the MAID.
  parts.maNameLen = maid[parts.ma + 1];
  if (parts.maNameLen < CCMPdu::minMaNameLen ||
      parts.maNameLen > CCMPdu::maxMaNameLenFor(mdFormat, parts.mdNameLen)) {
    parts.fault = MaidFault::maNameLen;
  }
  return parts;
}

MaidFault maidIs(Maid& maid, const MdNameWithFormat& md, const MaNameWithFormat& ma) {
  const std::string_view mdName = md.name.bytes();
  const std::string_view maName = ma.name.bytes();
  const bool hasMdName = md.format != mdNameFormatNone;
  if (hasMdName ? (mdName.size() < CCMPdu::minMdNameLen || mdName.size() > CCMPdu::maxMdNameLen)
                : !mdName.empty()) {
    return MaidFault::mdNameLen;
  }
  if (maName.size() < CCMPdu::minMaNameLen ||
      maName.size() > CCMPdu::maxMaNameLenFor(md.format, mdName.size())) {
    return MaidFault::maNameLen;
  }
  maid = Maid{};
  auto out = maid.begin();
  *out++ = md.format;
  if (hasMdName) {
    *out++ = std::uint8_t(mdName.size());
    out = std::copy(mdName.begin(), mdName.end(), out);
  }
  *out++ = ma.format;
  *out++ = std::uint8_t(maName.size());
  std::copy(maName.begin(), maName.end(), out);
  return MaidFault::none;
}

MaidParts CCMPdu::mdChecked() const {
  const MaidParts parts = maidParts();
  if (parts.fault == MaidFault::mdNameLen) throwMaidFault(parts.fault);
  return parts;
}

MaidParts CCMPdu::checked() const {
  const MaidParts parts = maidParts();
  if (parts.fault != MaidFault::none) throwMaidFault(parts.fault);
  return parts;
}

std::string_view CCMPdu::maIdBytesAt(std::size_t offset, std::size_t bytes) const {
  // Positions come from checked lengths; one outside the MAID is our arithmetic's fault.
  KILN_ASSERT(offset + bytes <= maIdBytes);
  return {reinterpret_cast<const char*>(maid().data()) + offset, bytes};
}

std::uint8_t CCMPdu::mdNameLen() const {
  return mdNameFormat() == mdNameFormatNone ? 0 : maid()[1];
}

std::uint8_t CCMPdu::validatedMdNameLen() const { return mdChecked().mdNameLen; }

MdName CCMPdu::mdName() const { return MdName(maIdBytesAt(2, validatedMdNameLen())); }

std::size_t CCMPdu::ma() const { return maIdOffset + mdChecked().ma; }

MaNameFormat CCMPdu::maNameFormat() const { return MaNameFormat(maid()[mdChecked().ma]); }

std::uint8_t CCMPdu::maNameLen() const { return mdChecked().maNameLen; }

std::uint8_t CCMPdu::maxMaNameLen() const {
  return std::uint8_t(maxMaNameLenFor(mdNameFormat(), validatedMdNameLen()));
}

std::uint8_t CCMPdu::validatedMaNameLen() const { return checked().maNameLen; }

MaName CCMPdu::maName() const {
  const MaidParts parts = checked();
  return MaName(maIdBytesAt(parts.ma + 2, parts.maNameLen));
}

void CCMPdu::maIdIs(const MdNameWithFormat& md, const MaNameWithFormat& ma) {
  Maid bytes;
  if (const MaidFault fault = maidIs(bytes, md, ma); fault != MaidFault::none) throwMaidFault(fault);
  std::memcpy(reinterpret_cast<std::uint8_t*>(this) + maIdOffset, bytes.data(), bytes.size());
}

}  // namespace Cfm
