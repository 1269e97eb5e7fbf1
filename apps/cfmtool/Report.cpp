#include "apps/cfmtool/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "platform/cfm/LinktraceWire.h"

namespace CfmTool {

namespace {

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string actionName(std::uint8_t action, const char* prefix) {
  static const char* const names[] = {"OK", "Down", "Blocked", "VID"};
  using Cfm::Action;
  if (action >= Action::min && action <= Action::max) {
    return std::string(prefix) + names[action - Action::min];
  }
  return format("%s(%u)", prefix, unsigned(action));
}

}  // namespace

std::string pingReplyLine(std::size_t bytes, const Lumen::EthAddr& from, std::uint32_t seq,
                          double ms, bool duplicate) {
  return format("%zu bytes from %s: seq=%u time=%.3f ms%s", bytes, from.stringValue().c_str(),
                unsigned(seq), ms, duplicate ? " (DUP!)" : "");
}

void PingStats::replyIs(double ms) {
  minMs_ = received_ == 0 ? ms : std::min(minMs_, ms);
  maxMs_ = received_ == 0 ? ms : std::max(maxMs_, ms);
  sumMs_ += ms;
  sumSquaresMs_ += ms * ms;
  ++received_;
}

std::string PingStats::lossLines(const Lumen::EthAddr& dst, const char* command) const {
  const double loss =
      transmitted_ == 0 ? 0.0 : 100.0 * double(transmitted_ - received_) / transmitted_;
  return "--- " + dst.stringValue() + " cfm " + command + " statistics ---\n" +
         format("%u transmitted, %u received, %g%% loss\n", unsigned(transmitted_), unsigned(received_), loss);
}

std::string PingStats::summary(const Lumen::EthAddr& dst) const {
  std::string text = lossLines(dst, "ping");
  if (received_ > 0) {
    text += format("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", minMs_, sumMs_ / received_, maxMs_);
  }
  return text;
}

std::string PingStats::delaySummary(const Lumen::EthAddr& dst) const {
  std::string text = lossLines(dst, "dmm");
  if (received_ > 0) {
    const double mean = sumMs_ / received_;
    // Rounding can take the variance of equal delays a hair below zero.
    const double mdev = std::sqrt(std::max(0.0, sumSquaresMs_ / received_ - mean * mean));
    text += format("delay min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", minMs_, mean, maxMs_, mdev);
  }
  return text;
}

std::string dmrReplyLine(const Lumen::EthAddr& from, std::uint32_t seq, double ms) {
  return format("DMR from %s: seq=%u delay=%.3f ms", from.stringValue().c_str(), unsigned(seq), ms);
}

std::string slrReplyLine(const Lumen::EthAddr& from, std::uint32_t txFcf, std::uint32_t txFcb, bool duplicate) {
  return format("SLR from %s: txfcf=%u txfcb=%u%s", from.stringValue().c_str(), unsigned(txFcf), unsigned(txFcb),
                duplicate ? " (DUP!)" : "");
}

void LossStats::replyIs(std::uint32_t txFcf, std::uint32_t txFcb) {
  // A late reply may arrive after a later one; the stretch runs between the lowest TxFCf and
  // the highest, each with the responder's count at that point.
  if (received_ == 0 || txFcf < first_.txFcf) first_ = {txFcf, txFcb};
  if (received_ == 0 || txFcf > last_.txFcf) last_ = {txFcf, txFcb};
  ++received_;
}

std::string LossStats::summary(const Lumen::EthAddr& dst) const {
  std::string text = "--- " + dst.stringValue() + " cfm slm statistics ---\n" +
                     format("%u transmitted, %u received\n", unsigned(transmitted_), unsigned(received_));
  if (received_ < 2) return text + "no loss ratios: they need two replies\n";
  // Unsigned differences: a responder's count may wrap past 2^32 - 1 during the test.
  const std::uint32_t sent = last_.txFcf - first_.txFcf, answered = last_.txFcb - first_.txFcb;
  const std::uint32_t back = received_ - 1;
  // A responder that counts a duplicated SLM, or a duplicated SLR counted here, can make
  // more arrive than left: that is no loss, not a negative one.
  const auto ratio = [](std::uint32_t frames, std::uint32_t arrived) {
    return frames == 0 || arrived >= frames ? 0.0 : 100.0 * double(frames - arrived) / frames;
  };
  return text + format("far-end loss %g%%, near-end loss %g%%\n", ratio(sent, answered), ratio(answered, back));
}

std::string relayActionName(std::uint8_t action) {
  using Cfm::RelayAction;
  switch (action) {
    case RelayAction::rlyHit: return "RlyHit";
    case RelayAction::rlyFdb: return "RlyFDB";
    case RelayAction::rlyMpdb: return "RlyMPDB";
  }
  return format("Rly(%u)", unsigned(action));
}

std::string ingressActionName(std::uint8_t action) { return actionName(action, "Ing"); }

std::string egressActionName(std::uint8_t action) { return actionName(action, "Egr"); }

std::string traceReport(std::vector<LinktraceReply> replies) {
  std::stable_sort(replies.begin(), replies.end(),
                   [](const auto& a, const auto& b) { return a.replyTtl > b.replyTtl; });
  std::string text;
  for (const LinktraceReply& r : replies) {
    text += format("%3u  %s  %-7s", unsigned(r.replyTtl), r.src.stringValue().c_str(),
                   relayActionName(r.relayAction).c_str());
    if (r.ingress) {
      text += "  ingress " + r.ingress->mac.stringValue() + " " +
              ingressActionName(r.ingress->action);
    }
    if (r.egress) {
      text += "  egress " + r.egress->mac.stringValue() + " " + egressActionName(r.egress->action);
    }
    if (r.fwdYes) text += "  FwdYes";
    if (r.terminalMep) text += "  TerminalMEP";
    text += "\n";
  }
  return text;
}

}  // namespace CfmTool
