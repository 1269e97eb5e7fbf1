#pragma once
// The agent's figures for Prometheus (docs/fleet.md): a snapshot copied out of the state
// database on the event loop, and its rendering as the Prometheus text format or
// OpenMetrics, which the scrape's own thread does. Copying is a walk over numbers and a few
// names; formatting is most of a scrape's cost, and must not hold up frames.
//
// Every label is bounded by the configuration or the agent's own lists: interfaces,
// levels 0-8, opcodes 0-5, the agent's counter names, configured MEPs and sessions.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/intf/Pam.h"
#include "platform/orbis/EntityManager.h"
#include "platform/types/CfmAleTypes.h"

namespace Runner {

struct MetricsSnapshot {
  // One entry of the agent's counter tree; `intf` indexes `intfs`.
  struct Counter {
    std::uint32_t intf;
    std::uint8_t level;
    std::uint8_t opCode;
    std::uint8_t id;
    std::uint64_t value;
  };
  struct Socket {
    std::string intf;
    std::uint32_t mtu;
    Interface::Pam::Counters counters;
  };
  struct Database {
    const char* name;
    std::uint64_t entries;
    std::uint64_t limit;
  };
  struct RemoteMep {
    std::uint16_t mepId;
    bool up;
    std::uint64_t flaps;
  };
  // A session's last completed interval; sessions that completed none are left out.
  struct PmSession {
    std::string name;
    Cfm::PmKind kind;
    Cfm::PmIntervalAleStatus interval;
  };
  struct Mep {
    std::uint8_t level;
    std::string ma;  // as nameText() writes it
    std::uint16_t mepId;
    std::string intf;
    bool faultAlarm;
    Cfm::MepDefect highestDefect;
    std::uint64_t ccmsSent;
    std::uint64_t sequenceErrors;
    std::vector<RemoteMep> remoteMeps;
    std::vector<PmSession> pmSessions;
  };

  std::vector<std::string> intfs;
  std::vector<Counter> counters;  // by interface, level, opcode and identifier
  std::vector<Socket> sockets;
  std::vector<Database> databases;
  std::vector<Mep> meps;
};

// Copies what the metrics show out of `manager` and the open sockets of `sockets`.
MetricsSnapshot metricsSnapshot(const Orbis::EntityManager& manager,
                                const std::vector<Kiln::PtrConst<Interface::Pam>>& sockets);

enum class MetricsFormat { prometheus, openMetrics };
// OpenMetrics when `accept` (an HTTP Accept header) names it, as Prometheus's does; else the
// Prometheus text format, which every scraper reads.
MetricsFormat metricsFormatFor(std::string_view accept);
const char* metricsContentType(MetricsFormat format);
// The exposition of `snapshot`; `version` goes to cfm_build_info.
std::string metricsText(const MetricsSnapshot& snapshot, MetricsFormat format, std::string_view version);

}  // namespace Runner
