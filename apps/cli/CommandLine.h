#pragma once
// The command lines of cfmagentd, cfmctl and cfmtool, on CLI11: one way to parse, to answer
// --help and to word a refusal, and the number validators the programs share.

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// The programs that build their command lines include <CLI/CLI.hpp>; the rest do without.
namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace CommandLine {

// A command line refused. what() is "<command>: <message>", the command being the program
// and the subcommands the line selected ("cfmctl clear counters: --level: '9' is not ...").
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& command, const std::string& message)
      : std::runtime_error(command + ": " + message), command_(command), message_(message) {}
  const std::string& command() const { return command_; }
  const std::string& message() const { return message_; }

 private:
  std::string command_;
  std::string message_;
};

// Parses `args` (without the program name) into `app`, whose option values are set as a
// side effect. Returns the help text of the command the line selects when it asks for
// --help anywhere, even beside a fault; nothing when the line was taken. Raises
// UsageError.
std::optional<std::string> parse(CLI::App& app, std::span<const std::string_view> args);

// A decimal integer in [min, max]; refuses with "'<text>' is not <what> (<min>-<max>)".
CLI::Validator integerIn(std::uint64_t min, std::uint64_t max, const std::string& what);
// A finite decimal number of seconds in [min, max]; refuses with "'<text>' is not a time in
// seconds (<min>-<max>)".
CLI::Validator secondsIn(double min, double max);

// "0-7", "0.001-3600": a range as the help texts and refusals write it.
std::string rangeText(double min, double max);

}  // namespace CommandLine
