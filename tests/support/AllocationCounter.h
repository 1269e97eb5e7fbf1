#pragma once
// Counts the binary's allocations, so that a test can require a stretch of code to
// allocate nothing. It replaces the global operator new: include it from one source file
// of a binary only. GCC cannot see that the replacement pairs malloc with free itself.

#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

inline std::size_t testAllocations = 0;

void* operator new(std::size_t size) {
  ++testAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
