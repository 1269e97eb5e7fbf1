#pragma once
// Counts every allocation of the test binary, so that a test can require a stretch of code
// to allocate nothing. It replaces the global operator new: include it from one source file
// of a binary only. The replacement pairs malloc with free itself; GCC cannot see that
// across the inlined new and delete expressions.

#include <cstddef>
#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace TestAllocations {
inline std::size_t count = 0;
}  // namespace TestAllocations

void* operator new(std::size_t size) {
  ++TestAllocations::count;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
