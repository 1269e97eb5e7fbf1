#pragma once
// Named trace handles with levels 0-9.
//
// Levels are switched on per handle at run time, from the KILN_TRACE environment variable
// (read when the first handle is created) or traceSettingIs(). A setting is a list of
// items separated by ';' or white space, each "<pattern>/<levels>": the pattern is a
// handle name, or a prefix ending in '*' ("*" alone matches every handle); levels are
// "0-9", "5" or a comma list of both ("1,5,8-9"). Later items override earlier ones for
// the handles they match. Example: KILN_TRACE="Cfm*/5;CfmPam/0-9".
//
// KILN_TRACE(handle, level, a << b << c) builds its text only when the level is on.

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>

namespace Kiln {

class TraceHandle {
 public:
  explicit TraceHandle(std::string name) : name_(std::move(name)) {}
  TraceHandle(const TraceHandle&) = delete;
  TraceHandle& operator=(const TraceHandle&) = delete;

  const std::string& name() const { return name_; }
  bool enabled(unsigned level) const { return level < 10 && ((levels_ >> level) & 1u); }
  std::uint16_t levels() const { return levels_; }
  void levelsIs(std::uint16_t levels) { levels_ = levels & 0x3ffu; }
  void write(unsigned level, std::string_view text) const;

 private:
  std::string name_;
  std::uint16_t levels_ = 0;
};

// The handle named `name`, created on first use with the levels of the current setting.
// Handles live as long as the process; references to them stay valid.
TraceHandle& traceHandle(std::string_view name);

// Replaces the setting and re-applies it to every handle. A malformed setting raises a
// RangeException naming the bad item and changes nothing.
void traceSettingIs(std::string_view setting);

// Receives every enabled trace line. The default writes
// "<handle>/<level> <text>" to stderr.
using TraceSink = std::function<void(const TraceHandle&, unsigned level, std::string_view text)>;
// Installs a sink (an empty one restores the default) and returns the previous one.
TraceSink traceSinkIs(TraceSink sink);

}  // namespace Kiln

#define KILN_TRACE(handle, level, stream)                  \
  do {                                                     \
    const ::Kiln::TraceHandle& kilnTraceHandle_ = (handle); \
    if (kilnTraceHandle_.enabled(level)) {                 \
      std::ostringstream kilnTraceText_;                   \
      kilnTraceText_ << stream;                            \
      kilnTraceHandle_.write(level, kilnTraceText_.str()); \
    }                                                      \
  } while (0)
