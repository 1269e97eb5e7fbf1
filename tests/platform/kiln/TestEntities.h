#pragma once
// An entity that counts its live instances, so that tests see exactly when the last
// reference went.

#include <string>

#include "platform/kiln/Entity.h"

namespace KilnTest {

class Part : public Kiln::Entity {
 public:
  explicit Part(int key) : Kiln::Entity(std::to_string(key)), key_(key) { ++live; }
  ~Part() override { --live; }
  int key() const { return key_; }
  static inline int live = 0;

 private:
  int key_;
};

}  // namespace KilnTest
