#include "platform/types/CfmStatus.h"

#include <string>

#include "platform/kiln/TypeRegistry.h"

namespace CfmAgent {

namespace {

const Kiln::TypeRegistration statusType(
    "CfmAgent::Status", [](const std::string& name) { return Kiln::make<Status>(name); });

}  // namespace

MdStatus::MdStatus(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

namespace {

// The children take no arguments, so an existing one always stays.
template <class T>
Kiln::Ptr<T> singleChildIs(Kiln::Ptr<T>& slot, const char* name, Kiln::Entity* parent) {
  return Kiln::instantiate(
      slot, [](const T&) { return true; },
      [&] {
        auto* child = new T(name);
        child->parentIs(parent);
        return child;
      });
}

}  // namespace

Kiln::Ptr<Counter> Status::counterIs() { return singleChildIs(counter_, "counter", this); }

Kiln::Ptr<MipCcmDb> Status::mipCcmDbIs() { return singleChildIs(mipCcmDb_, "mipCcmDb", this); }

Kiln::Ptr<CcmDb> Status::ccmDbIs() { return singleChildIs(ccmDb_, "ccmDb", this); }

}  // namespace CfmAgent
