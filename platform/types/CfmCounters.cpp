#include "platform/types/CfmCounters.h"

#include <array>
#include <string>

namespace CfmAgent {

namespace {

// Indexed by value; null where a value has no name.
constexpr auto counterIdNames = [] {
  std::array<const char*, counterIdSlots> names{};
#define CFM_AGENT_COUNTER_ID_NAME(name, number) names[number] = #name;
  CFM_AGENT_COUNTER_IDS(CFM_AGENT_COUNTER_ID_NAME)
#undef CFM_AGENT_COUNTER_ID_NAME
  return names;
}();

constexpr std::array<const char*, 6> counterClassNames = {
    "counterClassInvalid", "counterClassIn",       "counterClassInError",
    "counterClassOut",     "counterClassOutError", "counterClassDebug",
};

template <class E, std::size_t N>
std::string enumText(E value, const std::array<const char*, N>& names) {
  const auto index = static_cast<std::uint32_t>(value);
  if (index < N && names[index]) return names[index];
  return std::to_string(index);
}

}  // namespace

std::string stringValue(CounterId id) { return enumText(id, counterIdNames); }

std::ostream& operator<<(std::ostream& os, CounterId id) { return os << stringValue(id); }

std::optional<CounterId> counterIdFromString(std::string_view name) {
  for (std::uint32_t i = 0; i < counterIdNames.size(); ++i) {
    if (counterIdNames[i] && name == counterIdNames[i]) return CounterId(i);
  }
  return std::nullopt;
}

std::string stringValue(CounterClass counterClass) {
  return enumText(counterClass, counterClassNames);
}

std::ostream& operator<<(std::ostream& os, CounterClass counterClass) {
  return os << stringValue(counterClass);
}

OpCodeCounter::OpCodeCounter(Cfm::OpCode opCode)
    : Kiln::Entity(std::to_string(unsigned(opCode))), opCode_(opCode) {}

std::size_t OpCodeCounter::checkedSlot(CounterId id) {
  const auto slot = std::size_t(id);
  KILN_ASSERT_TEXT(slot < slots, "counterId");
  return slot;
}

namespace {

// The tree's root above a bucket: set as parent when the tree made the bucket; none for a
// bucket made on its own.
Counter* counterRoot(Kiln::Entity* intfCounter) {
  return intfCounter ? static_cast<Counter*>(intfCounter->parent()) : nullptr;
}

void structureChanged(Counter* root) {
  if (root) root->structureVersionInc();
}

}  // namespace

void MdCounter::opCodeCounterDel(Cfm::OpCode op) {
  if (opCodeCounter_.del(op)) structureChanged(counterRoot(parent()));
}

void MdCounter::opCodeCounterDelAll() {
  if (opCodeCounter_.empty()) return;
  opCodeCounter_.delAll();
  structureChanged(counterRoot(parent()));
}

void IntfCounter::mdCounterDel(Cfm::MdLevel level) {
  if (mdCounter_.del(level)) structureChanged(static_cast<Counter*>(parent()));
}

void IntfCounter::mdCounterDelAll() {
  if (mdCounter_.empty()) return;
  mdCounter_.delAll();
  structureChanged(static_cast<Counter*>(parent()));
}

void Counter::intfCounterDel(IntfId intf) {
  if (intfCounter_.del(intf)) structureChanged(this);
}

void Counter::intfCounterDelAll() {
  if (intfCounter_.empty()) return;
  intfCounter_.delAll();
  structureChanged(this);
}

MdCounter::MdCounter(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

IntfCounter::IntfCounter(IntfId intfId) : Kiln::Entity(intfId.stringValue()), intfId_(intfId) {}

}  // namespace CfmAgent
