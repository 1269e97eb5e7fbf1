#pragma once
// The deadlines of many timers on one clock, in slots of a fixed width: setting, moving and
// taking a timer cost the same however many there are, and a tick visits only the timers
// due in it. The software ALE layer keeps one timer per MEP (its next CCM, its remote MEPs'
// timeouts, its alarm and its sessions, whichever comes first).
//
// Timers are small dense ids. A slot holds the timers whose deadlines fall in it, this
// turn or a later one: a timer a turn or more away (0.41 s) is passed over each turn until
// its own. Deadlines are seconds on any clock that does not go back.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace SoftAle {

class TimerWheel {
 public:
  static constexpr double kSlotSeconds = 50e-6;
  static constexpr std::size_t kSlots = 8192;

  explicit TimerWheel(double now) : cursor_(tickOf(now)) { heads_.fill(kNone); }

  // Timer `id`'s deadline, in place of the one it had; infinity unsets it. A deadline
  // already past is due at the next expire().
  void set(std::uint32_t id, double deadline) {
    if (id >= nodes_.size()) nodes_.resize(id + 1);
    unlink(id);
    if (!(deadline < std::numeric_limits<double>::infinity())) return;
    Node& node = nodes_[id];
    node.deadline = deadline;
    node.slot = std::uint32_t(std::max(tickOf(deadline), cursor_) & (kSlots - 1));
    node.prev = kNone;
    node.next = heads_[node.slot];
    if (node.next != kNone) nodes_[node.next].prev = id;
    heads_[node.slot] = id;
    occupied_[node.slot / 64] |= std::uint64_t(1) << (node.slot % 64);
    ++count_;
  }
  void unset(std::uint32_t id) {
    if (id < nodes_.size()) unlink(id);
  }
  double deadline(std::uint32_t id) const {
    return id < nodes_.size() && nodes_[id].slot != kNone ? nodes_[id].deadline
                                                          : std::numeric_limits<double>::infinity();
  }

  // Unsets the timers due by the end of `now`'s slot and returns them: a timer is taken up
  // to a slot early, so that timers microseconds apart are taken at one wake. The list is
  // valid until the next call.
  const std::vector<std::uint32_t>& expire(double now) {
    due_.clear();
    const std::int64_t until = tickOf(now);
    const std::int64_t slots = std::min<std::int64_t>(until - cursor_ + 1, kSlots);
    for (std::int64_t i = 0; i < slots; ++i) {
      const std::uint32_t slot = std::uint32_t((cursor_ + i) & (kSlots - 1));
      for (std::uint32_t id = heads_[slot]; id != kNone;) {
        const std::uint32_t next = nodes_[id].next;
        if (tickOf(nodes_[id].deadline) <= until) {
          unlink(id);
          due_.push_back(id);
        }
        id = next;
      }
    }
    cursor_ = std::max(cursor_, until);
    return due_;
  }

  // The earliest deadline of the timers in the first slot that holds one of this turn; a
  // turn on when every timer is a turn or more away (a wake that finds nothing); infinity
  // when none is set. An overdue timer gives its own deadline, in the past.
  double next() const {
    if (count_ == 0) return std::numeric_limits<double>::infinity();
    const std::uint32_t from = std::uint32_t(cursor_ & (kSlots - 1));
    for (std::size_t n = 0; n <= kSlots / 64; ++n) {
      const std::size_t word = (from / 64 + n) % (kSlots / 64);
      std::uint64_t bits = occupied_[word];
      if (n == 0) bits &= ~std::uint64_t(0) << (from % 64);
      if (n == kSlots / 64) bits &= (std::uint64_t(1) << (from % 64)) - 1;
      for (; bits != 0; bits &= bits - 1) {
        const std::uint32_t slot = std::uint32_t(word * 64 + std::size_t(std::countr_zero(bits)));
        const std::int64_t tick = cursor_ + std::int64_t((slot - from) & (kSlots - 1));
        double earliest = std::numeric_limits<double>::infinity();
        for (std::uint32_t id = heads_[slot]; id != kNone; id = nodes_[id].next) {
          if (tickOf(nodes_[id].deadline) <= tick) earliest = std::min(earliest, nodes_[id].deadline);
        }
        if (earliest < std::numeric_limits<double>::infinity()) return earliest;
      }
    }
    return double(cursor_ + std::int64_t(kSlots)) * kSlotSeconds;
  }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t(0);
  struct Node {
    double deadline = 0;
    std::uint32_t slot = kNone;  // none while unset
    std::uint32_t prev = kNone;
    std::uint32_t next = kNone;
  };
  static std::int64_t tickOf(double t) { return std::int64_t(std::floor(t / kSlotSeconds)); }

  void unlink(std::uint32_t id) {
    Node& node = nodes_[id];
    if (node.slot == kNone) return;
    if (node.prev != kNone) {
      nodes_[node.prev].next = node.next;
    } else {
      heads_[node.slot] = node.next;
      if (node.next == kNone) occupied_[node.slot / 64] &= ~(std::uint64_t(1) << (node.slot % 64));
    }
    if (node.next != kNone) nodes_[node.next].prev = node.prev;
    node.slot = kNone;
    --count_;
  }

  std::int64_t cursor_;  // the tick the last expire() reached
  std::array<std::uint32_t, kSlots> heads_;
  std::array<std::uint64_t, kSlots / 64> occupied_{};
  std::vector<Node> nodes_;
  std::size_t count_ = 0;  // timers set
  std::vector<std::uint32_t> due_;
};

}  // namespace SoftAle
