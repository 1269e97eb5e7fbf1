#pragma once
// Small ranged value types of the packet library.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace Lumen {

// A network namespace name: at most 150 bytes.
class NamespaceName {
 public:
  static constexpr std::size_t maxBytes = 150;
  NamespaceName() = default;
  // Longer names raise Kiln::RangeException "NamespaceName::bytes > 150 not allowed".
  explicit NamespaceName(std::string_view name);
  const std::string& stringValue() const { return name_; }
  bool operator==(const NamespaceName&) const = default;

 private:
  std::string name_;
};
std::ostream& operator<<(std::ostream& os, const NamespaceName& name);

// The name of the default network namespace.
inline constexpr std::string_view DEFAULT_NS = "default";

// A VLAN id, 1-4094.
class VlanId {
 public:
  static constexpr std::uint16_t min = 1;
  static constexpr std::uint16_t max = 4094;
  constexpr VlanId() = default;
  // Outside 1-4094: "VlanId::value < VlanId::min or > VlanId::max not allowed".
  explicit VlanId(std::uint16_t value);
  constexpr std::uint16_t value() const { return value_; }
  constexpr auto operator<=>(const VlanId&) const = default;

 private:
  std::uint16_t value_ = 1;
};

// A VLAN id or none (0), 0-4094.
class VlanIdOrNone {
 public:
  static constexpr std::uint16_t max = 4094;
  constexpr VlanIdOrNone() = default;
  // Above 4094: "VlanIdOrNone::value > 4094 not allowed".
  explicit VlanIdOrNone(std::uint16_t value);
  constexpr VlanIdOrNone(VlanId id) : value_(id.value()) {}
  constexpr std::uint16_t value() const { return value_; }
  constexpr bool isNone() const { return value_ == 0; }
  constexpr auto operator<=>(const VlanIdOrNone&) const = default;

 private:
  std::uint16_t value_ = 0;
};

std::ostream& operator<<(std::ostream& os, VlanId id);
std::ostream& operator<<(std::ostream& os, VlanIdOrNone id);

}  // namespace Lumen

template <>
struct std::hash<Lumen::VlanId> {
  std::size_t operator()(Lumen::VlanId id) const noexcept { return id.value(); }
};
