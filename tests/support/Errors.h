#pragma once
// What a call raised, as text.

#include <string>

#include "platform/kiln/Errors.h"

namespace TestSupport {

// The text of what `f` raised, "" when it raised nothing. Assertions throw meanwhile, so
// that a broken invariant comes back as its condition's text.
template <class F>
std::string errorOf(F&& f) {
  Kiln::ThrowingAssertionScope scope;
  try {
    f();
  } catch (const Kiln::Exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace TestSupport
