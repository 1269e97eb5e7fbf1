#pragma once
// A packet-access device that throws frames away, keeping a count and the last frame's
// first bytes: the wire costs nothing and allocates nothing, so a benchmark measures the
// agent alone (the in-memory wire would allocate a string per frame).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "platform/intf/Pam.h"

class DiscardDevice : public Interface::PamDevice {
 public:
  bool transmit(std::span<const std::uint8_t> frame) override {
    ++sent;
    lastBytes = std::min(frame.size(), last.size());
    std::memcpy(last.data(), frame.data(), lastBytes);
    return true;
  }
  std::string lastFrame() const { return {reinterpret_cast<const char*>(last.data()), lastBytes}; }

  std::uint64_t sent = 0;
  std::array<std::uint8_t, 128> last{};
  std::size_t lastBytes = 0;
};
