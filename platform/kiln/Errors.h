#pragma once
// Errors of the entity framework.
//
// Two kinds of failure exist and they never mix:
//  - exceptions (RangeException, NameInUseException) for values and requests that the
//    caller may legitimately get wrong; what() is the exact text operators and callers see;
//  - assertions (KILN_ASSERT) for broken invariants between our own components. They name
//    the failed condition and stop the process unless a test has swapped the handler.

#include <stdexcept>
#include <string>

namespace Kiln {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value outside the range its type allows, or a null where an object is required.
class RangeException : public Exception {
 public:
  using Exception::Exception;
};

// An instantiating setter asked to replace a keyed child by one built from other arguments.
class NameInUseException : public Exception {
 public:
  using Exception::Exception;
};

// Raised by the throwing assertion handler; what() is the failed condition's text.
class AssertionFailure : public Exception {
 public:
  using Exception::Exception;
};

// Called with the failed condition's text. A handler that returns is treated as the
// default one: the process aborts, so an assertion never falls through.
using AssertionHandler = void (*)(const char* condition, const char* file, int line);

// Prints "assertion failed: <condition> (<file>:<line>)" to stderr and aborts.
[[noreturn]] void abortingAssertionHandler(const char* condition, const char* file, int line);
// Throws AssertionFailure(condition); for tests that check the condition's text.
void throwingAssertionHandler(const char* condition, const char* file, int line);

// Installs a handler and returns the previous one.
AssertionHandler assertionHandlerIs(AssertionHandler handler);

[[noreturn]] void assertionFailed(const char* condition, const char* file, int line);

// Installs the throwing handler for the lifetime of the scope (tests).
class ThrowingAssertionScope {
 public:
  ThrowingAssertionScope() : previous_(assertionHandlerIs(throwingAssertionHandler)) {}
  ~ThrowingAssertionScope() { assertionHandlerIs(previous_); }
  ThrowingAssertionScope(const ThrowingAssertionScope&) = delete;
  ThrowingAssertionScope& operator=(const ThrowingAssertionScope&) = delete;

 private:
  AssertionHandler previous_;
};

}  // namespace Kiln

// Checks an invariant of our own code; the condition's source text names the failure.
#define KILN_ASSERT(condition)                                                 \
  ((condition) ? static_cast<void>(0)                                          \
               : ::Kiln::assertionFailed(#condition, __FILE__, __LINE__))

// Same, where the text to report differs from the expression evaluated.
#define KILN_ASSERT_TEXT(condition, text)                                      \
  ((condition) ? static_cast<void>(0)                                          \
               : ::Kiln::assertionFailed(text, __FILE__, __LINE__))
