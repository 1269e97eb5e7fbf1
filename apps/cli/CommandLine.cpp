#include "apps/cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <vector>

namespace CommandLine {

namespace {

// The app and the subcommands the line selected, outermost first.
std::vector<const CLI::App*> selected(const CLI::App& app) {
  std::vector<const CLI::App*> chain{&app};
  while (!chain.back()->get_subcommands().empty()) {
    chain.push_back(chain.back()->get_subcommands().front());
  }
  return chain;
}

std::string commandPath(const CLI::App& app) {
  std::string path;
  for (const auto* a : selected(app)) path += (path.empty() ? "" : " ") + a->get_name();
  return path;
}

// CLI11's own words where they name the option and the value; ours where they would not
// (a missing or unknown command, an argument nothing takes).
std::string message(const CLI::App& app, const CLI::ParseError& error) {
  const auto left = app.remaining(true);
  const std::string first = left.empty() ? "" : left.front();
  const bool optionLike = first.size() > 1 && first[0] == '-';
  const CLI::App& innermost = *selected(app).back();
  const bool noCommand = innermost.get_require_subcommand_min() > 0 &&
                         dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
  if (noCommand && !optionLike) {
    const auto commands = innermost.get_subcommands({});
    std::string names;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      names += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + commands[i]->get_name();
    }
    if (first.empty()) return "no command (" + names + ")";
    return "unknown command '" + first + "' (" + names + ")";
  }
  if (noCommand || dynamic_cast<const CLI::ExtrasError*>(&error)) {
    if (optionLike) return "unknown option '" + first.substr(0, first.find('=')) + "'";
    return "unexpected argument '" + first + "'";
  }
  return error.what();
}

bool helpAsked(const CLI::App& app) {
  for (const auto* a : selected(app)) {
    if (a->get_help_ptr() && a->get_help_ptr()->count() > 0) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> parse(CLI::App& app, std::span<const std::string_view> args) {
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    return app.help();
  } catch (const CLI::ParseError& e) {
    if (helpAsked(app)) return app.help();
    throw UsageError(commandPath(app), message(app, e));
  }
}

std::string rangeText(double min, double max) {
  std::ostringstream text;
  // Enough digits for any 32-bit count, and no trailing zeros after a fraction.
  text << std::setprecision(12) << min << "-" << max;
  return text.str();
}

CLI::Validator integerIn(std::uint64_t min, std::uint64_t max, const std::string& what) {
  const std::string refusal = " is not " + what + " (" + rangeText(double(min), double(max)) + ")";
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
            value > max) {
          return "'" + text + "'" + refusal;
        }
        return {};
      },
      "");
}

CLI::Validator secondsIn(double min, double max) {
  const std::string refusal = " is not a time in seconds (" + rangeText(min, max) + ")";
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
            !std::isfinite(value) || value < min || value > max) {
          return "'" + text + "'" + refusal;
        }
        return {};
      },
      "");
}

}  // namespace CommandLine
