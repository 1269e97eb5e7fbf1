#include "platform/cfm/Wire.h"

#include <utility>

#include "platform/kiln/Errors.h"

namespace Cfm {

// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  CFMCommonHeader h(5, Cfm::opCodeLbm);
  h.flagIs(0xaa);
  h.firstTlvOffsetIs(0xbb);
  h.versionIs(0x1f);
  return wireBytes(h) == std::array<std::uint8_t, 4>{0xbf, 0x03, 0xaa, 0xbb};
}());
static_assert([] {
  TypeLength t;
  t.typeIs(0x1f);
  t.lengthIs(0x0102);
  return wireBytes(t) == std::array<std::uint8_t, 3>{0x1f, 0x01, 0x02};
}());

void throwOpCodeRange() {
  throw Kiln::RangeException(
      "CFMCommonHeader::opCode < CFMCommonHeader::opCodeMin or > CFMCommonHeader::opCodeMax "
      "not allowed");
}

void TextReader::failText() const {
  throw Kiln::RangeException("Invalid " + std::string(type_) + " text '" + std::string(text_) +
                             "'");
}

void TextReader::failAttribute(std::string_view attribute, std::string_view part) const {
  throw Kiln::RangeException("Invalid " + std::string(type_) + "::" + std::string(attribute) +
                             " '" + std::string(part) + "'");
}

void TextReader::expect(std::string_view literal) {
  if (text_.substr(pos_, literal.size()) != literal) failText();
  pos_ += literal.size();
}

std::uint64_t TextReader::readUnsigned(std::string_view attribute, std::uint64_t max) {
  const std::size_t start = pos_;
  std::uint64_t value = 0;
  bool tooLarge = false;
  while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
    value = value * 10 + std::uint64_t(text_[pos_] - '0');
    tooLarge = tooLarge || value > max;
    ++pos_;
  }
  if (pos_ == start || tooLarge) {
    // Name the whole token, digits and what sticks to them, so that "3x" reads as such.
    std::size_t end = pos_;
    while (end < text_.size() && text_[end] != ',' && text_[end] != '}') {
      ++end;
    }
    failAttribute(attribute, text_.substr(start, end - start));
  }
  return value;
}

Lumen::EthAddr TextReader::readEthAddr(std::string_view attribute) {
  constexpr std::size_t textBytes = 17;  // "aa:bb:cc:dd:ee:ff"
  const std::string_view part = text_.substr(pos_, textBytes);
  const auto addr = Lumen::EthAddr::fromString(part);
  if (!addr) failAttribute(attribute, part);
  pos_ += textBytes;
  return *addr;
}

void TextReader::expectEnd() {
  if (pos_ != text_.size()) failText();
}

std::uint8_t parseU8(std::string_view type, std::string_view text) {
  TextReader reader(type, text);
  const auto value = reader.readUnsigned("value", 0xff);
  reader.expectEnd();
  return std::uint8_t(value);
}

std::string MdLevelVersion::stringValue() const { return std::to_string(value()); }

MdLevelVersion MdLevelVersion::parse(std::string_view text) {
  MdLevelVersion field(parseU8("MdLevelVersion", text));
  field.versionIs(implementationVersion);
  return field;
}

std::ostream& operator<<(std::ostream& os, MdLevelVersion field) {
  return os << field.stringValue();
}

std::string FirstTlvOffset::stringValue() const { return std::to_string(value_); }

FirstTlvOffset FirstTlvOffset::parse(std::string_view text) {
  return FirstTlvOffset(parseU8("FirstTlvOffset", text));
}

std::ostream& operator<<(std::ostream& os, FirstTlvOffset offset) {
  return os << offset.stringValue();
}

namespace {

constexpr std::pair<TlvType, const char*> tlvTypeNames[] = {
    {tlvTypeEnd, "tlvTypeEnd"},
    {tlvTypeSenderId, "tlvTypeSenderId"},
    {tlvTypePortStatus, "tlvTypePortStatus"},
    {tlvTypeData, "tlvTypeData"},
    {tlvTypeInterfaceStatus, "tlvTypeInterfaceStatus"},
    {tlvTypeLtrReplyIngress, "tlvTypeLtrReplyIngress"},
    {tlvTypeLtrReplyEgress, "tlvTypeLtrReplyEgress"},
    {tlvTypeLtmEgressId, "tlvTypeLtmEgressId"},
    {tlvTypeLtrEgressId, "tlvTypeLtrEgressId"},
    {tlvTypeOrganizationSpecific, "tlvTypeOrganizationSpecific"},
};

}  // namespace

std::string stringValue(TlvType type) {
  for (const auto& [t, name] : tlvTypeNames) {
    if (t == type) return name;
  }
  return std::to_string(unsigned(type));
}

std::ostream& operator<<(std::ostream& os, TlvType type) { return os << stringValue(type); }

TlvType TlvTypeInstance(std::uint8_t value) { return TlvType(value); }

TlvType TlvTypeInstance(std::string_view name) {
  for (const auto& [t, n] : tlvTypeNames) {
    if (name == n) return t;
  }
  // An unnamed code comes back as the number stringValue wrote for it.
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos) {
    return TlvType(parseU8("TlvType", name));
  }
  throw Kiln::RangeException("Invalid TlvType text '" + std::string(name) + "'");
}

}  // namespace Cfm
