#include "platform/types/CfmAleTypes.h"

#include <string>

#include "platform/kiln/TypeRegistry.h"

namespace Cfm {

namespace {

const Kiln::TypeRegistration aleConfigType(
    "Cfm::AleConfig", [](const std::string& name) { return Kiln::make<AleConfig>(name); });
const Kiln::TypeRegistration aleStatusType(
    "Cfm::AleStatus", [](const std::string& name) { return Kiln::make<AleStatus>(name); });

}  // namespace

LocalMepAleConfig::LocalMepAleConfig(MepId mepId)
    : Kiln::Entity(std::to_string(mepId.value())), mepId_(mepId) {}

bool LocalMepAleConfig::remoteMepConfig(MepId mepId) const {
  auto it = remoteMepConfig_.find(mepId);
  return it != remoteMepConfig_.end() && it->second;
}

MaAleConfig::MaAleConfig(MaName key)
    : Kiln::Entity(key.stringValue()), maNameKey_(std::move(key)) {}

MdAleConfig::MdAleConfig(MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

MdAleStatus::MdAleStatus(MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

Kiln::Ptr<MdAleStatus> AleStatus::mdStatusIs(MdLevel level) {
  return mdStatus_.childIs(level, this,
                           [&] { notifieeList_.notify(&NotifieeConst::onMdStatus, level); });
}

void AleStatus::mdStatusDel(MdLevel level) {
  if (mdStatus_.del(level)) notifieeList_.notify(&NotifieeConst::onMdStatus, level);
}

}  // namespace Cfm
