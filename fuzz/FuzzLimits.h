#pragma once
// Limits the fuzzed programs are given where the daemon's own would make inputs too large
// to fuzz quickly; the seeds reach just past them.

#include <cstddef>

namespace Fuzz {

// The control socket's request limit in fuzz_control: the daemon's 1 MiB scaled down, yet
// more than one 64 KiB read of the server's buffer. fuzz/run.sh gives inputs of 88 KiB.
constexpr std::size_t controlRequestBytes = 80 * 1024;

}  // namespace Fuzz
