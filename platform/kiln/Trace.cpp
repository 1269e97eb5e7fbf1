#include "platform/kiln/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/kiln/Errors.h"

namespace Kiln {

namespace {

struct Rule {
  std::string pattern;
  std::uint16_t levels;
};

bool matches(const std::string& pattern, const std::string& name) {
  if (!pattern.empty() && pattern.back() == '*') {
    return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  }
  return pattern == name;
}

std::optional<unsigned> digit(std::string_view text) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '9') return std::nullopt;
  return static_cast<unsigned>(text[0] - '0');
}

std::optional<std::uint16_t> parseLevels(std::string_view text) {
  std::uint16_t levels = 0;
  for (bool more = true; more;) {
    const auto comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    more = comma != std::string_view::npos;
    if (more) text.remove_prefix(comma + 1);
    const auto dash = part.find('-');
    const auto first = digit(part.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : digit(part.substr(dash + 1));
    if (!first || !last || *first > *last) return std::nullopt;
    for (unsigned level = *first; level <= *last; ++level) levels |= std::uint16_t(1u << level);
  }
  return levels;
}

std::vector<Rule> parseSetting(std::string_view setting) {
  std::vector<Rule> rules;
  std::size_t pos = 0;
  while (pos < setting.size()) {
    const auto end = setting.find_first_of("; \t\n", pos);
    const std::string_view item =
        setting.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? setting.size() : end + 1;
    if (item.empty()) continue;
    const auto slash = item.find('/');
    const auto levels =
        slash == std::string_view::npos ? std::nullopt : parseLevels(item.substr(slash + 1));
    if (slash == 0 || !levels) {
      throw RangeException("trace setting item '" + std::string(item) +
                           "' is not <handle>/<levels 0-9>");
    }
    rules.push_back({std::string(item.substr(0, slash)), *levels});
  }
  return rules;
}

struct Registry {
  Registry() {
    if (const char* env = std::getenv("KILN_TRACE")) {
      try {
        rules = parseSetting(env);
      } catch (const RangeException& e) {
        std::fprintf(stderr, "KILN_TRACE ignored: %s\n", e.what());
      }
    }
  }
  std::uint16_t levelsFor(const std::string& name) const {
    std::uint16_t levels = 0;
    for (const Rule& rule : rules) {
      if (matches(rule.pattern, name)) levels = rule.levels;
    }
    return levels;
  }

  std::vector<Rule> rules;
  std::map<std::string, std::unique_ptr<TraceHandle>, std::less<>> handles;
  TraceSink sink;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

void TraceHandle::write(unsigned level, std::string_view text) const {
  const Registry& r = registry();
  if (r.sink) {
    r.sink(*this, level, text);
    return;
  }
  std::fprintf(stderr, "%s/%u %.*s\n", name_.c_str(), level, static_cast<int>(text.size()),
               text.data());
}

TraceHandle& traceHandle(std::string_view name) {
  Registry& r = registry();
  auto it = r.handles.find(name);
  if (it == r.handles.end()) {
    auto handle = std::make_unique<TraceHandle>(std::string(name));
    handle->levelsIs(r.levelsFor(handle->name()));
    it = r.handles.emplace(handle->name(), std::move(handle)).first;
  }
  return *it->second;
}

void traceSettingIs(std::string_view setting) {
  Registry& r = registry();
  r.rules = parseSetting(setting);
  for (auto& [name, handle] : r.handles) handle->levelsIs(r.levelsFor(name));
}

TraceSink traceSinkIs(TraceSink sink) {
  return std::exchange(registry().sink, std::move(sink));
}

}  // namespace Kiln
