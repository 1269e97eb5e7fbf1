#include "apps/cfmagentd/EventLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <regex>
#include <set>
#include <sstream>

#include "apps/runner/Events.h"

namespace {

using Cfm::MepDefect;
using Cfmagentd::EventLog;
using Kind = SoftAle::EventKind;
using nlohmann::json;

json eventOf(Kind kind, std::uint16_t remote = 0, MepDefect defect = MepDefect::none) {
  SoftAle::Event event;
  event.kind = kind;
  event.time = 1796625001.25;
  event.mdLevel = Cfm::MdLevel(3);
  event.maName = Cfm::MaName("ma 1");
  event.mepId = Cfm::MepId(100);
  event.remoteMepId = remote ? Cfm::MepId(remote) : Cfm::MepId();
  event.defect = defect;
  if (kind == Kind::pmThresholdCrossed) {
    event.pmSession = "delay";
    event.pmFigure = "delayP99";
    event.pmValue = 2'500'000;
    event.pmThreshold = 2'000'000;
  }
  return Runner::eventJson(event);
}

TEST(EventLogTest, EachKindHasItsPriorityMessageIdAndFields) {
  // The ids are pinned: journal queries outlive builds.
  const struct {
    Kind kind;
    std::uint16_t remote;
    MepDefect defect;
    int priority;
    std::string id;
  } cases[] = {
      {Kind::mepCreated, 0, MepDefect::none, 6, "98462c50d1b044d394929a3eb80e591d"},
      {Kind::mepRemoved, 0, MepDefect::none, 6, "c693635356d5452fa43f717706a6bb65"},
      {Kind::defectRaised, 0, MepDefect::errorCcm, 4, "bef3b13ebfb0470e8891985f46cd8418"},
      {Kind::defectCleared, 0, MepDefect::errorCcm, 6, "8b9e840b36fc4c2c9242877e40b4bd41"},
      {Kind::faultAlarmRaised, 0, MepDefect::remoteCcm, 2, "9594200e794f41549bad828297984a3f"},
      {Kind::faultAlarmCleared, 0, MepDefect::remoteCcm, 6, "a3169886477a49c48123d8e914afb108"},
      {Kind::remoteMepFailed, 7, MepDefect::none, 4, "fd140528188147f8a790ae02a704dcef"},
      {Kind::remoteMepOk, 7, MepDefect::none, 6, "c65eea44badf4293822bb0a4b4f021a5"},
      {Kind::pmThresholdCrossed, 0, MepDefect::none, 4, "3b894a54941d4ab196961fb196c3177f"},
  };
  for (const auto& c : cases) {
    const json event = eventOf(c.kind, c.remote, c.defect);
    const std::string message = Runner::eventMessage(event), priority = std::to_string(c.priority);
    std::set<std::string> expected = {"MESSAGE=" + message, "PRIORITY=" + priority, "MESSAGE_ID=" + c.id,
                                      "SYSLOG_IDENTIFIER=cfmagentd", "CFM_EVENT=" + event["event"].get<std::string>(),
                                      "CFM_LEVEL=3", "CFM_MA=ma 1", "CFM_MEPID=100"};
    if (c.remote) expected.insert("CFM_RMEPID=7");
    if (c.defect != MepDefect::none) expected.insert("CFM_DEFECT=" + Cfm::stringValue(c.defect));
    if (c.kind == Kind::pmThresholdCrossed) {
      expected.insert({"CFM_PM_SESSION=delay", "CFM_PM_FIGURE=delayP99"});
      EXPECT_EQ(message, "MEP 3/ma 1/100: pm session delay: delayP99 2.500 ms over its threshold 2.000 ms");
    }
    const auto fields = Cfmagentd::journalFields(event);
    EXPECT_EQ(std::set<std::string>(fields.begin(), fields.end()), expected) << event;
    EXPECT_EQ(fields.size(), expected.size()) << event;
    EXPECT_EQ(Cfmagentd::eventLine(event), "<" + priority + ">cfmagentd: " + message + "\n");
  }
}

// JOURNAL_STREAM names stderr's device and inode when journald holds it, and nothing else.
TEST(EventLogTest, JournalStreamNamesTheFdItself) {
  struct stat st {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  for (const auto& [value, journal] : {std::pair{dev + ":" + ino, true}, {dev + ":" + ino + "0", false},
                                       {dev + ":" + ino + ":", false}, {":" + ino, false}, {dev, false}})
    EXPECT_EQ(Cfmagentd::isJournalStream(value.c_str(), STDERR_FILENO), journal) << value;
  EXPECT_FALSE(Cfmagentd::isJournalStream(nullptr, STDERR_FILENO));
}

// A reader that does not keep up loses the line rather than stall the loop; one that is gone
// does not end the daemon by SIGPIPE.
TEST(EventLogTest, AStreamGetsTheLineOnlyWhenItTakesItAtOnce) {
  for (const auto& [full, readerGone] : std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {false, true}}) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    while (full && ::write(fds[1], "x", 1) == 1) {
    }
    ::fcntl(fds[1], F_SETFL, 0);  // as stderr is: blocking
    if (readerGone) ::close(fds[0]);
    std::string got;
    const auto drain = [&, gone = readerGone] {
      char buf[4096];
      for (ssize_t n; !gone && (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, std::size_t(n));
    };
    EventLog log(EventLog::Mode::stream, fds[1]);
    auto logged = std::async(std::launch::async, [&] {
      log.event(eventOf(Kind::remoteMepFailed, 7));
      log.flush();
    });
    EXPECT_EQ(logged.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "full " << full;
    drain();  // lets a write that waited end, so that the test ends either way
    logged.wait();
    drain();
    EXPECT_EQ(got.find("<4>cfmagentd: MEP 3/ma 1/100: remote MEP 7 failed\n") != std::string::npos,
              !full && !readerGone);
    if (full) {  // the line refused is counted before the next one
      log.event(eventOf(Kind::remoteMepFailed, 8));
      log.flush();
      drain();
      EXPECT_NE(got.find("<4>cfmagentd: 1 event not logged\n<4>cfmagentd: MEP 3/ma 1/100: remote MEP 8 failed\n"),
                std::string::npos) << got;
    }
    ::close(fds[1]);
    if (!readerGone) ::close(fds[0]);
  }
}

// Every event is written, in order, or counted in its place: the count of those a full
// queue turned away comes before the next line written, or last.
TEST(EventLogTest, WhatIsNotQueuedIsCountedInItsPlace) {
  for (const std::size_t limit : {std::size_t(1), std::size_t(4096)}) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    ASSERT_GE(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);  // room for every line
    constexpr int events = 3000;
    {
      EventLog log(EventLog::Mode::stream, fds[1], limit);
      for (int remote = 1; remote <= events; ++remote) log.event(eventOf(Kind::remoteMepFailed, std::uint16_t(remote)));
    }
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, std::size_t(n));
    int next = 1, written = 0;
    std::istringstream lines(got);
    const std::regex line("<4>cfmagentd: (MEP 3/ma 1/100: remote MEP ([0-9]+) failed|([0-9]+) events? not logged)");
    std::smatch m;
    for (std::string text; std::getline(lines, text);) {
      ASSERT_TRUE(std::regex_match(text, m, line)) << text;
      if (m[3].matched) next += std::stoi(m[3]);
      if (m[2].matched) {
        ASSERT_EQ(std::stoi(m[2]), next++) << "limit " << limit;
        ++written;
      }
    }
    EXPECT_EQ(next, events + 1) << "limit " << limit;
    EXPECT_GE(written, std::min<int>(events, int(limit))) << "limit " << limit;
    ::close(fds[0]), ::close(fds[1]);
  }
}

}  // namespace
