#pragma once
// Commands run to their end from a test, without a shell.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace E2e {

struct CommandResult {
  int status = -1;     // exit code, or -1 when the command did not exit normally
  std::string output;  // stdout, and stderr unless it went to a file
};

// Runs `argv` and waits for it. stderr joins the output unless `stderrPath` names a file
// for it: a decoder's warnings then stay out of what the test parses.
inline CommandResult runCommand(const std::vector<std::string>& argv, const std::string& stderrPath = "") {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) < 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    const int err = stderrPath.empty() ? pipeFds[1]
                                       : ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0) ::_exit(127);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  CommandResult result;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFds[0]);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return result;
}

// Runs `argv` and raises std::runtime_error with the command and its output unless it
// exits 0.
inline void run(const std::vector<std::string>& argv) {
  const CommandResult result = runCommand(argv);
  if (result.status == 0) return;
  std::string text;
  for (const auto& a : argv) text += (text.empty() ? "" : " ") + a;
  throw std::runtime_error("'" + text + "' exited with " + std::to_string(result.status) + ": " +
                           result.output);
}

}  // namespace E2e
