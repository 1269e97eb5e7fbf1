#include "apps/runner/Names.h"

#include <sstream>

namespace Runner {

namespace {

template <class E, std::size_t N>
std::string enumName(E value, const Named<E> (&names)[N]) {
  const char* name = nameOf(value, names);
  return name ? name : std::to_string(unsigned(value));
}

}  // namespace

std::string mdNameFormatName(Cfm::MdNameFormat format) {
  return enumName(format, mdNameFormatNames);
}
std::string maNameFormatName(Cfm::MaNameFormat format) {
  return enumName(format, maNameFormatNames);
}
std::string directionName(Cfm::MepDirection direction) {
  return enumName(direction, directionNames);
}
std::string switchIntfModeName(Bridging::SwitchIntfMode mode) {
  return enumName(mode, switchIntfModeNames);
}

std::string ccmIntervalName(Cfm::CcmTxInterval interval) {
  if (const char* name = nameOf(interval, ccmIntervalNames)) return name;
  std::ostringstream text;
  text << interval.value() << "s";
  return text.str();
}

std::string nameText(std::string_view bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\\') {
      text += "\\\\";
    } else if (b >= 0x20 && b < 0x7f) {
      text += c;
    } else {
      text += "\\x";
      text += hex[b >> 4];
      text += hex[b & 0xf];
    }
  }
  return text;
}

}  // namespace Runner
