#pragma once
// State-machine conventions and instantiating setters.
//
// A state machine is built with its inputs and catches up with them inside its own
// constructor:
//
//   ConfigSm::ConfigSm(...) : ... { handleInitialized(); }
//   void ConfigSm::handleInitialized() {
//     KILN_ASSERT(!initialized());
//     ...handlers for the present state...
//     initializedIs(true);
//   }
//
// Its owner runs prepareToDie() (once) before dropping it; Collection and the
// instantiate()/drop() helpers below do that for every child they let go.

#include <sstream>
#include <string>
#include <utility>

#include "platform/kiln/Entity.h"
#include "platform/kiln/Errors.h"

namespace Kiln {

class StateMachine : public Entity {
 public:
  using Entity::Entity;

  bool initialized() const { return initialized_; }

  // Runs doPrepareToDie the first time only.
  void prepareToDie() {
    if (preparedToDie_) return;
    preparedToDie_ = true;
    doPrepareToDie();
  }

 protected:
  void initializedIs(bool initialized) { initialized_ = initialized; }
  // Withdraws what the machine must not leave behind once it is gone.
  virtual void doPrepareToDie() {}

 private:
  bool initialized_ = false;
  bool preparedToDie_ = false;
};

template <class T>
void prepareToDie(T& child) {
  if constexpr (requires { child.prepareToDie(); }) child.prepareToDie();
}

template <class T>
void activate(T& child) {
  if constexpr (requires { child.hasNotificationActiveIs(true); }) {
    child.hasNotificationActiveIs(true);
  }
}

// The text of a value in error messages: its stream form (entity references print as
// Kiln::entityText gives).
template <class T>
std::string textOf(const T& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

enum class ChildKind { single, keyed };

// Compares an existing child's constructor arguments with the requested ones, in the
// order of the calls, stopping at the first difference. A single child with other
// arguments is replaced; a keyed child with other arguments is refused:
//
//   ArgMatch(ChildKind::keyed)("_maConfig", maConfig, sm.maConfig())("_config", ...)
class ArgMatch {
 public:
  explicit ArgMatch(ChildKind kind) : kind_(kind) {}

  template <class New, class Current>
  ArgMatch& operator()(const char* attribute, const New& newValue, const Current& currentValue) {
    if (!equal_ || newValue == currentValue) return *this;
    if (kind_ == ChildKind::keyed) {
      throw NameInUseException(
          std::string("Reinstantiating the pointer interface where constructor parameter "
                      "attribute ") +
          attribute + " has a different value of " + textOf(newValue) +
          " than the current value of " + textOf(currentValue) + " not allowed");
    }
    equal_ = false;
    return *this;
  }

  explicit operator bool() const { return equal_; }

 private:
  ChildKind kind_;
  bool equal_ = true;
};

// Instantiating setter of a single child held in `slot`: keeps it when `sameArgs` accepts
// it, else builds the new child first, switches its notifications on, stores it and then
// prepares the old one to die.
template <class T, class SameArgs, class Make>
Ptr<T> instantiate(Ptr<T>& slot, SameArgs&& sameArgs, Make&& make) {
  if (slot && sameArgs(*slot)) return slot;
  Ptr<T> child = validPtr(Ptr<T>(make()));
  activate(*child);
  Ptr<T> old = std::exchange(slot, child);
  if (old) prepareToDie(*old);
  return child;
}

// Deletes a single child: the slot is empty before the child prepares to die.
template <class T>
void drop(Ptr<T>& slot) {
  Ptr<T> old = std::exchange(slot, nullptr);
  if (old) prepareToDie(*old);
}

}  // namespace Kiln
