#pragma once
// Commands run from a test without a shell: to their end, or in the background while the
// test talks to them.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace E2e {

struct CommandResult {
  int status = -1;     // exit code, or -1 when the command did not exit normally
  std::string output;  // stdout, and stderr unless it went to a file
};

// Starts `argv` with stdout (and stderr, unless `stderrPath` names a file for it) on a
// pipe; returns the child and the pipe's read end. With `input`, stdin is a pipe too, and
// `*input` its write end.
inline std::pair<pid_t, int> spawn(const std::vector<std::string>& argv, const std::string& stderrPath = "",
                                   int* input = nullptr) {
  int fds[2], in[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) < 0 || (input && ::pipe2(in, O_CLOEXEC) < 0))
    throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    const int err = stderrPath.empty() ? fds[1] : ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::dup2(fds[1], STDOUT_FILENO) < 0 || err < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(127);
    if (input && ::dup2(in[0], STDIN_FILENO) < 0) ::_exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (input) ::close(in[0]), *input = in[1];
  return {pid, fds[0]};
}

// Appends what `fd` has to `out` until its writers are gone (or, with `once`, one read).
inline bool readInto(int fd, std::string& out, bool once = false) {
  char buf[512];
  for (ssize_t n;;) {
    if ((n = ::read(fd, buf, sizeof buf)) > 0) {
      out.append(buf, std::size_t(n));
      if (once) return true;
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
}

// The exit status of `pid`, or -1 when it ended by a signal.
inline int reap(pid_t pid) {
  int w = 0;
  while (::waitpid(pid, &w, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(w) ? WEXITSTATUS(w) : -1;
}

// Runs `argv` and waits for it. A decoder's warnings go to `stderrPath`, when given, so
// that they stay out of what the test parses.
inline CommandResult runCommand(const std::vector<std::string>& argv, const std::string& stderrPath = "") {
  const auto [pid, out] = spawn(argv, stderrPath);
  CommandResult result;
  readInto(out, result.output);
  ::close(out);
  result.status = reap(pid);
  return result;
}

// Runs `argv` and raises std::runtime_error with the command and its output unless it
// exits 0.
inline void run(const std::vector<std::string>& argv) {
  const CommandResult result = runCommand(argv);
  if (result.status == 0) return;
  std::string text;
  for (const auto& a : argv) text += (text.empty() ? "" : " ") + a;
  throw std::runtime_error("'" + text + "' exited with " + std::to_string(result.status) + ": " + result.output);
}

// A command left running while a test talks to it: its output is collected, and it is
// stopped (SIGTERM) and reaped when the object goes, so that a failed assertion leaves no
// process behind. With `input`, the test writes its stdin with send().
class Background {
 public:
  explicit Background(const std::vector<std::string>& command, bool input = false) {
    if (input) ::signal(SIGPIPE, SIG_IGN);  // a command that ended fails send(), not the test
    std::tie(pid_, out_) = spawn(command, "", input ? &in_ : nullptr);
  }
  ~Background() {
    signal(SIGTERM);
    wait();
    ::close(out_);
    if (in_ >= 0) ::close(in_);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Reads output until `text` appeared (at `from` or later) or `seconds` passed; true when
  // it appeared.
  bool waitFor(const std::string& text, double seconds, std::size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output_.find(text, from) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0 || !readInto(out_, output_, true)) return false;
    }
    return true;
  }
  void send(const std::string& text) const {
    if (::write(in_, text.data(), text.size()) != ssize_t(text.size()))
      throw std::system_error(errno, std::generic_category(), "write to a command's stdin");
  }
  void signal(int sig) const {
    if (status_ < -1) ::kill(pid_, sig);
  }
  // The exit status, or -1 when it ended by a signal.
  int wait() {
    if (status_ >= -1) return status_;
    status_ = reap(pid_);
    readInto(out_, output_);  // what it wrote before it ended; the pipe has no other writer
    return status_;
  }
  const std::string& output() const { return output_; }
  // The command's process; wrappers that exec (ip netns exec, setpriv) keep it.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
  int status_ = -2;
  std::string output_;
};

}  // namespace E2e
