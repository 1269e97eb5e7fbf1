#pragma once
// Recycles the memory of a class's objects through a free list, for objects made and
// dropped once per frame: a steady stream then allocates nothing. Derive T from Pooled<T>;
// single-threaded, like the agent.

#include <cstddef>
#include <new>

namespace Kiln {

template <class T>
class Pooled {
 public:
  static void* operator new(std::size_t size) {
    if (size == sizeof(T) && head_) {
      Node* node = head_;
      head_ = node->next;
      --idle_;
      return node;
    }
    return ::operator new(size);
  }
  static void operator delete(void* p, std::size_t size) {
    // Objects of classes derived from T have other sizes; they go back to the heap.
    if (size == sizeof(T) && idle_ < maxIdle) {
      head_ = new (p) Node{head_};
      ++idle_;
      return;
    }
    ::operator delete(p);
  }

 private:
  struct Node {
    Node* next;
  };
  static constexpr std::size_t maxIdle = 4096;
  static inline Node* head_ = nullptr;
  static inline std::size_t idle_ = 0;
};

}  // namespace Kiln
