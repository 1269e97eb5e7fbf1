#pragma once
// Helpers of the PDU tests: bytes as readable hex, and the texts of range errors and
// assertions.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/kiln/Errors.h"

namespace PduTest {

// "60 05 00 11": what a failed comparison prints.
inline std::string hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    out += b;
  }
  return out;
}
template <class Bytes>
std::string hex(const Bytes& bytes) {
  return hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The text of the range error `f` raises; "" when it raises none.
template <class F>
std::string rangeError(F f) {
  try {
    f();
  } catch (const Kiln::RangeException& e) {
    return e.what();
  }
  return "";
}

// The condition text of the assertion `f` fails; "" when none fails.
template <class F>
std::string assertionText(F f) {
  Kiln::ThrowingAssertionScope scope;
  try {
    f();
  } catch (const Kiln::AssertionFailure& e) {
    return e.what();
  }
  return "";
}

}  // namespace PduTest
