#pragma once
// What cfmtool prints: the reply lines and summaries of ping, dmm and slm, in the shape of
// ping's, and trace's replies in the shape of traceroute's.

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
  // dmm's: "--- MAC cfm dmm statistics ---", the same loss line and, when a reply came,
  // "delay min/avg/max/mdev = a/b/c/d ms".
  std::string delaySummary(const Lumen::EthAddr& dst) const;

 private:
  std::string lossLines(const Lumen::EthAddr& dst, const char* command) const;

  std::uint32_t transmitted_ = 0;
  std::uint32_t received_ = 0;
  double minMs_ = 0, maxMs_ = 0, sumMs_ = 0, sumSquaresMs_ = 0;
};

// "DMR from 00:1c:73:00:00:02: seq=3 delay=0.412 ms".
std::string dmrReplyLine(const Lumen::EthAddr& from, std::uint32_t seq, double ms);
// "SLR from 00:1c:73:00:00:02: txfcf=3 txfcb=2", with " (DUP!)" for a second reply to one
// message.
std::string slrReplyLine(const Lumen::EthAddr& from, std::uint32_t txFcf, std::uint32_t txFcb, bool duplicate);

// Synthetic loss as Y.1731 measures it over a test: from the counters of its first and last
// replies (by TxFCf), the SLMs the responder missed (far end) and the SLRs that did not
// come back (near end), each against the frames sent in that stretch.
class LossStats {
 public:
  void transmittedInc() { ++transmitted_; }
  // A reply not seen before.
  void replyIs(std::uint32_t txFcf, std::uint32_t txFcb);

  std::uint32_t transmitted() const { return transmitted_; }
  std::uint32_t received() const { return received_; }

  // "--- MAC cfm slm statistics ---", "N transmitted, M received" and "far-end loss X%,
  // near-end loss Y%"; with fewer than two replies there is no stretch to measure over, and
  // the last line says so.
  std::string summary(const Lumen::EthAddr& dst) const;

 private:
  struct Counters {
    std::uint32_t txFcf = 0, txFcb = 0;
  };
  std::uint32_t transmitted_ = 0;
  std::uint32_t received_ = 0;
  Counters first_, last_;
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
