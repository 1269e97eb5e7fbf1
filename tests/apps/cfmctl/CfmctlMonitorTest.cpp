// cfmctl monitor against a daemon the test plays: the request it sends, each line it prints
// as it comes, and how it ends.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>

#include "apps/control/ControlSocket.h"
#include "tests/support/Process.h"
#include "tests/support/Scratch.h"

namespace {

TEST(CfmctlMonitorTest, PrintsEachLineAsItComesUntilInterruptedOrTheDaemonGoes) {
  TestSupport::ScratchDir dir;
  const std::string path = dir / "control.sock";
  const sockaddr_un addr = *Control::address(path);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  const std::string event = R"({"event":"faultAlarmRaised","time":1796625001.25,"mdLevel":"3","maName":"ma1",)"
                            R"("mepId":"100","defect":"remoteCcm"})" "\n";
  // cfmctl's arguments and request, the daemon's lines, how it ends (SIGINT or the
  // daemon closing), then its status and output.
  const std::tuple<std::vector<std::string>, std::string, std::string, int, int, std::string> cases[] = {
      {{}, R"({"op":"monitor"})", "{\"ok\":true}\n" + event + "{\"missed\":5}\n" + event, SIGINT, 0,
       "2026-12-07 06:30:01.250 UTC MEP 3/ma1/100: fault alarm raised (remoteCcm)\n(missed 5 events)\n"
       "2026-12-07 06:30:01.250 UTC MEP 3/ma1/100: fault alarm raised (remoteCcm)\n"},
      {{"--json", "--mep", "3/ma1/100"}, R"({"mep":"3/ma1/100","op":"monitor"})",
       "{\"ok\":true}\n{\"missed\":1}\n" + event, 0, 3,
       "{\"missed\":1}\n" + event + "cfmctl: cfmagentd closed the monitor at " + path + "\n"}};
  for (const auto& [args, request, lines, stop, status, output] : cases) {
    std::vector<std::string> command{CFMCTL, "--socket", path, "monitor"};
    command.insert(command.end(), args.begin(), args.end());
    E2e::Background cfmctl(command);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    char received[256];
    EXPECT_EQ(std::string(received, std::size_t(std::max<ssize_t>(0, ::read(fd, received, sizeof received)))),
              request + "\n");
    EXPECT_EQ(::write(fd, lines.data(), lines.size()), ssize_t(lines.size()));
    if (stop) {
      EXPECT_TRUE(cfmctl.waitFor(output, 10)) << cfmctl.output();
      cfmctl.signal(stop);
    }
    ::close(fd);
    EXPECT_EQ(cfmctl.wait(), status);
    EXPECT_EQ(cfmctl.output(), output);
  }
  ::close(listener);
}

}  // namespace
