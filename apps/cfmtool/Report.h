#pragma once
// What cfmtool prints: ping's reply lines and summary, in the shape of ping's, and trace's
// replies in the shape of traceroute's.

#include <cstdint>
#include <string>
#include <vector>

#include "apps/cfmtool/Frames.h"
#include "platform/lumen/Eth.h"

namespace CfmTool {

// "12 bytes from 00:1c:73:00:00:02: seq=3 time=0.412 ms", with " (DUP!)" for a second
// reply to one message.
std::string pingReplyLine(std::size_t bytes, const Lumen::EthAddr& from, std::uint32_t seq,
                          double ms, bool duplicate);

class PingStats {
 public:
  void transmittedInc() { ++transmitted_; }
  void replyIs(double ms);

  std::uint32_t transmitted() const { return transmitted_; }
  std::uint32_t received() const { return received_; }

  // "--- MAC cfm ping statistics ---", "N transmitted, M received, P% loss" and, when a
  // reply came, "rtt min/avg/max = a/b/c ms"; each line ends in a newline.
  std::string summary(const Lumen::EthAddr& dst) const;

 private:
  std::uint32_t transmitted_ = 0;
  std::uint32_t received_ = 0;
  double minMs_ = 0, maxMs_ = 0, sumMs_ = 0;
};

// RlyHit, RlyFDB, RlyMPDB; other codes as "Rly(N)".
std::string relayActionName(std::uint8_t action);
// IngOK, IngDown, IngBlocked, IngVID; EgrOK, EgrDown, EgrBlocked, EgrVID; others as
// "Ing(N)", "Egr(N)".
std::string ingressActionName(std::uint8_t action);
std::string egressActionName(std::uint8_t action);

// One line per reply, highest reply TTL first (replies with one TTL keep their order of
// arrival): TTL, source MAC, relay action, the Reply Ingress and Reply Egress ports when
// present, and the FwdYes and TerminalMEP flags when set.
std::string traceReport(std::vector<LinktraceReply> replies);

}  // namespace CfmTool
