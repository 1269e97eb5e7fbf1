#pragma once
// Frames read from the platform's CFM packet socket until the test has what it waits for.

#include <poll.h>

#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "platform/intf/AfPacketSocket.h"

namespace TestSupport {

// Reads in batches until at least `count` frames came or `timeout` passed; the caller
// compares what came.
// `batchSizes`, when given, gets the size of each non-empty read.
inline std::vector<std::string> receiveFrames(Interface::AfPacketSocket& s, std::size_t count,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                              std::vector<std::size_t>* batchSizes = nullptr) {
  std::vector<std::string> frames;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (frames.size() < count) {
    const std::size_t n = s.receive(
        [&](std::span<const std::uint8_t> f) { frames.emplace_back(f.begin(), f.end()); },
        Interface::AfPacketSocket::kBatchFrames);
    if (batchSizes != nullptr && n > 0) batchSizes->push_back(n);
    if (n > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{s.fd(), POLLIN, 0};
    ::poll(&p, 1, int(left.count()));
  }
  return frames;
}

}  // namespace TestSupport
