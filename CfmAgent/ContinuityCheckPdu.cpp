#include "CfmAgent/ContinuityCheckPdu.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/kiln/Errors.h"

namespace CfmAgent {

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

std::uint8_t CCMPdu::maIdByte(std::size_t offset) const {
  // Positions come from validated lengths; one outside the MAID is our arithmetic's fault.
  KILN_ASSERT(offset >= maIdOffset && offset < maIdOffset + maIdBytes);
  return reinterpret_cast<const std::uint8_t*>(this)[offset];
}

std::string_view CCMPdu::maIdBytesAt(std::size_t offset, std::size_t bytes) const {
  KILN_ASSERT(offset >= maIdOffset && offset + bytes <= maIdOffset + maIdBytes);
  return {reinterpret_cast<const char*>(this) + offset, bytes};
}

std::uint8_t CCMPdu::mdNameLen() const {
  return mdNameFormat() == Cfm::mdNameFormatNone ? 0 : maIdByte(11);
}

std::uint8_t CCMPdu::validatedMdNameLen() const {
  const std::uint8_t len = mdNameLen();
  if (mdNameFormat() != Cfm::mdNameFormatNone && (len < minMdNameLen || len > maxMdNameLen)) {
    throw Kiln::RangeException("mdNameLen out of range");
  }
  return len;
}

Cfm::MdName CCMPdu::mdName() const { return Cfm::MdName(maIdBytesAt(12, validatedMdNameLen())); }

std::size_t CCMPdu::ma() const {
  return mdNameFormat() == Cfm::mdNameFormatNone ? 11 : 12 + std::size_t(validatedMdNameLen());
}

Cfm::MaNameFormat CCMPdu::maNameFormat() const { return Cfm::MaNameFormat(maIdByte(ma())); }

std::uint8_t CCMPdu::maNameLen() const { return maIdByte(ma() + 1); }

std::uint8_t CCMPdu::maxMaNameLen() const {
  return std::uint8_t(maxMaNameLenFor(mdNameFormat(), validatedMdNameLen()));
}

std::uint8_t CCMPdu::validatedMaNameLen() const { return validatedMaNameLenAt(ma()); }

// The MD name is validated once, by ma(), for every CCM received: the rest follows from it.
std::uint8_t CCMPdu::validatedMaNameLenAt(std::size_t maAt) const {
  const std::uint8_t len = maIdByte(maAt + 1);
  const std::size_t mdNameLen = maAt - (mdNameFormat() == Cfm::mdNameFormatNone ? 11 : 12);
  if (len < minMaNameLen || len > maxMaNameLenFor(mdNameFormat(), mdNameLen)) {
    throw Kiln::RangeException("maNameLen out of range");
  }
  return len;
}

Cfm::MaName CCMPdu::maName() const {
  const std::size_t maAt = ma();
  return Cfm::MaName(maIdBytesAt(maAt + 2, validatedMaNameLenAt(maAt)));
}

void CCMPdu::maIdIs(const Cfm::MdNameWithFormat& md, const Cfm::MaNameWithFormat& ma) {
  const std::string& mdName = md.name.stringValue();
  const std::string& maName = ma.name.stringValue();
  const bool hasMdName = md.format != Cfm::mdNameFormatNone;
  if (hasMdName ? (mdName.size() < minMdNameLen || mdName.size() > maxMdNameLen)
                : !mdName.empty()) {
    throw Kiln::RangeException("mdNameLen out of range");
  }
  if (maName.size() < minMaNameLen || maName.size() > maxMaNameLenFor(md.format, mdName.size())) {
    throw Kiln::RangeException("maNameLen out of range");
  }

  std::array<std::uint8_t, maIdBytes> maid{};
  auto* out = maid.begin();
  *out++ = md.format;
  if (hasMdName) {
    *out++ = std::uint8_t(mdName.size());
    out = std::copy(mdName.begin(), mdName.end(), out);
  }
  *out++ = ma.format;
  *out++ = std::uint8_t(maName.size());
  std::copy(maName.begin(), maName.end(), out);
  std::memcpy(reinterpret_cast<std::uint8_t*>(this) + maIdOffset, maid.data(), maid.size());
}

}  // namespace CfmAgent
