#pragma once
// Small observable entity types written the way type libraries write theirs.

#include <map>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"

namespace KilnTest {

// Counts live instances, so that tests see exactly when the last reference went.
class Part : public Kiln::Entity {
 public:
  explicit Part(int key) : Kiln::Entity(std::to_string(key)), key_(key) { ++live; }
  ~Part() override { --live; }
  int key() const { return key_; }
  static inline int live = 0;

 private:
  int key_;
};

class Widget : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<Widget> {
   public:
    using Kiln::Notifiee<Widget>::Notifiee;
    virtual void onColor() {}
    virtual void onPart(int) {}
    virtual void onFlag(int) {}
  };

  explicit Widget(std::string name = "widget") : Kiln::Entity(std::move(name)) {}

  int color() const { return color_; }
  void colorIs(int color) {
    if (color == color_) return;
    color_ = color;
    notifieeList_.notify(&NotifieeConst::onColor);
  }

  Kiln::Ptr<Part> part(int key) const { return parts_.find(key); }
  Kiln::Ptr<Part> partIs(int key) {
    auto [member, created] = parts_.findOrCreate(key, [&] { return new Part(key); });
    if (created) {
      member->parentIs(this);
      notifieeList_.notify(&NotifieeConst::onPart, key);
    }
    return member;
  }
  void partDel(int key) {
    if (parts_.del(key)) notifieeList_.notify(&NotifieeConst::onPart, key);
  }
  const Kiln::Collection<int, Part>& parts() const { return parts_; }

  bool flag(int key) const {
    auto it = flags_.find(key);
    return it != flags_.end() && it->second;
  }
  void flagIs(int key, bool value) {
    auto [it, inserted] = flags_.try_emplace(key, value);
    if (!inserted && it->second == value) return;
    it->second = value;
    notifieeList_.notify(&NotifieeConst::onFlag, key);
  }

  Kiln::NotifieeList<Widget>& notifieeList() const { return notifieeList_; }

 private:
  int color_ = 0;
  Kiln::Collection<int, Part> parts_;
  std::map<int, bool> flags_;
  mutable Kiln::NotifieeList<Widget> notifieeList_;
};

}  // namespace KilnTest
