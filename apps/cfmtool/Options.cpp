#include "apps/cfmtool/Options.h"

#include <net/if.h>

#include <charconv>
#include <cmath>
#include <functional>
#include <vector>

namespace CfmTool {

namespace {

const char toolHelp[] =
    "usage: cfmtool COMMAND [OPTIONS]\n"
    "\n"
    "Originates IEEE 802.1ag / Y.1731 CFM frames on an Ethernet device.\n"
    "\n"
    "commands:\n"
    "  ping    loopback messages to a MEP or MIP; prints each reply and a summary\n"
    "  trace   a linktrace message; prints the linktrace replies by TTL\n"
    "  ccm     continuity check messages at an interval\n"
    "\n"
    "'cfmtool COMMAND --help' describes a command's options. Needs CAP_NET_RAW.\n"
    "Exit status: 0 success, 1 no reply (ping, trace), 2 bad arguments or a system error.\n";

const char commonHelp[] =
    "  --level L        MD level, 0-7 (default 0; ccm: required)\n"
    "  --vlan V         tag with 802.1Q VLAN V, 1-4094 (default: untagged)\n"
    "  --src MAC        source MAC address (default: the device's)\n";

const char pingHelp[] =
    "usage: cfmtool ping --intf DEV --dst MAC [OPTIONS]\n"
    "\n"
    "Sends loopback messages (LBM) with increasing transaction ids to a unicast MAC address\n"
    "and prints each loopback reply with the same transaction id, level and VLAN.\n"
    "\n"
    "  --intf DEV       the Ethernet device to send on\n"
    "  --dst MAC        the MEP or MIP to ping (unicast)\n"
    "  --count N        messages to send, 1-1000000 (default 5)\n"
    "  --interval SEC   time between messages, 0.001-3600 (default 1.0)\n"
    "  --size BYTES     Data TLV payload, 0-9000 (default 0: no Data TLV)\n"
    "  --timeout SEC    wait after the last message for its reply, 0-3600 (default 2)\n";

const char traceHelp[] =
    "usage: cfmtool trace --intf DEV --target MAC [OPTIONS]\n"
    "\n"
    "Sends one linktrace message (LTM) for a target MAC address to the level's group\n"
    "address 01:80:c2:00:00:38+L and prints the linktrace replies that arrive before the\n"
    "timeout, highest TTL first.\n"
    "\n"
    "  --intf DEV       the Ethernet device to send on\n"
    "  --target MAC     the MAC address to trace (unicast)\n"
    "  --ttl N          the message's TTL, 1-255 (default 64)\n"
    "  --timeout SEC    how long to collect replies, 0-3600 (default 5)\n";

const char ccmHelp[] =
    "usage: cfmtool ccm --intf DEV --level L --md-name NAME --ma-name NAME --mep-id ID\n"
    "                   [OPTIONS]\n"
    "\n"
    "Sends continuity check messages (CCM) to the level's group address 01:80:c2:00:00:30+L\n"
    "with increasing sequence numbers, until --count are sent or SIGINT/SIGTERM.\n"
    "\n"
    "  --intf DEV       the Ethernet device to send on\n"
    "  --md-name NAME   MD name, a character string of 1-43 bytes\n"
    "  --ma-name NAME   MA name, a character string of 1 to (44 - MD name bytes) bytes\n"
    "  --mep-id ID      the sending MEP's id, 1-8191\n"
    "  --interval SEC   time between messages, 0.001-3600 (default 1.0); the CCM interval\n"
    "                   field carries the nearest of 3.33 ms, 10 ms, 100 ms, 1 s, 10 s,\n"
    "                   1 min, 10 min\n"
    "  --count N        messages to send, 1-4294967295 (default: until stopped)\n";

struct OptionDef {
  std::string_view name;  // without the leading "--"
  bool required;
  std::function<void(std::string_view value)> set;
};

class Parser {
 public:
  explicit Parser(std::string_view command) : command_(command) {}

  [[noreturn]] void fail(std::string_view option, const std::string& what) const {
    std::string text = "cfmtool " + std::string(command_) + ": ";
    if (!option.empty()) {
      text += "--";
      text += option;
      text += ": ";
    }
    throw UsageError(text + what);
  }

  std::uint64_t number(std::string_view option, std::string_view text, std::uint64_t min,
                       std::uint64_t max, std::string_view what) const {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
        value > max) {
      fail(option, "'" + std::string(text) + "' is not " + std::string(what) + " (" +
                       std::to_string(min) + "-" + std::to_string(max) + ")");
    }
    return value;
  }

  double seconds(std::string_view option, std::string_view text, double min,
                 std::string_view range) const {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value) || value < min || value > 3600) {
      fail(option, "'" + std::string(text) + "' is not a time in seconds (" +
                       std::string(range) + ")");
    }
    return value;
  }

  Lumen::EthAddr unicastMac(std::string_view option, std::string_view text) const {
    const auto addr = Lumen::EthAddr::fromString(text);
    if (!addr) {
      fail(option, "'" + std::string(text) + "' is not a MAC address (like 00:1c:73:00:00:01)");
    }
    if (addr->isMulticast() || addr->isZero()) {
      fail(option, addr->stringValue() + " is not a unicast MAC address");
    }
    return *addr;
  }

  // Applies the options in `args` to `defs`; a later repeat of an option wins.
  void parse(std::span<const std::string_view> args, std::span<const OptionDef> defs) const {
    std::vector<bool> seen(defs.size(), false);
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string_view arg = args[i];
      if (arg.substr(0, 2) != "--" || arg.size() == 2) {
        fail("", "unexpected argument '" + std::string(arg) + "'");
      }
      std::string_view name = arg.substr(2);
      std::optional<std::string_view> value;
      if (const auto eq = name.find('='); eq != std::string_view::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      std::size_t index = 0;
      while (index < defs.size() && defs[index].name != name) ++index;
      if (index == defs.size()) fail("", "unknown option '--" + std::string(name) + "'");
      if (!value) {
        if (i + 1 == args.size()) fail("", "--" + std::string(name) + " needs a value");
        value = args[++i];
      }
      defs[index].set(*value);
      seen[index] = true;
    }
    for (std::size_t i = 0; i < defs.size(); ++i) {
      if (defs[i].required && !seen[i]) {
        fail("", "--" + std::string(defs[i].name) + " is required");
      }
    }
  }

  // The options every command has.
  std::vector<OptionDef> common(CommonOptions& o) const {
    return {
        {"intf", true,
         [this, &o](std::string_view v) {
           // The kernel's limit on device names, so that the error is ours, not ioctl's.
           if (v.empty() || v.size() >= IFNAMSIZ || v.find('/') != std::string_view::npos) {
             fail("intf", "'" + std::string(v) + "' is not a device name");
           }
           o.intf = v;
         }},
        {"level", false,
         [this, &o](std::string_view v) {
           o.level = std::uint8_t(number("level", v, 0, 7, "an MD level"));
         }},
        {"vlan", false,
         [this, &o](std::string_view v) {
           o.vlan = std::uint16_t(number("vlan", v, 1, 4094, "a VLAN id"));
         }},
        {"src", false, [this, &o](std::string_view v) { o.src = unicastMac("src", v); }},
    };
  }

 private:
  std::string_view command_;
};

bool wantsHelp(std::span<const std::string_view> args) {
  for (std::string_view a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

PingOptions parsePing(std::span<const std::string_view> args) {
  const Parser p("ping");
  PingOptions o;
  auto defs = p.common(o);
  defs.insert(
      defs.end(),
      {
          {"dst", true, [&](std::string_view v) { o.dst = p.unicastMac("dst", v); }},
          {"count", false,
           [&](std::string_view v) {
             o.count = std::uint32_t(p.number("count", v, 1, maxPingCount, "a count"));
           }},
          {"interval", false,
           [&](std::string_view v) { o.interval = p.seconds("interval", v, 0.001, "0.001-3600"); }},
          {"size", false,
           [&](std::string_view v) {
             o.size = std::size_t(p.number("size", v, 0, maxPingSize, "a size in bytes"));
           }},
          {"timeout", false,
           [&](std::string_view v) { o.timeout = p.seconds("timeout", v, 0, "0-3600"); }},
      });
  p.parse(args, defs);
  return o;
}

TraceOptions parseTrace(std::span<const std::string_view> args) {
  const Parser p("trace");
  TraceOptions o;
  auto defs = p.common(o);
  defs.insert(defs.end(),
               {
                   {"target", true,
                    [&](std::string_view v) { o.target = p.unicastMac("target", v); }},
                   {"ttl", false,
                    [&](std::string_view v) {
                      o.ttl = std::uint8_t(p.number("ttl", v, 1, 255, "a TTL"));
                    }},
                   {"timeout", false,
                    [&](std::string_view v) { o.timeout = p.seconds("timeout", v, 0, "0-3600"); }},
               });
  p.parse(args, defs);
  return o;
}

CcmOptions parseCcm(std::span<const std::string_view> args) {
  const Parser p("ccm");
  CcmOptions o;
  auto defs = p.common(o);
  // A CCM at a level nobody meant is worse than a refusal: --level has no default here.
  for (auto& def : defs) def.required = def.required || def.name == "level";
  std::string mdName, maName;
  defs.insert(
      defs.end(),
      {
          {"md-name", true, [&](std::string_view v) { mdName = v; }},
          {"ma-name", true, [&](std::string_view v) { maName = v; }},
          {"mep-id", true,
           [&](std::string_view v) {
             o.mepId = std::uint16_t(p.number("mep-id", v, 1, 8191, "a MEP id"));
           }},
          {"interval", false,
           [&](std::string_view v) { o.interval = p.seconds("interval", v, 0.001, "0.001-3600"); }},
          {"count", false,
           [&](std::string_view v) {
             o.count = std::uint32_t(p.number("count", v, 1, 0xffffffff, "a count"));
           }},
      });
  p.parse(args, defs);
  // The MAID holds 48 bytes: MD format and length, the MD name, MA format and length and
  // the MA name.
  if (mdName.empty() || mdName.size() > Cfm::MdName::maxBytes) {
    p.fail("md-name", "'" + mdName + "' is not 1-43 bytes");
  }
  const std::size_t maMax = 44 - mdName.size();
  if (maName.empty() || maName.size() > maMax) {
    p.fail("ma-name", "'" + maName + "' is not 1-" + std::to_string(maMax) +
                          " bytes (the MAID's 48 bytes less the MD name's " +
                          std::to_string(mdName.size()) + " and 4 format and length bytes)");
  }
  o.mdName = Cfm::MdName(mdName);
  o.maName = Cfm::MaName(maName);
  return o;
}

}  // namespace

Command parseCommandLine(std::span<const std::string_view> args) {
  if (args.empty()) {
    throw UsageError("cfmtool: no command (ping, trace or ccm); see 'cfmtool --help'");
  }
  const std::string_view command = args[0];
  const auto rest = args.subspan(1);
  if (command == "--help" || command == "-h" || command == "help") return HelpRequest{toolHelp};
  if (command == "ping") {
    if (wantsHelp(rest)) return HelpRequest{std::string(pingHelp) + commonHelp};
    return parsePing(rest);
  }
  if (command == "trace") {
    if (wantsHelp(rest)) return HelpRequest{std::string(traceHelp) + commonHelp};
    return parseTrace(rest);
  }
  if (command == "ccm") {
    if (wantsHelp(rest)) return HelpRequest{std::string(ccmHelp) + commonHelp};
    return parseCcm(rest);
  }
  throw UsageError("cfmtool: unknown command '" + std::string(command) +
                   "' (ping, trace or ccm); see 'cfmtool --help'");
}

}  // namespace CfmTool
