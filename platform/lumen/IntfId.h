#pragma once
// Interface identifiers.
//
// An IntfId is an interned interface name ("Ethernet1", "Port-Channel10"): one pointer,
// so copies, equality and hashing cost nothing. The empty IntfId means "no interface".
// Names are normalised on the way in, so the short forms operators type ("Et1", "po10")
// name the same interface as the long ones.

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace Lumen {

class IntfId {
 public:
  IntfId() = default;
  // Normalises and interns `name`; "" gives the empty IntfId. A name that is no interface
  // name raises Kiln::RangeException ("Invalid interface name 'xyz'").
  explicit IntfId(std::string_view name);

  bool empty() const { return name_ == nullptr; }
  explicit operator bool() const { return !empty(); }
  const std::string& stringValue() const;

  bool operator==(const IntfId& other) const { return name_ == other.name_; }
  // By name, so that collections keyed by interface list them alphabetically.
  // Equal names are one pointer: a keyed look-up compares bytes only on its way down.
  bool operator<(const IntfId& other) const {
    return name_ != other.name_ && stringValue() < other.stringValue();
  }

  std::size_t hash() const { return std::hash<const void*>()(name_); }

 private:
  const std::string* name_ = nullptr;
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
