#include "platform/lumen/Types.h"

#include "platform/kiln/Errors.h"

namespace Lumen {

NamespaceName::NamespaceName(std::string_view name) : name_(name) {
  if (name_.size() > maxBytes) {
    throw Kiln::RangeException("NamespaceName::bytes > 150 not allowed");
  }
}

std::ostream& operator<<(std::ostream& os, const NamespaceName& name) {
  return os << name.stringValue();
}

VlanId::VlanId(std::uint16_t value) : value_(value) {
  if (value < min || value > max) {
    throw Kiln::RangeException("VlanId::value < VlanId::min or > VlanId::max not allowed");
  }
}

VlanIdOrNone::VlanIdOrNone(std::uint16_t value) : value_(value) {
  if (value > max) throw Kiln::RangeException("VlanIdOrNone::value > 4094 not allowed");
}

std::ostream& operator<<(std::ostream& os, VlanId id) { return os << id.value(); }
std::ostream& operator<<(std::ostream& os, VlanIdOrNone id) { return os << id.value(); }

}  // namespace Lumen
