#pragma once
// Reference-counted entities and the pointers that hold them.
//
// The count lives in the entity (intrusive), so a Ptr is one machine word and a raw
// `this` can be turned back into an owning pointer. Counts are atomic only when the build
// enables KILN_THREAD_SAFE_PTR: the agent runs on one thread and pays nothing for it.

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>

namespace Kiln {

class Entity {
 public:
  explicit Entity(std::string name = {}) : name_(std::move(name)) {}
  virtual ~Entity() = default;
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  const std::string& name() const { return name_; }
  // A parent is a back-pointer, never an owner: the parent outlives its children.
  Entity* parent() const { return parent_; }
  void parentIs(Entity* parent) { parent_ = parent; }
  // Names from the root down, joined by '/'.
  std::string fullName() const;

  void ref() const noexcept { ++refCount_; }
  void unref() const noexcept {
    if (--refCount_ == 0) delete this;
  }
  std::uint32_t refCount() const noexcept { return refCount_; }

 private:
#ifdef KILN_THREAD_SAFE_PTR
  using Count = std::atomic<std::uint32_t>;
#else
  using Count = std::uint32_t;
#endif
  std::string name_;
  Entity* parent_ = nullptr;
  mutable Count refCount_{0};
};

template <class T>
class PtrConst;

// Owning pointer to a mutable entity.
template <class T>
class Ptr {
 public:
  using element_type = T;

  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}
  Ptr(T* p) noexcept : p_(p) { acquire(); }
  Ptr(const Ptr& other) noexcept : p_(other.p_) { acquire(); }
  Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  Ptr(const Ptr<U>& other) noexcept : p_(other.get()) {
    acquire();
  }
  ~Ptr() { release(); }

  Ptr& operator=(Ptr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  void acquire() const noexcept {
    if (p_) p_->ref();
  }
  void release() noexcept {
    if (p_) p_->unref();
  }
  T* p_ = nullptr;
};

// Owning pointer through which the entity is only read.
template <class T>
class PtrConst {
 public:
  using element_type = const T;

  PtrConst() noexcept = default;
  PtrConst(std::nullptr_t) noexcept {}
  PtrConst(const T* p) noexcept : p_(p) { acquire(); }
  PtrConst(const PtrConst& other) noexcept : p_(other.p_) { acquire(); }
  PtrConst(PtrConst&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<const U*, const T*>
  PtrConst(const PtrConst<U>& other) noexcept : p_(other.get()) {
    acquire();
  }
  template <class U>
    requires std::is_convertible_v<U*, const T*>
  PtrConst(const Ptr<U>& other) noexcept : p_(other.get()) {
    acquire();
  }
  ~PtrConst() { release(); }

  PtrConst& operator=(PtrConst other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  const T* get() const noexcept { return p_; }
  const T* operator->() const noexcept { return p_; }
  const T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  void acquire() const noexcept {
    if (p_) p_->ref();
  }
  void release() noexcept {
    if (p_) p_->unref();
  }
  const T* p_ = nullptr;
};

// Pointers compare by identity, whatever their constness.
template <class P>
inline constexpr bool isKilnPointer = false;
template <class T>
inline constexpr bool isKilnPointer<Ptr<T>> = true;
template <class T>
inline constexpr bool isKilnPointer<PtrConst<T>> = true;
template <class P>
concept EntityPointer = isKilnPointer<std::remove_cvref_t<P>>;

template <EntityPointer A, EntityPointer B>
bool operator==(const A& a, const B& b) noexcept {
  return static_cast<const void*>(a.get()) == static_cast<const void*>(b.get());
}
template <EntityPointer A>
bool operator==(const A& a, std::nullptr_t) noexcept {
  return a.get() == nullptr;
}

template <class T, class... Args>
Ptr<T> make(Args&&... args) {
  return Ptr<T>(new T(std::forward<Args>(args)...));
}

template <class T, class U>
Ptr<T> ptrCast(const Ptr<U>& p) {
  return Ptr<T>(dynamic_cast<T*>(p.get()));
}
template <class T, class U>
PtrConst<T> ptrCast(const PtrConst<U>& p) {
  return PtrConst<T>(dynamic_cast<const T*>(p.get()));
}

// Refuses an empty pointer with the range error "null ValidPtr": instantiating setters
// pass every object they obtain through it.
[[noreturn]] void throwNullValidPtr();
template <EntityPointer P>
P validPtr(P p) {
  if (!p) throwNullValidPtr();
  return p;
}

// The text form of an entity reference: "<full name>@0x<address>", or "null".
std::string entityText(const Entity* entity);

template <class T>
std::ostream& operator<<(std::ostream& os, const Ptr<T>& p) {
  return os << entityText(p.get());
}
template <class T>
std::ostream& operator<<(std::ostream& os, const PtrConst<T>& p) {
  return os << entityText(p.get());
}

}  // namespace Kiln

template <class T>
struct std::hash<Kiln::Ptr<T>> {
  std::size_t operator()(const Kiln::Ptr<T>& p) const noexcept {
    return std::hash<const void*>()(p.get());
  }
};
template <class T>
struct std::hash<Kiln::PtrConst<T>> {
  std::size_t operator()(const Kiln::PtrConst<T>& p) const noexcept {
    return std::hash<const void*>()(p.get());
  }
};
