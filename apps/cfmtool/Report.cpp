#include "apps/cfmtool/Report.h"

#include <algorithm>
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
  ++received_;
}

std::string PingStats::summary(const Lumen::EthAddr& dst) const {
  const double loss =
      transmitted_ == 0 ? 0.0 : 100.0 * double(transmitted_ - received_) / transmitted_;
  std::string text = "--- " + dst.stringValue() + " cfm ping statistics ---\n";
  text += format("%u transmitted, %u received, %g%% loss\n", unsigned(transmitted_),
                 unsigned(received_), loss);
  if (received_ > 0) {
    text += format("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", minMs_, sumMs_ / received_, maxMs_);
  }
  return text;
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
