#pragma once
// The in-memory wire: packet access without a kernel, for tests, benchmarks and replays.
//
// Frames injected on an interface reach the socket open on it exactly as a received frame
// would; frames the sockets transmit are recorded in order with their interface.

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/intf/Pam.h"

namespace Interface {

class MemoryPamNetwork {
 public:
  struct Sent {
    IntfId intf;
    std::string bytes;
  };

  // Delivers `frame` to the socket open on `intf`. False (and nothing delivered) when no
  // socket is open there.
  bool inject(IntfId intf, std::span<const std::uint8_t> frame);
  bool inject(IntfId intf, const std::string& frame);
  bool isOpen(IntfId intf) const { return open_.contains(intf); }

  // Every transmitted frame since the last clear, in order.
  const std::vector<Sent>& sent() const { return sent_; }
  void sentClear() { sent_.clear(); }

  // A device for `pam`'s interface; one per interface at a time.
  std::unique_ptr<PamDevice> deviceIs(Pam& pam);

 private:
  class Device;
  std::map<IntfId, Pam*> open_;
  std::vector<Sent> sent_;
};

// The process's in-memory wire.
MemoryPamNetwork& memoryPamNetwork();

}  // namespace Interface
