#include "platform/kiln/Errors.h"

#include <cstdio>
#include <cstdlib>

namespace Kiln {

namespace {
AssertionHandler currentHandler = abortingAssertionHandler;
}

void abortingAssertionHandler(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "assertion failed: %s (%s:%d)\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

void throwingAssertionHandler(const char* condition, const char*, int) {
  throw AssertionFailure(condition);
}

AssertionHandler assertionHandlerIs(AssertionHandler handler) {
  AssertionHandler previous = currentHandler;
  currentHandler = handler ? handler : abortingAssertionHandler;
  return previous;
}

void assertionFailed(const char* condition, const char* file, int line) {
  currentHandler(condition, file, line);
  abortingAssertionHandler(condition, file, line);
}

}  // namespace Kiln
