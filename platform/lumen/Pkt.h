#pragma once
// Frame buffers.
//
// A Pkt is a view of a frame held in a shared, pooled buffer with head room in front of
// the frame, so that headers can be prepended (newSharedHeadData) without moving the
// payload. The begin offset is a signed 16-bit cursor from the frame's first byte; it
// never leaves the frame. Shallow copies share the payload: a write through one is seen
// by all. Pkt objects and the common buffer size are recycled through free lists, so a
// steady stream of frames allocates nothing once the pools are warm. Single-threaded, like
// the agent that uses them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/kiln/Entity.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/Pooled.h"

namespace Lumen {

class PktManager;

class Pkt final : public Kiln::Entity, public Kiln::Pooled<Pkt> {
 public:
  // Room kept in front of a frame that is filled from its first byte (a received frame):
  // enough for an Ethernet header and two tags, with margin.
  static constexpr std::uint32_t headRoom = 128;
  // The largest frame a Pkt holds: a jumbo frame with tags, and far below the 16-bit
  // begin offset's range.
  static constexpr std::uint32_t maxBytes = 16384;

  ~Pkt() override;

  std::int16_t beginOffset() const { return beginOffset_; }
  // Offsets outside 0..frontBytes() fail the assertion "checkOffsetBounds()".
  void beginOffsetIs(std::int16_t offset) {
    KILN_ASSERT_TEXT(checkOffsetBounds(offset), "checkOffsetBounds()");
    beginOffset_ = offset;
  }
  void beginOffsetInc(std::int16_t delta) {
    const int offset = int(beginOffset_) + int(delta);
    KILN_ASSERT_TEXT(checkOffsetBounds(offset), "checkOffsetBounds()");
    beginOffset_ = static_cast<std::int16_t>(offset);
  }

  // The frame's first byte; null while the Pkt holds no buffer.
  std::uint8_t* frontData() const { return buffer_ ? buffer_->data() + start_ : nullptr; }
  // Contiguous bytes from the first byte: the whole frame, since frames are contiguous.
  std::uint32_t frontBytes() const { return end_ - start_; }
  // The byte at the begin offset, and the bytes from there to the end.
  std::uint8_t* offsetFront() const { return frontData() + beginOffset_; }
  std::uint32_t offsetBytes() const { return frontBytes() - std::uint32_t(beginOffset_); }

  // Makes the front `bytes` longer and returns the new first byte. The new bytes are not
  // initialised; the begin offset keeps its value, so it now counts from the new front.
  // Done in place when the head room is free; a copy sharing the buffer that has already
  // claimed the head room makes this Pkt move to a buffer of its own first, and pointers
  // into the old bytes then no longer hold. Null, and nothing changed, when the frame
  // would grow past maxBytes: how long a frame gets is up to what a received one says.
  std::uint8_t* newSharedHeadData(std::uint32_t bytes);

  // The frame from its first byte and from the begin offset, to lay headers over
  // (Lumen::overlayAt).
  std::span<std::uint8_t> frontSpan() const { return {frontData(), frontBytes()}; }
  std::span<std::uint8_t> offsetSpan() const { return frontSpan().subspan(beginOffset_); }

  // All bytes of the frame from its first byte, whatever the begin offset.
  std::string stringValue() const;
  std::span<const std::uint8_t> bytes() const { return frontSpan(); }
  // Replaces the frame by `bytes` (begin offset 0), or with `append` adds them at its end.
  // More than maxBytes in all raises Kiln::RangeException. A replacement that is not
  // `pooled` gets a buffer of its own size from the heap, whatever its length.
  void stringValueIs(std::string_view bytes, bool append);
  void bytesIs(std::span<const std::uint8_t> bytes, bool append, bool pooled = true);

  // The shared payload: this header, then the bytes.
  struct Buffer {
    std::uint32_t refs;
    std::uint32_t capacity;
    // The lowest first byte any view has placed in this buffer: a view may prepend in place
    // only if no other view has bytes in front of it.
    std::uint32_t claimed;
    std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(this + 1); }
  };

 private:
  friend class PktManager;

  Pkt() = default;
  bool checkOffsetBounds(int offset) const { return offset >= 0 && offset <= int(frontBytes()); }
  // Gives this Pkt a buffer of its own with `headRoom` before and `tailRoom` after the frame.
  void moveToOwnBuffer(std::uint32_t headRoom, std::uint32_t tailRoom);

  Buffer* buffer_ = nullptr;
  std::uint32_t start_ = 0;  // first byte of the frame in the buffer
  std::uint32_t end_ = 0;
  std::int16_t beginOffset_ = 0;
};

class PktManager {
 public:
  // An empty Pkt, without a buffer until bytes are written.
  Kiln::Ptr<Pkt> newPkt();
  // An empty Pkt to be built back to front, with head room for `frameBytes` (at most
  // maxBytes): prepending that much never moves it, so pointers into it stay good.
  Kiln::Ptr<Pkt> newPkt(std::uint32_t frameBytes);
  // A new Pkt over the same payload, bytes and begin offset.
  Kiln::Ptr<Pkt> newShallowCopy(const Kiln::Ptr<Pkt>& pkt);

  struct Stats {
    std::uint64_t buffersAllocated = 0;  // taken from the heap (pool misses and big frames)
    std::uint64_t buffersReused = 0;     // taken from the pool
    std::uint64_t buffersLive = 0;
  };
  Stats stats() const;
};

// The global packet manager.
PktManager& pktManager();

}  // namespace Lumen
