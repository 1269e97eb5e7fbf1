#pragma once
// Interface identifiers.
//
// An IntfId is an interned interface name ("Ethernet1", "Port-Channel10"): one pointer,
// so copies, equality and hashing cost nothing. The empty IntfId means "no interface".
// Each interned name also holds its rank in alphabetical order among all names interned so
// far, so ordering two IntfIds is one integer compare: collections keyed by interface stay
// alphabetical, and a look-up among 512 ports costs no string compares.
// Names are normalised on the way in, so the short forms operators type ("Et1", "po10")
// name the same interface as the long ones.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace Lumen {

// An interned name. `rank` orders names as their texts do; ranks are renumbered (order
// kept) when a new name finds no room between its neighbours. `index` counts names in the
// order they were first seen, from 1: tables by interface can be vectors.
struct InternedIntfName {
  std::string text;
  mutable std::uint64_t rank;
  std::uint32_t index;
};

class IntfId {
 public:
  IntfId() = default;
  // Normalises and interns `name`; "" gives the empty IntfId. A name that is no interface
  // name raises Kiln::RangeException ("Invalid interface name 'xyz'").
  explicit IntfId(std::string_view name);

  bool empty() const { return name_ == nullptr; }
  explicit operator bool() const { return !empty(); }
  const std::string& stringValue() const { return name_ ? name_->text : emptyName_; }

  bool operator==(const IntfId& other) const { return name_ == other.name_; }
  // By name, so that collections keyed by interface list them alphabetically; the empty
  // IntfId first.
  bool operator<(const IntfId& other) const { return rank() < other.rank(); }

  std::size_t hash() const { return std::hash<const void*>()(name_); }
  // Small and dense: 0 for the empty IntfId, then one number per name ever used.
  std::uint32_t denseIndex() const { return name_ ? name_->index : 0; }

 private:
  std::uint64_t rank() const { return name_ ? name_->rank : 0; }

  static const std::string emptyName_;
  const InternedIntfName* name_ = nullptr;
};

std::ostream& operator<<(std::ostream& os, const IntfId& id);

struct EthIntfId {
  static bool isEthIntfId(const IntfId& id);
};
struct PortChannelIntfId {
  static bool isPortChannelIntfId(const IntfId& id);
};

}  // namespace Lumen

template <>
struct std::hash<Lumen::IntfId> {
  std::size_t operator()(const Lumen::IntfId& id) const noexcept { return id.hash(); }
};
