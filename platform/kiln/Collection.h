#pragma once
// Keyed collections of entities and link queues.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/kiln/Entity.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/StateMachine.h"

namespace Kiln {

// Keys that carry a small dense number of their own (an interned name's): a look-up by such
// a key is an index into a vector, not a walk down a tree.
template <class Key>
concept DenseKey = requires(const Key& key) {
  { key.denseIndex() } -> std::convertible_to<std::size_t>;
};

// Members by dense index; the owner keeps the members alive.
template <class T>
class DenseIndex {
 public:
  T* find(std::size_t index) const { return index < slots_.size() ? slots_[index] : nullptr; }
  void set(std::size_t index, T* member) {
    if (index >= slots_.size()) slots_.resize(index + 1, nullptr);
    slots_[index] = member;
  }

 private:
  std::vector<T*> slots_;
};

// Members by key, iterated in key order. A member that is a state machine is prepared to
// die before the collection drops it, whichever way it goes (del, delAll, erase, replace).
template <class Key, class T, class Compare = std::less<Key>>
class Collection {
 public:
  using Map = std::map<Key, Ptr<T>, Compare>;
  using const_iterator = typename Map::const_iterator;

  Collection() = default;
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  ~Collection() { delAll(); }

  // The member at `key`, or null.
  Ptr<T> find(const Key& key) const {
    if constexpr (DenseKey<Key>) {
      return Ptr<T>(index_.find(key.denseIndex()));
    } else {
      auto it = members_.find(key);
      return it == members_.end() ? Ptr<T>() : it->second;
    }
  }
  bool contains(const Key& key) const { return bool(find(key)); }

  // Create-or-find: `make()` runs only when the key is absent. Returns the member and
  // whether it was created.
  template <class Make>
  std::pair<Ptr<T>, bool> findOrCreate(const Key& key, Make&& make) {
    if constexpr (DenseKey<Key>) {
      if (T* member = index_.find(key.denseIndex())) return {Ptr<T>(member), false};
    }
    auto it = members_.lower_bound(key);
    if (it != members_.end() && !members_.key_comp()(key, it->first)) return {it->second, false};
    Ptr<T> member = validPtr(Ptr<T>(make()));
    members_.emplace_hint(it, key, member);
    indexIs(key, member.get());
    return {member, true};
  }

  // Create-or-find of a child built as T(key) with `parent` as its parent; `created` runs
  // only when the child is new (owners notify from there).
  template <class Created>
  Ptr<T> childIs(const Key& key, Entity* parent, Created&& created) {
    auto [member, isNew] = findOrCreate(key, [&] {
      auto* child = new T(key);
      child->parentIs(parent);
      return child;
    });
    if (isNew) created();
    return member;
  }
  Ptr<T> childIs(const Key& key, Entity* parent) {
    return childIs(key, parent, [] {});
  }

  // Instantiating setter of a keyed child: keeps the member at `key` when `sameArgs`
  // accepts it (an ArgMatch of kind keyed throws instead of refusing), else builds a new
  // one with `make()`. The new member's notifications are switched on.
  template <class SameArgs, class Make>
  Ptr<T> instantiate(const Key& key, SameArgs&& sameArgs, Make&& make) {
    auto it = members_.find(key);
    if (it != members_.end() && sameArgs(*it->second)) return it->second;
    Ptr<T> member = validPtr(Ptr<T>(make()));
    activate(*member);
    indexIs(key, member.get());
    if (it != members_.end()) {
      Ptr<T> old = std::exchange(it->second, member);
      prepareToDie(*old);
    } else {
      members_.emplace(key, member);
    }
    return member;
  }

  // Stores `member` at `key`, dropping any member already there.
  void insert(const Key& key, Ptr<T> member) {
    indexIs(key, member.get());
    auto [it, inserted] = members_.try_emplace(key, member);
    if (!inserted) {
      Ptr<T> old = std::exchange(it->second, std::move(member));
      prepareToDie(*old);
    }
  }

  bool del(const Key& key) {
    auto it = members_.find(key);
    if (it == members_.end()) return false;
    erase(it);
    return true;
  }

  // Removal during iteration: `it = collection.erase(it)`.
  const_iterator erase(const_iterator it) {
    // The member may reach back into this collection while it dies: detach it first.
    Ptr<T> member = it->second;
    indexIs(it->first, nullptr);
    auto next = members_.erase(it);
    prepareToDie(*member);
    return next;
  }

  void delAll() {
    while (!members_.empty()) erase(members_.begin());
  }

  std::size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  const_iterator begin() const { return members_.begin(); }
  const_iterator end() const { return members_.end(); }

 private:
  void indexIs(const Key& key, T* member) {
    if constexpr (DenseKey<Key>) index_.set(key.denseIndex(), member);
  }
  struct NoIndex {};

  Map members_;
  [[no_unique_address]] std::conditional_t<DenseKey<Key>, DenseIndex<T>, NoIndex> index_;
};

// Members by a key that is a small number (`key.value()` below N), each in its own slot:
// a look-up is an index, whatever the number of members. Iterated in key order, as
// (key, member) pairs; members leave as in Collection.
// Walks the slots 0..N-1 of an owner that stores members by number, stopping at those that
// `owner.occupied(slot)` accepts and yielding `owner.at(slot)`.
template <class Owner, std::size_t N>
class SlotIterator {
 public:
  using value_type = decltype(std::declval<const Owner&>().at(0));
  using difference_type = std::ptrdiff_t;
  SlotIterator() = default;
  SlotIterator(const Owner* owner, std::size_t slot) : owner_(owner), slot_(skip(slot)) {}
  value_type operator*() const { return owner_->at(slot_); }
  SlotIterator& operator++() {
    slot_ = skip(slot_ + 1);
    return *this;
  }
  SlotIterator operator++(int) {
    auto before = *this;
    ++*this;
    return before;
  }
  bool operator==(const SlotIterator& other) const { return slot_ == other.slot_; }

 private:
  std::size_t skip(std::size_t slot) const {
    while (slot < N && !owner_->occupied(slot)) ++slot;
    return slot;
  }
  const Owner* owner_ = nullptr;
  std::size_t slot_ = N;
};

// Members by a key that is a small number (`key.value()` below N), each in its own slot:
// a look-up is an index, whatever the number of members. Iterated in key order, as
// (key, member) pairs; members leave as in Collection.
template <class Key, class T, std::size_t N>
class IndexedCollection {
 public:
  using const_iterator = SlotIterator<IndexedCollection, N>;

  IndexedCollection() : slots_(N) {}
  IndexedCollection(const IndexedCollection&) = delete;
  IndexedCollection& operator=(const IndexedCollection&) = delete;
  ~IndexedCollection() { delAll(); }

  Ptr<T> find(const Key& key) const { return slots_[slot(key)]; }
  bool contains(const Key& key) const { return bool(slots_[slot(key)]); }

  // Create-or-find of a child built as T(key) with `parent` as its parent.
  Ptr<T> childIs(const Key& key, Entity* parent) {
    Ptr<T>& member = slots_[slot(key)];
    if (!member) {
      auto* child = new T(key);
      child->parentIs(parent);
      member = Ptr<T>(child);
      ++size_;
    }
    return member;
  }

  bool del(const Key& key) {
    Ptr<T> member = std::exchange(slots_[slot(key)], nullptr);
    if (!member) return false;
    --size_;
    prepareToDie(*member);
    return true;
  }

  void delAll() {
    for (std::size_t i = 0; i < N && size_ > 0; ++i) {
      if (Ptr<T> member = std::exchange(slots_[i], nullptr)) {
        --size_;
        prepareToDie(*member);
      }
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, N}; }

 private:
  friend const_iterator;
  bool occupied(std::size_t slot) const { return bool(slots_[slot]); }
  std::pair<Key, Ptr<T>> at(std::size_t slot) const {
    return {Key(static_cast<decltype(Key().value())>(slot)), slots_[slot]};
  }
  static std::size_t slot(const Key& key) {
    const auto index = std::size_t(key.value());
    KILN_ASSERT_TEXT(index < N, "key.value() < N");
    return index;
  }

  std::vector<Ptr<T>> slots_;
  std::size_t size_ = 0;
};

// A vector of trivially copyable elements whose first N live inside the object: short
// sequences cost no allocation, longer ones move to the heap.
template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T> && N > 0);

 public:
  SmallVector() = default;
  SmallVector(const SmallVector& other) { *this = other; }
  SmallVector& operator=(const SmallVector& other) {
    if (this == &other) return *this;
    clear();
    for (const T& v : other) push_back(v);
    return *this;
  }

  void push_back(const T& value) {
    if (size_ == capacity_) grow();
    data_[size_++] = value;
  }
  void clear() { size_ = 0; }
  std::size_t size() const { return size_; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  void grow() {
    std::vector<T> bigger(data_, data_ + size_);
    bigger.resize(capacity_ * 2);
    heap_ = std::move(bigger);
    data_ = heap_.data();
    capacity_ = heap_.size();
  }

  T inline_[N];
  std::vector<T> heap_;
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

// A queue whose elements carry keys 0, 1, 2, ... in arrival order. Keys are never reused
// while their element is queued: after elements leave, new ones continue from the last
// key, and appending when the next key would wrap onto the oldest queued element is
// refused. Keys are 32-bit; the key type is a parameter only so that the wrap can be
// exercised without four billion elements. `Storage` holds the elements in order: a
// SmallVector keeps short queues free of allocation.
template <class T, class KeyType = std::uint32_t, class Storage = std::vector<T>>
class LinkQueue {
 public:
  using Key = KeyType;

  Key enq(T value) {
    if (!empty() && nextKey_ == headKey_) throw RangeException("linkqueue index space full");
    if (empty()) headKey_ = nextKey_;
    elements_.push_back(std::move(value));
    return nextKey_++;
  }

  void deq() {
    KILN_ASSERT(!empty());
    ++head_;
    ++headKey_;
    if (head_ == elements_.size()) {
      elements_.clear();
      head_ = 0;
    }
  }

  // The element with `key`, or null when that key is not queued.
  const T* find(Key key) const {
    const std::size_t index = static_cast<Key>(key - headKey_);  // wraps like the keys
    return index < size() ? &elements_[head_ + index] : nullptr;
  }

  const T& front() const {
    KILN_ASSERT(!empty());
    return elements_[head_];
  }
  Key headKey() const { return headKey_; }
  Key nextKey() const { return nextKey_; }
  std::size_t size() const { return elements_.size() - head_; }
  bool empty() const { return size() == 0; }

  void clear() {
    elements_.clear();
    head_ = 0;
    headKey_ = nextKey_;
  }

  // Calls f(key, element) in key order.
  template <class F>
  void forEach(F&& f) const {
    Key key = headKey_;
    for (std::size_t i = head_; i < elements_.size(); ++i) f(key++, elements_[i]);
  }

 private:
  Storage elements_;
  std::size_t head_ = 0;  // index of the oldest queued element
  Key headKey_ = 0;
  Key nextKey_ = 0;
};

}  // namespace Kiln
