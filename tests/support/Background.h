#pragma once
// A command left running in a network namespace while a test talks to it: its output is
// collected, and it is stopped (SIGTERM) and reaped when the object goes, so that a failed
// assertion leaves no process behind.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/Netns.h"

namespace E2e {

class Background {
 public:
  Background(const Netns& ns, const std::vector<std::string>& command) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) throw std::system_error(errno, std::generic_category(), "pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
      std::vector<std::string> full = {"ip", "netns", "exec", ns.name()};
      full.insert(full.end(), command.begin(), command.end());
      std::vector<char*> argv;
      for (auto& a : full) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Background() {
    signal(SIGTERM);
    wait();
    ::close(out_);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Reads output until `text` appeared or `seconds` passed; true when it appeared.
  bool waitFor(const std::string& text, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
      char buf[512];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      output_.append(buf, std::size_t(n));
    }
    return true;
  }
  void signal(int sig) const {
    if (status_ < -1) ::kill(pid_, sig);
  }
  // The exit status, or -1 when it ended by a signal.
  int wait() {
    if (status_ >= -1) return status_;
    int w = 0;
    while (::waitpid(pid_, &w, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    // What the process wrote before it ended; the pipe has no other writer.
    char buf[512];
    for (ssize_t n; (n = ::read(out_, buf, sizeof buf)) > 0;) output_.append(buf, std::size_t(n));
    return status_;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -2;
  std::string output_;
};

}  // namespace E2e
