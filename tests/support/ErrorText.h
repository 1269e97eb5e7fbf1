#pragma once
// What a call raised, as text.

#include <string>

#include "platform/kiln/Errors.h"

namespace TestSupport {

// The text of what `f` raised as an E, "" when it raised nothing. Assertions throw meanwhile,
// so that a broken invariant comes back as its condition's text.
template <class E = Kiln::Exception, class F>
std::string errorOf(F&& f) {
  Kiln::ThrowingAssertionScope scope;
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

}  // namespace TestSupport
