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
//
// A thread of its own writes them, so that the event loop never waits for journald or a
// slow reader of stderr, nor spends a thousand MEPs' failure on system calls while their
// remote MEPs' timeouts are due. What cannot be written, or queued, is counted, and the log
// says how many where they went missing: "<4>cfmagentd: 12 events not logged".

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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

  // Events queued beyond `queueLimit` are dropped, and counted.
  explicit EventLog(Mode mode = Mode::detect, int fd = 2, std::size_t queueLimit = 4096);
  // Writes what is queued first.
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Queues one event for the log's thread and returns. Never throws. A line that the stream
  // does not take at once is dropped, and counted.
  void event(const nlohmann::json& event) noexcept;
  // Returns once every event queued before it was written or counted.
  void flush();

  bool toJournal() const { return journal_; }

 private:
  struct Entry {
    nlohmann::json event;
    std::size_t missedBefore;  // events not queued between the one before and this one
  };
  void run();
  // False when the line was not written.
  bool write(const nlohmann::json& event);
  bool writeMissed(std::size_t count);

  const bool journal_;
  const int fd_;
  const std::size_t queueLimit_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Entry> queue_;
  std::size_t missed_ = 0;
  bool writing_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest is there
};

}  // namespace Cfmagentd
