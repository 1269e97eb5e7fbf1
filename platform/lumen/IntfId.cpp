#include "platform/lumen/IntfId.h"

#include <cctype>
#include <unordered_set>

#include "platform/kiln/Errors.h"

namespace Lumen {

namespace {

// Interface kinds: the full name, and how many of its letters an abbreviation needs.
struct Kind {
  std::string_view name;
  std::size_t minPrefix;
};
constexpr Kind kinds[] = {
    {"Ethernet", 2}, {"Port-Channel", 2}, {"Vlan", 2}, {"Management", 2}, {"Loopback", 2},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "1", "1/2", "3/1/4", "1.100": numbers separated by '/', with one optional ".<number>".
bool isPortNumber(std::string_view text) {
  bool sawDot = false;
  bool needDigit = true;
  for (char c : text) {
    if (isDigit(c)) {
      needDigit = false;
    } else if ((c == '/' && !sawDot) || (c == '.' && !sawDot)) {
      if (needDigit) return false;
      sawDot = c == '.';
      needDigit = true;
    } else {
      return false;
    }
  }
  return !needDigit;
}

std::string normalise(std::string_view name) {
  std::size_t letters = 0;
  while (letters < name.size() && !isDigit(name[letters])) ++letters;
  const std::string_view prefix = name.substr(0, letters);
  const std::string_view number = name.substr(letters);
  for (const Kind& kind : kinds) {
    if (prefix.size() < kind.minPrefix || prefix.size() > kind.name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < prefix.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(prefix[i])) ==
             std::tolower(static_cast<unsigned char>(kind.name[i]));
    }
    if (same && isPortNumber(number)) return std::string(kind.name) + std::string(number);
  }
  throw Kiln::RangeException("Invalid interface name '" + std::string(name) + "'");
}

const std::string* intern(std::string name) {
  static std::unordered_set<std::string> names;
  return &*names.insert(std::move(name)).first;
}

const std::string emptyName;

}  // namespace

IntfId::IntfId(std::string_view name) {
  if (!name.empty()) name_ = intern(normalise(name));
}

const std::string& IntfId::stringValue() const { return name_ ? *name_ : emptyName; }

std::ostream& operator<<(std::ostream& os, const IntfId& id) { return os << id.stringValue(); }

bool EthIntfId::isEthIntfId(const IntfId& id) {
  return id.stringValue().starts_with("Ethernet");
}

bool PortChannelIntfId::isPortChannelIntfId(const IntfId& id) {
  return id.stringValue().starts_with("Port-Channel");
}

}  // namespace Lumen
