#pragma once
// cfmtool's command line: the command, its options checked against their ranges, and the
// help texts. Nothing here touches the system, so that every refusal can be tested.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "apps/cli/CommandLine.h"
#include "platform/lumen/Eth.h"
#include "platform/types/CfmTypes.h"

namespace CfmTool {

// A command line cfmtool refuses. what() is the line to print, naming the command and the
// option: "cfmtool ping: --level: '9' is not an MD level (0-7)".
using UsageError = CommandLine::UsageError;

// Options every command has.
struct CommonOptions {
  std::string intf;
  std::uint8_t level = 0;
  std::optional<std::uint16_t> vlan;
  // None: the device's own MAC address.
  std::optional<Lumen::EthAddr> src;
};

struct PingOptions : CommonOptions {
  Lumen::EthAddr dst;
  std::uint32_t count = 5;
  double interval = 1.0;
  std::size_t size = 0;
  double timeout = 2.0;
};

// dmm has ping's options, with delay measurement messages for loopback messages.
struct DmmOptions : PingOptions {};

struct SlmOptions : PingOptions {
  std::uint16_t sourceMepId = 1;
  // None: a random one.
  std::optional<std::uint32_t> testId;
};

struct TraceOptions : CommonOptions {
  Lumen::EthAddr target;
  std::uint8_t ttl = 64;
  double timeout = 5.0;
};

struct CcmOptions : CommonOptions {
  Cfm::MdName mdName;
  Cfm::MaName maName;
  std::uint16_t mepId = 1;
  double interval = 1.0;
  // None: until SIGINT or SIGTERM.
  std::optional<std::uint32_t> count;
};

struct ListenOptions : CommonOptions {
  // None: until the timeout.
  std::optional<std::uint32_t> count;
  double timeout = 5.0;
};

// --help, for the tool or one command: the text to print.
struct HelpRequest {
  std::string text;
};

using Command =
    std::variant<HelpRequest, PingOptions, DmmOptions, SlmOptions, TraceOptions, CcmOptions, ListenOptions>;

// `args` without the program name. Options take their value as the next argument or after
// '='; when one is given twice, the later counts. Raises UsageError.
Command parseCommandLine(std::span<const std::string_view> args);

// The largest --count of ping, dmm and slm: one slot per message is kept for the whole run.
inline constexpr std::uint32_t maxPingCount = 1000000;
// The largest Data TLV: what an AF_PACKET socket hands over of a jumbo reply.
inline constexpr std::size_t maxPingSize = 9000;

}  // namespace CfmTool
