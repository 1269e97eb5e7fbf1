#pragma once
// Blipline: a fixed-size, always-on ring of "this handler ran" records.
//
// A record holds only pointers to static strings (the handler's signature and source
// file) and a line, so writing one never allocates; the oldest records are overwritten.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Blipline {

struct Blip {
  const char* signature = "";
  const char* file = "";
  int line = 0;

  // The source file's name without directories and extension ("CfmSm").
  std::string_view fileStem() const;
};

class Ring {
 public:
  static constexpr std::size_t capacity = 4096;

  void blip(const char* signature, const char* file, int line) {
    blips_[next_ % capacity] = Blip{signature, file, line};
    ++next_;
  }
  // Oldest first; at most `capacity` records.
  std::vector<Blip> blips() const;
  // Records written since the ring was made (including overwritten ones).
  std::uint64_t written() const { return next_; }
  void clear() { next_ = 0; }

 private:
  std::array<Blip, capacity> blips_{};
  std::uint64_t next_ = 0;
};

// The process ring.
Ring& ring();

}  // namespace Blipline

// Records the enclosing function's full signature, file and line.
#define BLIPLINE_BLIP() ::Blipline::ring().blip(__PRETTY_FUNCTION__, __FILE__, __LINE__)
