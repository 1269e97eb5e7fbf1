#pragma once
// Helpers of the agent's tests: bytes as readable hex, and the texts of range errors and
// assertions.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/kiln/Errors.h"

namespace PduTest {

// "60 05 00 11": what a failed comparison prints.
inline std::string hex(const void* bytes, std::size_t n) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", static_cast<const std::uint8_t*>(bytes)[i]);
    out += b;
  }
  return out;
}
template <class Bytes>
std::string hex(const Bytes& bytes) {
  return hex(bytes.data(), bytes.size());
}

// The text of the `Error` that `f` raises; "" when it raises none.
template <class Error, class F>
std::string errorText(F f) {
  Kiln::ThrowingAssertionScope scope;  // a failed assertion raises instead of ending the process
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}
template <class F>
std::string rangeError(F f) { return errorText<Kiln::RangeException>(f); }
template <class F>
std::string assertionText(F f) { return errorText<Kiln::AssertionFailure>(f); }

}  // namespace PduTest
