#pragma once
// A broken invariant: named on stderr, then abort(), so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fault(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}
