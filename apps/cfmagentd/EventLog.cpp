#include "apps/cfmagentd/EventLog.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
// Without it every entry would name this file and line (CODE_FILE=...): the same for all of
// them, and the build's path at that.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "apps/runner/Events.h"

namespace Cfmagentd {

using nlohmann::json;

namespace {

struct KindEntry {
  std::string_view kind;
  const char* prefix;  // sd-daemon(3)'s "<N>"
  // Operators and their tools select on these in the journal: once released, never changed.
  std::string_view messageId;
};

// A remote MEP that fails is a warning, not an error: the defect it raises says the same as
// a warning, and the fault alarm that follows (if the defect ranks high enough) is what is
// critical. A peer that is still starting fails this way too, and that is not an error.
constexpr std::array<KindEntry, 9> kinds{{
    {"mepCreated", SD_INFO, "98462c50d1b044d394929a3eb80e591d"},
    {"mepRemoved", SD_INFO, "c693635356d5452fa43f717706a6bb65"},
    {"defectRaised", SD_WARNING, "bef3b13ebfb0470e8891985f46cd8418"},
    {"defectCleared", SD_INFO, "8b9e840b36fc4c2c9242877e40b4bd41"},
    {"faultAlarmRaised", SD_CRIT, "9594200e794f41549bad828297984a3f"},
    {"faultAlarmCleared", SD_INFO, "a3169886477a49c48123d8e914afb108"},
    {"remoteMepFailed", SD_WARNING, "fd140528188147f8a790ae02a704dcef"},
    {"remoteMepOk", SD_INFO, "c65eea44badf4293822bb0a4b4f021a5"},
    {"pmThresholdCrossed", SD_WARNING, "3b894a54941d4ab196961fb196c3177f"},
}};

// A kind this build does not know (a newer layer's) is still worth a look.
constexpr const char* unknownKindPrefix = SD_NOTICE;

const KindEntry* entryOf(std::string_view kind) {
  for (const auto& entry : kinds) {
    if (entry.kind == kind) return &entry;
  }
  return nullptr;
}

std::string_view kindOf(const json& event) {
  if (!event.is_object()) return {};
  const auto it = event.find("event");
  return it != event.end() && it->is_string() ? std::string_view(it->get_ref<const std::string&>())
                                              : std::string_view();
}

const char* prefixOf(const json& event) {
  const KindEntry* entry = entryOf(kindOf(event));
  return entry ? entry->prefix : unknownKindPrefix;
}

std::optional<std::string> stringField(const json& event, const char* key) {
  if (!event.is_object()) return std::nullopt;
  const auto it = event.find(key);
  if (it == event.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// Writes `line` only when `fd` takes it now: a slow reader must not hold the events after
// it, and a reader that is gone must not end the daemon by SIGPIPE.
bool writeNow(int fd, const std::string& line) {
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
  const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0 || errno != ENOTSOCK) return sent == ssize_t(line.size());
  // A pipe or terminal with room takes a line this short (far below PIPE_BUF) without waiting.
  return ::write(fd, line.data(), line.size()) == ssize_t(line.size());
}

bool sendToJournal(const std::vector<std::string>& fields) {
  std::vector<iovec> iov;
  iov.reserve(fields.size());
  for (const auto& f : fields) iov.push_back({const_cast<char*>(f.data()), f.size()});
  // One datagram to journald's socket. It waits while journald's queue is full: the log's
  // thread waits, not the loop.
  return sd_journal_sendv(iov.data(), int(iov.size())) >= 0;
}

std::string missedMessage(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " event" : " events") + " not logged";
}

}  // namespace

int eventPriority(std::string_view kind) {
  const KindEntry* entry = entryOf(kind);
  return (entry ? entry->prefix : unknownKindPrefix)[1] - '0';
}

std::vector<std::string> journalFields(const json& event) {
  const std::string_view kind = kindOf(event);
  std::vector<std::string> fields{
      "MESSAGE=" + Runner::eventMessage(event),
      "PRIORITY=" + std::to_string(eventPriority(kind)),
  };
  if (const KindEntry* entry = entryOf(kind)) fields.push_back("MESSAGE_ID=" + std::string(entry->messageId));
  fields.emplace_back("SYSLOG_IDENTIFIER=cfmagentd");
  static constexpr std::array<std::pair<const char*, const char*>, 8> keys{{
      {"CFM_EVENT", "event"},
      {"CFM_LEVEL", "mdLevel"},
      {"CFM_MA", "maName"},
      {"CFM_MEPID", "mepId"},
      {"CFM_RMEPID", "remoteMepId"},
      {"CFM_DEFECT", "defect"},
      {"CFM_PM_SESSION", "session"},
      {"CFM_PM_FIGURE", "figure"},
  }};
  for (const auto& [field, key] : keys) {
    if (auto value = stringField(event, key)) fields.push_back(std::string(field) + "=" + *value);
  }
  return fields;
}

std::string eventLine(const json& event) {
  return std::string(prefixOf(event)) + "cfmagentd: " + Runner::eventMessage(event) + "\n";
}

bool isJournalStream(const char* journalStream, int fd) {
  if (journalStream == nullptr) return false;
  const std::string_view text(journalStream);
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto number = [](std::string_view digits) -> std::optional<std::uint64_t> {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
  };
  const auto dev = number(text.substr(0, colon));
  const auto ino = number(text.substr(colon + 1));
  struct stat st {};
  if (!dev || !ino || ::fstat(fd, &st) < 0) return false;
  return std::uint64_t(st.st_dev) == *dev && std::uint64_t(st.st_ino) == *ino;
}

EventLog::EventLog(Mode mode, int fd, std::size_t queueLimit)
    // The variable stays set for whatever the service starts, whatever became of its
    // stderr; only the stream it names is journald's.
    : journal_(mode == Mode::journal || (mode == Mode::detect && isJournalStream(std::getenv("JOURNAL_STREAM"), fd))),
      fd_(fd),
      queueLimit_(queueLimit),
      thread_([this] { run(); }) {}

EventLog::~EventLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void EventLog::event(const json& event) noexcept {
  bool first = false;
  try {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= queueLimit_) {
      ++missed_;
      return;
    }
    first = queue_.empty();
    queue_.push_back({event, std::exchange(missed_, 0)});
  } catch (...) {
    // Only memory can run out here; the event goes unlogged rather than take the loop down.
    return;
  }
  // The thread takes the queue to its end before it waits again: a storm of events costs
  // one wake-up.
  if (first) wake_.notify_one();
}

void EventLog::flush() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

void EventLog::run() {
  std::size_t unreported = 0;  // missed, and not yet said so
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    lock.unlock();
    unreported += entry.missedBefore;
    if (unreported > 0 && writeMissed(unreported)) unreported = 0;
    if (!write(entry.event)) ++unreported;
    lock.lock();
    writing_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
  unreported += std::exchange(missed_, 0);
  lock.unlock();
  if (unreported > 0) writeMissed(unreported);
}

bool EventLog::write(const json& event) {
  try {
    return journal_ ? sendToJournal(journalFields(event)) : writeNow(fd_, eventLine(event));
  } catch (...) {
    return false;
  }
}

bool EventLog::writeMissed(std::size_t count) {
  try {
    if (journal_) {
      return sendToJournal({"MESSAGE=" + missedMessage(count), "PRIORITY=" + std::to_string(LOG_WARNING),
                            "SYSLOG_IDENTIFIER=cfmagentd"});
    }
    return writeNow(fd_, std::string(SD_WARNING) + "cfmagentd: " + missedMessage(count) + "\n");
  } catch (...) {
    return false;
  }
}

}  // namespace Cfmagentd
