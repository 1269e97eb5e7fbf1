#pragma once
// Counts the binary's allocations, so that a test can require a stretch of code to
// allocate nothing, and the heap bytes its live allocations hold, so that a benchmark can
// say what a stored entry costs. It replaces the global operator new: include it from one
// source file of a binary only. GCC cannot see that the replacement pairs malloc with free
// itself.

#include <malloc.h>

#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

inline std::size_t testAllocations = 0;
// The usable size malloc gave each block, which is at least what was asked for; malloc's
// own bookkeeping per block comes on top. Read as a difference across a stretch of code:
// what the stretch keeps, with what it allocates and frees again cancelled out.
inline std::size_t testLiveBytes = 0;
// The most testLiveBytes reached; a benchmark sets it to testLiveBytes to start a stretch.
inline std::size_t testPeakBytes = 0;

void* operator new(std::size_t size) {
  ++testAllocations;
  if (void* p = std::malloc(size ? size : 1)) {
    testLiveBytes += malloc_usable_size(p);
    if (testLiveBytes > testPeakBytes) testPeakBytes = testLiveBytes;
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (p) testLiveBytes -= malloc_usable_size(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
