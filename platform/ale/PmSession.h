#pragma once
// One Y.1731 measurement a local MEP runs without end, as a switch's hardware runs it for
// an operator: a DMM, SLM or 1DM every interval to one target, and what comes back summed
// per measurement interval. Intervals end on the wall clock's multiples of their length
// (at :00, :15, :30 and :45 for 15 minutes), so that the intervals of every MEP and every
// switch line up; the first is shorter. The last `history` completed ones are kept.
//
// The same bookkeeping takes the 1DMs a MEP receives from one sender (kind 1dm-in): their
// one-way delays, which mean something only between clocks kept in step (PTP, or NTP to
// within what is measured).
//
// Like the layer's other parts it owns no timer: the caller sends when it is due, hands
// over replies, and calls roll() at nextRoll(). Sending and taking a reply allocate nothing.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ale/CcmFrame.h"
#include "platform/ale/DelayStats.h"
#include "platform/cfm/PmWire.h"
#include "platform/lumen/Eth.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"

namespace SoftAle {

// Limits a completed interval is held to; a figure above its limit raises an event.
struct PmThresholds {
  std::optional<std::int64_t> delayMax;  // nanoseconds
  std::optional<std::int64_t> delayP99;
  std::optional<std::int64_t> delayVariation;
  std::optional<double> farEndLoss;  // percent
  std::optional<double> nearEndLoss;
  bool operator==(const PmThresholds&) const = default;
};

struct PmSessionSettings {
  // The longest Data TLV: the largest message, two tags and all, still fits a 9,216-byte frame.
  static constexpr std::size_t maxDataBytes = 9216 - 62;

  std::string name;
  Cfm::PmKind kind = Cfm::PmKind::dmm;
  // The target: a remote MEP of the MEP's list, at the address its CCMs come from, or an
  // address given outright.
  Cfm::MepId targetMepId;
  std::optional<Lumen::EthAddr> targetMac;
  std::uint8_t priority = 0;  // the messages' VLAN priority, where the egress tags them
  double interval = 1;        // seconds between two messages
  std::size_t dataBytes = 0;  // a Data TLV of so many bytes; 0: none
  std::uint32_t testId = 1;   // SLM's
  double measurementInterval = 900;
  std::size_t history = 32;
  PmThresholds thresholds;
  bool operator==(const PmSessionSettings&) const = default;
};

// A figure of a completed interval over its threshold: delays in nanoseconds, losses in
// percent.
struct PmCrossing {
  std::string_view figure;  // "delayMax", "delayP99", "delayVariation", "farEndLoss", "nearEndLoss"
  double value = 0;
  double threshold = 0;
};

class PmSession {
 public:
  // `wallNow` in seconds since the epoch: the first interval starts then.
  PmSession(PmSessionSettings settings, Cfm::MdLevel level, Cfm::MepId mepId, double wallNow);
  PmSession(const PmSession&) = delete;
  PmSession& operator=(const PmSession&) = delete;

  const PmSessionSettings& settings() const { return settings_; }

  // The next message, from `src` to `dst` behind the MEP's egress tags, sent at `now`:
  // valid until the next call. The caller reports what became of it with messageSent().
  std::span<const std::uint8_t> message(const Lumen::EthAddr& dst, const Lumen::EthAddr& src,
                                        const Bridging::EgressTags& tags, Cfm::PmTime now);
  // `kernelSent`, where not zero, is the kernel's time of a DMM's leaving: the delay counts
  // from it rather than from the TxTimeStampf read before the send.
  void messageSent(bool sent, Cfm::PmTime kernelSent = {});
  // Where the message carries the time it leaves (a 1DM's TxTimeStampf), for the egress to
  // write as late as it can; 0 for the others, whose times the session keeps.
  std::size_t txStampAt() const { return settings_.kind == Cfm::PmKind::oneDm ? pduAt_ + 4 : 0; }
  // A message was due and the target's address is not known.
  void noTarget() { ++noTarget_; }

  // A DMR or SLR for this session's MEP, received at `rxTime`: taken when it comes from the
  // address the last message went to and answers a message of this session. Returns
  // whether it was taken.
  bool replyReceived(const CfmFrame& frame, Cfm::PmTime rxTime);
  // 1dm-in: a 1DM sent at `sent`, received at `received`.
  void oneWayReceived(Cfm::PmTime sent, Cfm::PmTime received);

  // When the current interval ends (seconds since the epoch).
  double nextRoll() const { return intervalEnd_; }
  // Ends the current interval if `wallNow` is at or past its end and starts the next;
  // `crossed` hears of each figure of the ended interval over its threshold.
  void roll(double wallNow, const std::function<void(const PmCrossing&)>& crossed);

  void report(Cfm::PmSessionAleStatus& out) const;
  // The current interval's figures as of now.
  Cfm::PmIntervalAleStatus current() const;

 private:
  // An SLR's two counts, and how many SLRs had come when it came.
  struct LossMark {
    std::uint32_t txFcf = 0;
    std::uint32_t txFcb = 0;
    std::uint64_t received = 0;
  };
  void build(const Lumen::EthAddr& dst, const Lumen::EthAddr& src, const Bridging::EgressTags& tags);
  double intervalEndAfter(double wallTime) const;

  PmSessionSettings settings_;
  Cfm::MdLevel level_;
  Cfm::MepId mepId_;
  // The message, built for one target, source and tags, patched for each send.
  std::vector<std::uint8_t> frame_;
  std::size_t pduAt_ = 0;
  Lumen::EthAddr builtDst_, builtSrc_;
  Bridging::EgressTags builtTags_;
  Lumen::EthAddr target_;  // the address the last message went to
  std::uint32_t txFcf_ = 0;  // SLMs sent
  std::uint64_t slrs_ = 0;   // SLRs taken
  // A DMM not yet answered: its TxTimeStampf (a DMR carries no other id; 0 for a free
  // slot), and the kernel's send time where it gave one.
  struct Unanswered {
    std::int64_t txTimeStampf = 0;
    Cfm::PmTime kernelSent;
  };
  std::array<Unanswered, 16> unanswered_{};
  std::uint64_t kernelSendTimes_ = 0;
  std::size_t nextUnanswered_ = 0;
  std::uint64_t noTarget_ = 0;
  std::uint64_t notSent_ = 0;

  // The current interval.
  double intervalStart_ = 0;
  double intervalEnd_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t received_ = 0;
  DelayStats delays_;
  std::optional<LossMark> lossBase_;  // the last SLR before this interval, or its first
  std::optional<LossMark> lossLast_;  // the latest SLR of this interval
  std::deque<Cfm::PmIntervalAleStatus> history_;  // newest first
};

}  // namespace SoftAle
