#include "apps/cfmtool/Commands.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "apps/cfmtool/Frames.h"
#include "apps/cfmtool/Report.h"
#include "platform/intf/AfPacketSocket.h"

namespace CfmTool {

namespace {

using Clock = std::chrono::steady_clock;
using Cfm::PmTime;

volatile sig_atomic_t stopRequested = 0;

void handleStopSignal(int) { stopRequested = 1; }

// SIGINT and SIGTERM set a flag instead of ending the process. They stay blocked except
// inside ppoll, so that one arriving between a check of the flag and the wait cannot be
// missed until the wait ends.
class StopSignals {
 public:
  StopSignals() {
    stopRequested = 0;
    struct sigaction action {};
    action.sa_handler = handleStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waitMask_);
  }
  ~StopSignals() {
    sigprocmask(SIG_SETMASK, &waitMask_, nullptr);
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool stopped() const { return stopRequested != 0; }
  const sigset_t& waitMask() const { return waitMask_; }

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
  sigset_t waitMask_{};
};

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// One command's socket on its device, and the source address its frames carry.
class Session {
 public:
  using Sink = std::function<void(std::span<const std::uint8_t>, Clock::time_point)>;

  explicit Session(const CommonOptions& options)
      : socket_(options.intf), src_(options.src ? *options.src : deviceMac()) {}

  const Lumen::EthAddr& src() const { return src_; }
  const std::string& device() const { return socket_.device(); }
  // The kernel's receive time of the frame a sink is being given; zero where it gave none.
  const timespec& rxTime() const { return socket_.rxTime(); }

  // With `sentAt`, the kernel's time of the frame's leaving, where it gives one; zero else.
  void send(const FrameBytes& frame, timespec* sentAt = nullptr) {
    if (!socket_.send(frame, {.sentAt = sentAt})) throwErrno("cannot send on " + device());
  }

  // The device's MTU: what a frame carries after its Ethernet header and tag.
  std::size_t mtu() const {
    ifreq request{};
    std::strncpy(request.ifr_name, device().c_str(), IFNAMSIZ - 1);
    if (::ioctl(socket_.fd(), SIOCGIFMTU, &request) < 0) throwErrno("cannot read the MTU of " + device());
    return std::size_t(request.ifr_mtu);
  }

  // Hands each received frame to `sink` until `deadline`, a stop signal, or `done()`
  // holds. Without a sink, frames are left to the kernel, which drops what does not fit.
  void waitUntil(Clock::time_point deadline, const StopSignals& signals, const Sink& sink,
                 const std::function<bool()>& done = [] { return false; }) {
    while (!signals.stopped() && !done()) {
      const auto now = Clock::now();
      if (now >= deadline) return;
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
      const timespec timeout{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
      pollfd readable{socket_.fd(), POLLIN, 0};
      const int ready = ::ppoll(sink ? &readable : nullptr, sink ? 1 : 0, &timeout,
                                &signals.waitMask());
      if (ready < 0) {
        if (errno == EINTR) continue;
        throwErrno("cannot wait on " + device());
      }
      if (ready > 0 && sink) {
        socket_.receive(
            [&](std::span<const std::uint8_t> frame) { sink(frame, Clock::now()); },
            Interface::AfPacketSocket::kBatchFrames);
      }
    }
  }

 private:
  Lumen::EthAddr deviceMac() const {
    ifreq request{};
    std::strncpy(request.ifr_name, device().c_str(), IFNAMSIZ - 1);
    if (::ioctl(socket_.fd(), SIOCGIFHWADDR, &request) < 0) {
      throwErrno("cannot read the MAC address of " + device());
    }
    const auto mac =
        Lumen::EthAddr::fromBytes(reinterpret_cast<const std::uint8_t*>(request.ifr_hwaddr.sa_data));
    if (request.ifr_hwaddr.sa_family != ARPHRD_ETHER || mac.isZero()) {
      throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                              device() + " has no Ethernet MAC address; give --src");
    }
    return mac;
  }

  Interface::AfPacketSocket socket_;
  Lumen::EthAddr src_;
};

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string vlanText(const CommonOptions& o) {
  return o.vlan ? ", vlan " + std::to_string(*o.vlan) : "";
}

// Ids start at a random point so that two runs on one device tell their replies apart.
std::uint32_t randomTransactionId() { return std::random_device()(); }

// Runs `command`, turning a system error into its message and exit status 2.
int guarded(const char* name, std::ostream& err, const std::function<int()>& command) {
  try {
    return command();
  } catch (const std::exception& e) {
    err << "cfmtool " << name << ": " << e.what() << std::endl;
    return 2;
  }
}

// Refused before anything is sent: the kernel would refuse each message anyway.
void checkFitsMtu(const Session& session, const PingOptions& o, std::size_t frameBytes) {
  const std::size_t maxBytes =
      session.mtu() + sizeof(Lumen::EthHdr) + (o.vlan ? sizeof(Lumen::Eth8021QHdr) : 0);
  if (frameBytes <= maxBytes) return;
  throw std::invalid_argument("--size: " + std::to_string(o.size) + " data bytes do not fit the MTU of " +
                              session.device() + " (at most " +
                              std::to_string(o.size - std::min(o.size, frameBytes - maxBytes)) + ")");
}

// Sends `o.count` messages `o.interval` apart by `sendOne(i)`, handing what arrives
// meanwhile to `onFrame`, then waits up to `o.timeout` for the replies still missing, until
// `allAnswered()`. A stop signal ends both.
void probe(Session& session, const StopSignals& signals, const PingOptions& o,
           const std::function<void(std::uint32_t)>& sendOne, const Session::Sink& onFrame,
           const std::function<bool()>& allAnswered) {
  const auto start = Clock::now();
  for (std::uint32_t sent = 0; sent < o.count && !signals.stopped(); ++sent) {
    sendOne(sent);
    if (sent + 1 < o.count) {
      session.waitUntil(start + seconds(o.interval) * (sent + 1), signals, onFrame);
    } else {
      session.waitUntil(Clock::now() + seconds(o.timeout), signals, onFrame, allAnswered);
    }
  }
}

PmTime realtimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return PmTime::of(now);
}

}  // namespace

int runPing(const PingOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("ping", err, [&] {
    StopSignals signals;
    Session session(o);
    const std::uint32_t first = randomTransactionId();
    const L2Header l2{o.dst, session.src(), o.vlan};
    const ReplyFilter filter{session.src(), o.dst, o.vlan, o.level, first, o.count};
    checkFitsMtu(session, o, lbmFrame(l2, o.level, first, o.size).size());

    out << "CFM PING " << o.dst << " from " << session.src() << " on " << session.device()
        << ", level " << unsigned(o.level) << vlanText(o) << ": " << o.size
        << " data bytes, transaction ids from " << first << std::endl;

    PingStats stats;
    std::vector<Clock::time_point> sentAt;
    std::vector<bool> answered;
    sentAt.reserve(o.count);
    const auto onFrame = [&](std::span<const std::uint8_t> frame, Clock::time_point at) {
      const auto parsed = parseLoopbackReply(frame, filter);
      if (!parsed.reply) return;
      const std::uint32_t index = parsed.reply->transactionId - first;
      if (index >= sentAt.size()) return;  // not sent by this run
      const double ms = millisecondsBetween(sentAt[index], at);
      const bool duplicate = answered[index];
      out << pingReplyLine(parsed.reply->pduBytes, parsed.reply->src, index + 1, ms, duplicate)
          << std::endl;
      if (duplicate) return;
      answered[index] = true;
      stats.replyIs(ms);
    };
    const auto sendOne = [&](std::uint32_t i) {
      const FrameBytes frame = lbmFrame(l2, o.level, first + i, o.size);
      sentAt.push_back(Clock::now());
      answered.push_back(false);
      session.send(frame);
      stats.transmittedInc();
    };
    probe(session, signals, o, sendOne, onFrame, [&] { return stats.received() == stats.transmitted(); });
    out << "\n" << stats.summary(o.dst) << std::flush;
    return stats.received() > 0 ? 0 : 1;
  });
}

int runDmm(const DmmOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("dmm", err, [&] {
    StopSignals signals;
    Session session(o);
    const L2Header l2{o.dst, session.src(), o.vlan};
    const ReplyFilter filter{session.src(), o.dst, o.vlan, o.level};
    checkFitsMtu(session, o, dmmFrame(l2, o.level, {}, o.size).size());

    out << "CFM DMM " << o.dst << " from " << session.src() << " on " << session.device() << ", level "
        << unsigned(o.level) << vlanText(o) << ": " << o.size << " data bytes" << std::endl;

    PingStats stats;
    // The messages not yet answered, by their TxTimeStampf in nanoseconds: a DMR carries
    // no id but that time. Two messages a clock step apart may share one; the reply then
    // answers the earlier. With each, the kernel's send time where it gave one: the delay
    // counts from it, so the time the send call takes is not counted.
    struct Sent {
      std::uint32_t seq = 0;
      PmTime kernelTx;
    };
    // Which times were used, for the summary.
    std::uint32_t kernelSendTimes = 0, kernelReceiveTimes = 0;
    std::unordered_map<std::int64_t, Sent> unanswered;
    const auto onFrame = [&](std::span<const std::uint8_t> frame, Clock::time_point) {
      const timespec& kernel = session.rxTime();
      const PmTime receivedAt = kernel.tv_sec != 0 ? PmTime::of(kernel) : realtimeNow();
      auto parsed = parseDelayReply(frame, filter);
      if (!parsed.reply) return;
      const auto sent = unanswered.find(parsed.reply->dmr.txTimeStampf().ns());
      if (sent == unanswered.end()) return;  // not ours, or answered before
      const std::uint32_t seq = sent->second.seq;
      if (!sent->second.kernelTx.isZero()) parsed.reply->dmr.txTimeStampfIs(sent->second.kernelTx);
      kernelSendTimes += !sent->second.kernelTx.isZero();
      kernelReceiveTimes += kernel.tv_sec != 0;
      unanswered.erase(sent);
      parsed.reply->dmr.rxTimeStampbIs(receivedAt);
      const double ms = double(twoWayDelayNs(parsed.reply->dmr)) / 1e6;
      out << dmrReplyLine(parsed.reply->src, seq, ms) << std::endl;
      stats.replyIs(ms);
    };
    const auto sendOne = [&](std::uint32_t i) {
      const PmTime now = realtimeNow();
      timespec sentAt{};
      session.send(dmmFrame(l2, o.level, now, o.size), &sentAt);
      unanswered.emplace(now.ns(), Sent{i + 1, PmTime::of(sentAt)});
      stats.transmittedInc();
    };
    probe(session, signals, o, sendOne, onFrame, [&] { return unanswered.empty(); });
    out << "\n" << stats.delaySummary(o.dst);
    if (stats.received() > 0) {
      // Which clock readings the delays came from: the kernel's software timestamps, or,
      // where it gave none, cfmtool's own just before the send and on receipt.
      out << "timestamps: kernel send " << kernelSendTimes << "/" << stats.received() << ", kernel receive "
          << kernelReceiveTimes << "/" << stats.received() << "\n";
    }
    out << std::flush;
    return stats.received() > 0 ? 0 : 1;
  });
}

int runSlm(const SlmOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("slm", err, [&] {
    StopSignals signals;
    Session session(o);
    const std::uint32_t testId = o.testId ? *o.testId : randomTransactionId();
    const L2Header l2{o.dst, session.src(), o.vlan};
    ReplyFilter filter{session.src(), o.dst, o.vlan, o.level};
    filter.testId = testId;
    filter.sourceMepId = o.sourceMepId;
    checkFitsMtu(session, o, slmFrame(l2, o.level, o.sourceMepId, testId, 1, o.size).size());

    out << "CFM SLM " << o.dst << " from " << session.src() << " on " << session.device() << ", level "
        << unsigned(o.level) << vlanText(o) << ": " << o.size << " data bytes, test id " << testId
        << ", MEP id " << o.sourceMepId << std::endl;

    LossStats stats;
    std::vector<bool> answered;  // by TxFCf - 1
    answered.reserve(o.count);
    const auto onFrame = [&](std::span<const std::uint8_t> frame, Clock::time_point) {
      const auto parsed = parseLossReply(frame, filter);
      if (!parsed.reply) return;
      const LossReply& r = *parsed.reply;
      const std::uint32_t index = r.txFcf - 1;
      if (index >= answered.size()) return;  // not sent by this run
      const bool duplicate = answered[index];
      out << slrReplyLine(r.src, r.txFcf, r.txFcb, duplicate) << std::endl;
      if (duplicate) return;
      answered[index] = true;
      stats.replyIs(r.txFcf, r.txFcb);
    };
    const auto sendOne = [&](std::uint32_t i) {
      answered.push_back(false);
      session.send(slmFrame(l2, o.level, o.sourceMepId, testId, i + 1, o.size));
      stats.transmittedInc();
    };
    probe(session, signals, o, sendOne, onFrame, [&] { return stats.received() == stats.transmitted(); });
    out << "\n" << stats.summary(o.dst) << std::flush;
    return stats.received() > 0 ? 0 : 1;
  });
}

int runTrace(const TraceOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("trace", err, [&] {
    StopSignals signals;
    Session session(o);
    const std::uint32_t transactionId = randomTransactionId();
    const ReplyFilter filter{session.src(), std::nullopt, o.vlan, o.level, transactionId, 1};

    out << "CFM TRACE to " << o.target << " from " << session.src() << " on "
        << session.device() << ", level " << unsigned(o.level) << vlanText(o) << ", ttl "
        << unsigned(o.ttl) << ", transaction id " << transactionId << std::endl;

    std::vector<LinktraceReply> replies;
    session.send(ltmFrame({Cfm::ltmGroupAddr(Cfm::MdLevel(o.level)), session.src(), o.vlan}, o.level,
                          transactionId, o.ttl, o.target));
    session.waitUntil(Clock::now() + seconds(o.timeout), signals,
                      [&](std::span<const std::uint8_t> frame, Clock::time_point) {
                        auto parsed = parseLinktraceReply(frame, filter);
                        if (parsed.reply) replies.push_back(*parsed.reply);
                      });
    if (replies.empty()) {
      out << "no linktrace replies" << std::endl;
      return 1;
    }
    out << traceReport(replies) << replies.size() << (replies.size() == 1 ? " reply" : " replies")
        << std::endl;
    return 0;
  });
}

int runCcm(const CcmOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("ccm", err, [&] {
    StopSignals signals;
    Session session(o);
    const L2Header l2{Cfm::ccmGroupAddr(Cfm::MdLevel(o.level)), session.src(), o.vlan};
    CcmFields fields{o.level, 1, o.mepId, Cfm::ccmIntervalCode(Cfm::CcmTxInterval(o.interval)), o.mdName, o.maName};

    out << "CFM CCM to " << l2.dst << " from " << session.src() << " on " << session.device()
        << ", level " << unsigned(o.level) << vlanText(o) << ", MD '"
        << o.mdName.stringValue() << "', MA '" << o.maName.stringValue() << "', MEP id "
        << o.mepId << ", every " << o.interval << " s (interval field "
        << unsigned(fields.intervalCode) << ")" << std::endl;

    std::uint32_t sent = 0;
    const auto start = Clock::now();
    while (!signals.stopped() && (!o.count || sent < *o.count)) {
      session.send(ccmFrame(l2, fields));
      ++sent;
      ++fields.sequenceNumber;
      if (o.count && sent == *o.count) break;
      session.waitUntil(start + seconds(o.interval) * sent, signals, nullptr);
    }
    out << sent << (sent == 1 ? " CCM" : " CCMs") << " sent" << std::endl;
    return 0;
  });
}

int runListen(const ListenOptions& o, std::ostream& out, std::ostream& err) {
  return guarded("listen", err, [&] {
    StopSignals signals;
    Session session(o);
    out << "CFM LISTEN on " << session.device() << std::endl;
    std::uint32_t heard = 0;
    session.waitUntil(
        Clock::now() + seconds(o.timeout), signals,
        [&](std::span<const std::uint8_t> frame, Clock::time_point) {
          if (o.count && heard == *o.count) return;
          if (const auto line = describeFrame(frame)) {
            out << *line << std::endl;
            ++heard;
          }
        },
        [&] { return o.count && heard == *o.count; });
    return heard > 0 && (!o.count || heard == *o.count) ? 0 : 1;
  });
}

}  // namespace CfmTool
