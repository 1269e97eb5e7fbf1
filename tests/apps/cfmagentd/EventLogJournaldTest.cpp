// The event log in journal mode against a real systemd-journald: one of the test's own, in a
// mount namespace whose fresh tmpfs hide the host's journal sockets and files.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "apps/cfmagentd/EventLog.h"
#include "tests/support/Process.h"

namespace {

using nlohmann::json;

const char* const journald = "/lib/systemd/systemd-journald";

// In a child of the test: logs `events` to a journald of its own and returns what journalctl
// reads back (JSON, an entry a line) once it has them all or after 20 s, or why it could not.
std::string logToPrivateJournald(const std::vector<json>& events) {
  if (::unshare(CLONE_NEWNS) < 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
    return std::string("private mount namespace: ") + std::strerror(errno);
  for (const char* dir : {"/run/systemd", "/run/log", "/var/log/journal"}) {
    if (::mount("tmpfs", dir, "tmpfs", 0, nullptr) < 0) return std::string(dir) + ": " + std::strerror(errno);
  }
  ::setenv("SYSTEMD_LOG_TARGET", "console", 1);  // journald's own messages stay off the host's kmsg
  E2e::Background daemon({journald});
  std::string entries;
  auto timedOut = [turns = 0]() mutable {  // 20 ms later; true once 20 s are gone
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ++turns > 1000;
  };
  // Until journald has bound it, the library drops what it sends there.
  while (!std::filesystem::exists("/run/systemd/journal/socket")) {
    if (timedOut()) return "no journald socket: " + daemon.output();
  }
  Cfmagentd::EventLog log(Cfmagentd::EventLog::Mode::journal);
  for (const auto& event : events) log.event(event);
  do {
    entries = E2e::runCommand({"journalctl", "-D", "/run/log/journal", "-o", "json", "SYSLOG_IDENTIFIER=cfmagentd"},
                              "/dev/null").output;
  } while (std::size_t(std::count(entries.begin(), entries.end(), '\n')) < events.size() && !timedOut());
  return entries;
}

TEST(EventLogJournaldTest, EntriesArriveWithTheFieldsSent) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  if (::access(journald, X_OK) != 0) GTEST_SKIP() << journald << " is not installed";
  const json mep = {{"time", 1.5}, {"mdLevel", "3"}, {"maName", "ma\\\\1 x"}, {"mepId", "100"}};
  std::vector<json> events(3, mep);
  events[0]["event"] = "mepCreated";
  events[1].update({{"event", "remoteMepFailed"}, {"remoteMepId", "7"}});
  events[2].update({{"event", "faultAlarmRaised"}, {"defect", "remoteCcm"}});
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string output = logToPrivateJournald(events);
    (void)!::write(pipe[1], output.data(), output.size());
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string output;
  E2e::readInto(pipe[0], output);
  ::close(pipe[0]);
  E2e::reap(child);

  std::istringstream lines(output);
  std::vector<json> entries;
  for (std::string line; std::getline(lines, line);) entries.push_back(json::parse(line, nullptr, false));
  ASSERT_EQ(entries.size(), events.size()) << output;
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(entries[i].value("_TRANSPORT", ""), "journal") << "not the native protocol: " << entries[i];
    // What journald adds itself starts with "_"; all else is ours, and only what we sent.
    json sent = json::object(), arrived = json::object();
    for (const auto& field : Cfmagentd::journalFields(events[i])) {
      sent[field.substr(0, field.find('='))] = field.substr(field.find('=') + 1);
    }
    for (const auto& [key, value] : entries[i].items()) {
      if (key[0] != '_') arrived[key] = value;
    }
    EXPECT_EQ(arrived, sent);
  }
}

}  // namespace
