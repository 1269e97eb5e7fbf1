// How a command line with nested commands is refused or answered with help: the message
// names the commands the line selected, and help wins over any fault beside it.

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "apps/cli/CommandLine.h"

namespace {

using Args = std::vector<std::string_view>;

// "prog clear counters [--level N] [--wait SEC]" and "prog clear command TEXT"; the
// outcome as the refusal, the help's usage line, or "(taken)".
std::string outcome(const Args& args) {
  CLI::App app("", "prog");
  app.require_subcommand(1);
  auto* clear = app.add_subcommand("clear")->require_subcommand(1);
  auto* counters = clear->add_subcommand("counters");
  unsigned level = 0;
  double wait = 0;
  counters->add_option("--level", level)->check(CommandLine::integerIn(0, 8, "an MD level"));
  counters->add_option("--wait", wait)->check(CommandLine::secondsIn(0.5, 3600));
  std::string text;
  clear->add_subcommand("command")->add_option("TEXT", text)->required();
  try {
    if (auto help = CommandLine::parse(app, args)) {
      const auto usage = help->find("Usage");
      return help->substr(usage, help->find('\n', usage) - usage);
    }
  } catch (const CommandLine::UsageError& e) {
    return e.what();
  }
  return "(taken)";
}

TEST(CommandLine, RefusalsNameTheSelectedCommandsAndHelpWins) {
  const std::pair<Args, std::string> cases[] = {
      {{}, "prog: no command (clear)"},
      {{"--level", "1"}, "prog: unknown option '--level'"},
      {{"clear"}, "prog clear: no command (counters or command)"},
      {{"clear", "count"}, "prog clear: unknown command 'count' (counters or command)"},
      {{"clear", "counters", "--level", "9"}, "prog clear counters: --level: '9' is not an MD level (0-8)"},
      {{"clear", "counters", "--level", "+1"}, "prog clear counters: --level: '+1' is not an MD level (0-8)"},
      {{"clear", "counters", "--wait", "inf"}, "prog clear counters: --wait: 'inf' is not a time in seconds (0.5-3600)"},
      {{"clear", "counters", "--wait", "0.4"}, "prog clear counters: --wait: '0.4' is not a time in seconds (0.5-3600)"},
      {{"clear", "counters", "--bogus=1"}, "prog clear counters: unknown option '--bogus'"},
      {{"clear", "command"}, "prog clear command: TEXT is required"},
      {{"clear", "command", "a", "b"}, "prog clear command: unexpected argument 'b'"},
      {{"clear", "counters", "--level=8", "--wait", "3600"}, "(taken)"},
      {{"clear", "counters", "--level", "9", "--help"}, "Usage: prog clear counters [OPTIONS]"},
      {{"--help", "clear", "bogus"}, "Usage: prog clear [OPTIONS] SUBCOMMAND"},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(outcome(args), expected);
}

}  // namespace
