#include "platform/lumen/Pkt.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/kiln/Errors.h"

namespace Lumen {

namespace {

// One block holds a full-size Ethernet frame with tags plus head room.
constexpr std::size_t blockBytes = 2048;
constexpr std::uint32_t pooledCapacity = blockBytes - sizeof(Pkt::Buffer);
// Beyond this many idle blocks the pool gives memory back to the heap.
constexpr std::size_t poolLimit = 4096;

struct FreeNode {
  FreeNode* next;
};

// An intrusive free list of equally sized blocks.
class Pool {
 public:
  void* take() {
    if (!head_) return nullptr;
    FreeNode* node = head_;
    head_ = node->next;
    --size_;
    return node;
  }
  bool give(void* block) {
    if (size_ >= poolLimit) return false;
    head_ = new (block) FreeNode{head_};
    ++size_;
    return true;
  }

 private:
  FreeNode* head_ = nullptr;
  std::size_t size_ = 0;
};

Pool bufferPool;
PktManager::Stats pktStats;

}  // namespace

using Buffer = Pkt::Buffer;

namespace {

Buffer* acquireBuffer(std::uint32_t needed, bool pooled = true) {
  void* block = nullptr;
  std::uint32_t capacity = pooledCapacity;
  if (pooled && needed <= pooledCapacity) {
    block = bufferPool.take();
    if (block) {
      ++pktStats.buffersReused;
    } else {
      block = ::operator new(blockBytes);
      ++pktStats.buffersAllocated;
    }
  } else {
    // One byte more than asked keeps an exact-size buffer out of the pool.
    capacity = needed == pooledCapacity ? needed + 1 : needed;
    block = ::operator new(sizeof(Buffer) + capacity);
    ++pktStats.buffersAllocated;
  }
  ++pktStats.buffersLive;
  return new (block) Buffer{1, capacity, capacity};
}

void releaseBuffer(Buffer* buffer) {
  if (!buffer || --buffer->refs > 0) return;
  --pktStats.buffersLive;
  if (buffer->capacity == pooledCapacity && bufferPool.give(buffer)) return;
  ::operator delete(buffer);
}

}  // namespace

Pkt::~Pkt() { releaseBuffer(buffer_); }

void Pkt::moveToOwnBuffer(std::uint32_t head, std::uint32_t tail) {
  const std::uint32_t size = frontBytes();
  Buffer* fresh = acquireBuffer(head + size + tail);
  if (size) std::memcpy(fresh->data() + head, frontData(), size);
  releaseBuffer(buffer_);
  buffer_ = fresh;
  start_ = head;
  end_ = head + size;
  buffer_->claimed = start_;
}

std::uint8_t* Pkt::newSharedHeadData(std::uint32_t bytes) {
  if (bytes > maxBytes - frontBytes()) return nullptr;
  if (!buffer_) {
    // A packet built back to front: all of the buffer is head room.
    buffer_ = acquireBuffer(bytes);
    start_ = end_ = buffer_->capacity;
  } else if (start_ < bytes || (buffer_->refs > 1 && start_ != buffer_->claimed)) {
    moveToOwnBuffer(std::max(headRoom, bytes), 0);
  }
  start_ -= bytes;
  buffer_->claimed = std::min(buffer_->claimed, start_);
  if (buffer_->refs == 1) buffer_->claimed = start_;
  return frontData();
}

std::string Pkt::stringValue() const {
  return buffer_ ? std::string(reinterpret_cast<const char*>(frontData()), frontBytes())
                 : std::string();
}

void Pkt::stringValueIs(std::string_view bytes, bool append) {
  bytesIs({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, append);
}

void Pkt::bytesIs(std::span<const std::uint8_t> bytes, bool append, bool pooled) {
  const std::size_t total = (append ? frontBytes() : 0) + bytes.size();
  if (total > maxBytes) {
    throw Kiln::RangeException("Pkt::bytes > " + std::to_string(maxBytes) + " not allowed");
  }
  const auto n = static_cast<std::uint32_t>(bytes.size());
  if (!append) {
    releaseBuffer(buffer_);
    buffer_ = acquireBuffer(headRoom + n, pooled);
    start_ = end_ = headRoom;
    buffer_->claimed = start_;
    beginOffset_ = 0;
  } else if (!buffer_ || buffer_->refs > 1 || end_ + n > buffer_->capacity) {
    // Appending into a shared buffer would write bytes another view may also claim.
    moveToOwnBuffer(headRoom, n);
  }
  if (n) std::memcpy(buffer_->data() + end_, bytes.data(), n);
  end_ += n;
}

Kiln::Ptr<Pkt> PktManager::newPkt() { return Kiln::Ptr<Pkt>(new Pkt()); }

Kiln::Ptr<Pkt> PktManager::newPkt(std::uint32_t frameBytes) {
  KILN_ASSERT(frameBytes <= Pkt::maxBytes);
  Kiln::Ptr<Pkt> pkt(new Pkt());
  pkt->buffer_ = acquireBuffer(frameBytes);
  pkt->start_ = pkt->end_ = pkt->buffer_->capacity;
  return pkt;
}

Kiln::Ptr<Pkt> PktManager::newShallowCopy(const Kiln::Ptr<Pkt>& pkt) {
  Kiln::Ptr<Pkt> copy(new Pkt());
  if (pkt && pkt->buffer_) {
    copy->buffer_ = pkt->buffer_;
    ++copy->buffer_->refs;
    copy->start_ = pkt->start_;
    copy->end_ = pkt->end_;
    copy->beginOffset_ = pkt->beginOffset_;
  }
  return copy;
}

PktManager::Stats PktManager::stats() const { return pktStats; }

PktManager& pktManager() {
  static PktManager instance;
  return instance;
}

}  // namespace Lumen
