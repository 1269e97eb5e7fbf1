// Nested commands: a refusal names the commands selected, and help wins over any fault.

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "apps/cli/CommandLine.h"

namespace {

using Args = std::vector<std::string_view>;

// "prog clear counters [--level N]" and "prog clear command"; the outcome as the refusal
// or the help's usage line.
std::string outcome(const Args& args) {
  CLI::App app("", "prog");
  app.require_subcommand(1);
  auto* clear = app.add_subcommand("clear")->require_subcommand(1);
  clear->add_subcommand("counters")->add_option("--level")->check(CommandLine::integerIn(0, 8, "a level"));
  clear->add_subcommand("command");
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
      {{"--level", "1"}, "prog: unknown option '--level'"},
      {{"clear", "count"}, "prog clear: unknown command 'count' (counters or command)"},
      {{"clear", "counters", "--level", "9"}, "prog clear counters: --level: '9' is not a level (0-8)"},
      {{"clear", "counters", "--level", "+1"}, "prog clear counters: --level: '+1' is not a level (0-8)"},
      {{"clear", "counters", "--bogus=1"}, "prog clear counters: unknown option '--bogus'"},
      {{"clear", "counters", "--level", "9", "--help"}, "Usage: prog clear counters [OPTIONS]"},
      {{"--help", "clear", "bogus"}, "Usage: prog clear [OPTIONS] SUBCOMMAND"},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(outcome(args), expected);
}

}  // namespace
