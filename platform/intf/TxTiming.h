#pragma once
// How one frame is to leave when its time matters: a Y.1731 message or reply carries the
// time it left, and the time read before the send call is not that time while frames wait
// in a batch, or in the send call itself.

#include <cstddef>
#include <ctime>

namespace Interface {

struct TxTiming {
  // The offset in the frame of an 8-byte Y.1731 timestamp (32-bit seconds, 32-bit
  // nanoseconds) to write with CLOCK_REALTIME as the frame is handed to the kernel; 0: none.
  std::size_t stampAt = 0;
  // When set, the frame goes at once, and this is set to the kernel's software time of its
  // leaving where the kernel gives it before the send returns; it is left zero otherwise.
  timespec* sentAt = nullptr;
};

}  // namespace Interface
