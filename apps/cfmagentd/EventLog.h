#pragma once
// The daemon's log line per software ALE event (the JSON of Runner::eventJson).
//
// When journald reads the daemon's stderr, an event goes to the journal natively, as an
// entry whose fields a query can select on:
//
//   journalctl -u cfmagentd CFM_EVENT=faultAlarmRaised CFM_MA=ma1
//   journalctl MESSAGE_ID=9594200e794f41549bad828297984a3f   (every fault alarm raised)
//
// Otherwise it is a line on stderr with its priority as a prefix, "<2>cfmagentd: MEP
// 3/ma1/100: fault alarm raised (remoteCcm)", which journald and syslog daemons both read.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace Cfmagentd {

// The syslog priority of an event's kind ("faultAlarmRaised", ...): LOG_CRIT and so on.
int eventPriority(std::string_view kind);

// The journal entry of `event`, as "KEY=value" fields.
std::vector<std::string> journalFields(const nlohmann::json& event);

// The stderr line of `event`, its newline included.
std::string eventLine(const nlohmann::json& event);

// Whether `journalStream` (the JOURNAL_STREAM variable, "device:inode", or null) names the
// stream that `fd` still is.
bool isJournalStream(const char* journalStream, int fd);

class EventLog {
 public:
  enum class Mode {
    detect,  // the journal when journald reads stderr, otherwise stderr
    journal,
    stream,  // lines on `fd`
  };

  explicit EventLog(Mode mode = Mode::detect, int fd = 2);

  // Logs one event. Never throws; a line that cannot go out at once is dropped.
  void event(const nlohmann::json& event) noexcept;

  bool toJournal() const { return journal_; }

 private:
  bool journal_;
  int fd_;
};

}  // namespace Cfmagentd
