#include "platform/lumen/Eth.h"

#include <cstdio>
#include <cstring>

namespace Lumen {

EthAddr EthAddr::fromBytes(const std::uint8_t* bytes) {
  EthAddr addr;
  std::memcpy(&addr, bytes, sizeof addr);
  return addr;
}

std::optional<EthAddr> EthAddr::fromString(std::string_view text) {
  // Exactly six two-digit hex groups, one separator kind throughout.
  if (text.size() != 17) return std::nullopt;
  const char separator = text[2];
  if (separator != ':' && separator != '-') return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::uint8_t b[6];
  for (int i = 0; i < 6; ++i) {
    const int hi = hex(text[i * 3]), lo = hex(text[i * 3 + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != separator)) return std::nullopt;
    b[i] = std::uint8_t(hi << 4 | lo);
  }
  return fromBytes(b);
}

std::string EthAddr::stringValue() const {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b_[0], b_[1], b_[2], b_[3],
                b_[4], b_[5]);
  return text;
}

std::ostream& operator<<(std::ostream& os, const EthAddr& addr) {
  return os << addr.stringValue();
}

}  // namespace Lumen
