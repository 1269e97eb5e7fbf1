#include "platform/lumen/IntfId.h"

#include <cctype>
#include <limits>
#include <set>

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

struct ByText {
  using is_transparent = void;
  bool operator()(const InternedIntfName& a, const InternedIntfName& b) const { return a.text < b.text; }
  bool operator()(const InternedIntfName& a, const std::string& b) const { return a.text < b; }
  bool operator()(const std::string& a, const InternedIntfName& b) const { return a < b.text; }
};

// Names live here for the life of the process (an IntfId is a pointer into this set). Ranks
// run from 1 (0 is the empty IntfId); a new name takes the middle of the gap between its
// neighbours, and when there is none every rank is spaced out again, in the same order, so
// that no collection keyed by interface needs re-sorting.
const InternedIntfName* intern(std::string text) {
  static std::set<InternedIntfName, ByText> names;
  auto it = names.lower_bound(text);
  if (it != names.end() && it->text == text) return &*it;
  const std::uint64_t below = it == names.begin() ? 0 : std::prev(it)->rank;
  const std::uint64_t above = it == names.end() ? std::numeric_limits<std::uint64_t>::max() : it->rank;
  const auto index = static_cast<std::uint32_t>(names.size() + 1);
  it = names.insert(it, InternedIntfName{std::move(text), below + (above - below) / 2, index});
  if (above - below < 2) {
    const std::uint64_t step = std::numeric_limits<std::uint64_t>::max() / (names.size() + 1);
    std::uint64_t rank = 0;
    for (const InternedIntfName& name : names) name.rank = rank += step;
  }
  return &*it;
}

}  // namespace

const std::string IntfId::emptyName_;

IntfId::IntfId(std::string_view name) {
  if (!name.empty()) name_ = intern(normalise(name));
}

std::ostream& operator<<(std::ostream& os, const IntfId& id) { return os << id.stringValue(); }

bool EthIntfId::isEthIntfId(const IntfId& id) {
  return id.stringValue().starts_with("Ethernet");
}

bool PortChannelIntfId::isPortChannelIntfId(const IntfId& id) {
  return id.stringValue().starts_with("Port-Channel");
}

}  // namespace Lumen
