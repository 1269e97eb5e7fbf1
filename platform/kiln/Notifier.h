#pragma once
// Change notification.
//
// An observable entity type declares a nested `NotifieeConst` deriving from
// Notifiee<Entity>, with one virtual no-op per attribute (`onMdName()`, and
// `onMdConfig(level)` with the key for a collection), and a mutable NotifieeList that its
// setters call only when a value really changed:
//
//   class MdConfig : public Kiln::Entity {
//    public:
//     class NotifieeConst : public Kiln::Notifiee<MdConfig> {
//      public:
//       virtual void onDefaultMip() {}
//     };
//     void defaultMipIs(bool v) {
//       if (v == defaultMip_) return;
//       defaultMip_ = v;
//       notifieeList().notify(&NotifieeConst::onDefaultMip);
//     }
//     Kiln::NotifieeList<MdConfig>& notifieeList() const { return notifieeList_; }
//    private:
//     mutable Kiln::NotifieeList<MdConfig> notifieeList_;
//   };
//
// Notification is synchronous: the setter returns after every active notifiee has run.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/kiln/Entity.h"

namespace Kiln {

template <class Notifier>
class Notifiee;

template <class Notifier>
class NotifieeList {
 public:
  NotifieeList() = default;
  NotifieeList(const NotifieeList&) = delete;
  NotifieeList& operator=(const NotifieeList&) = delete;

  // Runs `(notifiee.*handler)(args...)` on every active notifiee, in binding order.
  // A notifiee bound during the round is left out of it: it was built from the state
  // that already holds the change. One unbound during the round is skipped.
  template <class Handler, class... Args>
  void notify(Handler handler, const Args&... args) {
    ++depth_;
    struct Guard {
      NotifieeList* list;
      ~Guard() {
        if (--list->depth_ == 0 && list->holes_) list->compact();
      }
    } guard{this};
    const std::size_t count = entries_.size();
    for (std::size_t i = 0; i < count; ++i) {
      Notifiee<Notifier>* entry = entries_[i];
      if (entry && entry->hasNotificationActive()) {
        auto& notifiee = static_cast<typename Notifier::NotifieeConst&>(*entry);
        (notifiee.*handler)(args...);
      }
    }
  }

  std::size_t size() const {
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                  [](auto* e) { return e != nullptr; }));
  }

 private:
  friend class Notifiee<Notifier>;

  void add(Notifiee<Notifier>* notifiee) { entries_.push_back(notifiee); }
  void remove(Notifiee<Notifier>* notifiee) {
    auto it = std::find(entries_.begin(), entries_.end(), notifiee);
    if (it == entries_.end()) return;
    if (depth_ > 0) {
      // Erasing would shift the entries under a running round.
      *it = nullptr;
      holes_ = true;
    } else {
      entries_.erase(it);
    }
  }
  void compact() {
    std::erase(entries_, nullptr);
    holes_ = false;
  }

  std::vector<Notifiee<Notifier>*> entries_;
  unsigned depth_ = 0;
  bool holes_ = false;
};

// Base of every `NotifieeConst`: bound to at most one notifier, which it keeps alive.
// Active from construction; hasNotificationActiveIs(false) mutes it without unbinding.
template <class Notifier>
class Notifiee {
 public:
  Notifiee() = default;
  explicit Notifiee(PtrConst<Notifier> notifier) { notifierIs(std::move(notifier)); }
  virtual ~Notifiee() { detach(); }
  Notifiee(const Notifiee&) = delete;
  Notifiee& operator=(const Notifiee&) = delete;

  const PtrConst<Notifier>& notifier() const { return notifier_; }
  void notifierIs(PtrConst<Notifier> notifier) {
    if (notifier == notifier_) return;
    detach();
    notifier_ = std::move(notifier);
    if (notifier_) notifier_->notifieeList().add(this);
  }

  bool hasNotificationActive() const { return active_; }
  void hasNotificationActiveIs(bool active) { active_ = active; }

 private:
  void detach() {
    if (notifier_) notifier_->notifieeList().remove(this);
    notifier_ = nullptr;
  }

  PtrConst<Notifier> notifier_;
  bool active_ = true;
};

// The body of a notifying setter: stores `value` and notifies only when it differs.
template <class T, class V, class Notifier, class Handler>
void attributeIs(T& field, V&& value, NotifieeList<Notifier>& list, Handler handler) {
  if (field == value) return;
  field = std::forward<V>(value);
  list.notify(handler);
}

}  // namespace Kiln
