#include "apps/cfmtool/Options.h"

#include <net/if.h>

#include <CLI/CLI.hpp>

#include "platform/cfm/CcmWire.h"

namespace CfmTool {

namespace {

using Cfm::CCMPdu;
using CommandLine::integerIn;
using CommandLine::rangeText;
using CommandLine::secondsIn;

// A station to send to or from: group addresses and 00:00:00:00:00:00 never answer.
const CLI::Validator unicastMac(
    [](std::string& text) -> std::string {
      const auto addr = Lumen::EthAddr::fromString(text);
      if (!addr) return "'" + text + "' is not a MAC address (like 00:1c:73:00:00:01)";
      if (addr->isMulticast() || addr->isZero()) {
        return addr->stringValue() + " is not a unicast MAC address";
      }
      return {};
    },
    "");

// The kernel's limit on device names, so that the error is ours, not ioctl's.
const CLI::Validator deviceName(
    [](std::string& text) -> std::string {
      if (text.empty() || text.size() >= IFNAMSIZ || text.find('/') != std::string::npos) {
        return "'" + text + "' is not a device name";
      }
      return {};
    },
    "");

// `Target` is an EthAddr or an optional one.
template <class Target>
CLI::Option* macOption(CLI::App& command, const char* name, Target& target,
                       const std::string& help) {
  return command
      .add_option_function<std::string>(
          name, [&target](const std::string& text) { target = *Lumen::EthAddr::fromString(text); },
          help)
      ->type_name("MAC")
      ->check(unicastMac);
}

// "<help>, <range> (<default>)".
std::string described(const std::string& help, double min, double max,
                      const std::string& byDefault) {
  return help + ", " + rangeText(min, max) + (byDefault.empty() ? "" : " (" + byDefault + ")");
}

template <class T>
CLI::Option* integerOption(CLI::App& command, const char* name, T& target, const char* type,
                           std::uint64_t min, std::uint64_t max, const std::string& what,
                           const std::string& help, const std::string& byDefault = "") {
  return command.add_option(name, target, described(help, double(min), double(max), byDefault))
      ->type_name(type)
      ->check(integerIn(min, max, what));
}

CLI::Option* secondsOption(CLI::App& command, const char* name, double& target, double min,
                           const std::string& help, const std::string& byDefault) {
  constexpr double max = 3600;
  return command.add_option(name, target, described(help, min, max, byDefault))
      ->type_name("SEC")
      ->check(secondsIn(min, max));
}

// The options every command has. A CCM at a level nobody meant is worse than a refusal, so
// ccm's --level has no default.
void addCommon(CLI::App& command, CommonOptions& o, bool levelRequired = false) {
  command.add_option("--intf", o.intf, "the Ethernet device to send on")
      ->type_name("DEV")
      ->required()
      ->check(deviceName);
  integerOption(command, "--level", o.level, "L", 0, 7, "an MD level", "MD level",
                levelRequired ? "" : "default 0")
      ->required(levelRequired);
  integerOption(command, "--vlan", o.vlan, "V", 1, 4094, "a VLAN id", "tag with this 802.1Q VLAN",
                "default: untagged");
  macOption(command, "--src", o.src, "source MAC address (default: the device's)");
}

// The options of a command that sends messages to one station and waits for each reply.
void addProbe(CLI::App& command, PingOptions& o) {
  addCommon(command, o);
  macOption(command, "--dst", o.dst, "the MEP or MIP to send to (unicast)")->required();
  integerOption(command, "--count", o.count, "N", 1, maxPingCount, "a count", "messages to send", "default 5");
  secondsOption(command, "--interval", o.interval, 0.001, "time between messages", "default 1");
  integerOption(command, "--size", o.size, "BYTES", 0, maxPingSize, "a size in bytes", "Data TLV payload",
                "default 0: no Data TLV");
  secondsOption(command, "--timeout", o.timeout, 0, "wait after the last message for its reply", "default 2");
}

// "'<text>' is not <min>-<max> bytes"; nothing when its length fits.
std::string lengthRefusal(const std::string& text, std::size_t min, std::size_t max) {
  if (text.size() >= min && text.size() <= max) return {};
  return "'" + text + "' is not " + rangeText(double(min), double(max)) + " bytes";
}

// The MAID holds both names: the MD name leaves the MA name what maxMaNameLenFor() says.
void addMaid(CLI::App& command, std::string& mdName, std::string& maName) {
  constexpr auto mdFormat = Cfm::mdNameFormatCharacterString;
  auto* md = command.add_option("--md-name", mdName,
                                "MD name, a character string of " +
                                    rangeText(CCMPdu::minMdNameLen, CCMPdu::maxMdNameLen) +
                                    " bytes");
  md->type_name("NAME")->required()->check(CLI::Validator(
      [](std::string& text) {
        return lengthRefusal(text, CCMPdu::minMdNameLen, CCMPdu::maxMdNameLen);
      },
      ""));
  const auto maCheck = [md](std::string& text) -> std::string {
    // A missing or refused MD name is the fault to report; the MD name is checked first.
    if (md->results().empty() || md->results().back().size() > CCMPdu::maxMdNameLen) return {};
    const std::size_t mdBytes = md->results().back().size();
    const std::size_t max = CCMPdu::maxMaNameLenFor(mdFormat, mdBytes);
    const std::string refusal = lengthRefusal(text, CCMPdu::minMaNameLen, max);
    if (refusal.empty()) return {};
    return refusal + " (the MAID's " + std::to_string(CCMPdu::maIdBytes) +
           " bytes less the MD name's " + std::to_string(mdBytes) + " and " +
           std::to_string(CCMPdu::maIdBytes - mdBytes - max) + " format and length bytes)";
  };
  command
      .add_option("--ma-name", maName,
                  "MA name, a character string of 1 to (" +
                      std::to_string(CCMPdu::maxMaNameLenFor(mdFormat, 0)) +
                      " - MD name bytes) bytes")
      ->type_name("NAME")
      ->required()
      ->check(CLI::Validator(maCheck, ""));
}

}  // namespace

Command parseCommandLine(std::span<const std::string_view> args) {
  CLI::App app("Originates IEEE 802.1ag / Y.1731 CFM frames on an Ethernet device.", "cfmtool");
  app.footer(
      "'cfmtool COMMAND --help' describes a command's options. Needs CAP_NET_RAW.\n"
      "Exit status: 0 success, 1 no reply (ping, dmm, slm, trace), 2 bad arguments or a system\n"
      "error.");
  app.require_subcommand(1);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  PingOptions ping;
  auto* pingCommand = app.add_subcommand(
      "ping", "loopback messages to a MEP or MIP; prints each reply and a summary");
  pingCommand->footer(
      "Sends loopback messages (LBM) with increasing transaction ids to a unicast MAC address\n"
      "and prints each loopback reply with the same transaction id, level and VLAN.");
  addProbe(*pingCommand, ping);

  DmmOptions dmm;
  auto* dmmCommand = app.add_subcommand(
      "dmm", "Y.1731 two-way delay measurement; prints each delay and a summary");
  dmmCommand->footer(
      "Sends delay measurement messages (DMM) to a unicast MAC address, each with its send\n"
      "time (CLOCK_REALTIME) as TxTimeStampf, and takes the delay measurement reply (DMR) from\n"
      "that address at the same level and VLAN that carries the TxTimeStampf of a message not\n"
      "yet answered. The receive time is the kernel's software receive timestamp of the reply\n"
      "(CLOCK_REALTIME, as the send time is). The delay is the round trip less the time the\n"
      "responder held the message, when the reply carries the responder's receive and send\n"
      "times.");
  addProbe(*dmmCommand, dmm);

  SlmOptions slm;
  auto* slmCommand = app.add_subcommand(
      "slm", "Y.1731 synthetic loss measurement; prints each reply and the loss ratios");
  slmCommand->footer(
      "Sends synthetic loss messages (SLM) with TxFCf 1, 2, 3... to a unicast MAC address and\n"
      "takes the synthetic loss replies (SLR) from that address at the same level and VLAN\n"
      "with the test id and source MEP id sent. The far-end loss is the SLMs the responder\n"
      "did not count (its TxFCb), the near-end loss the SLRs it sent that did not come back,\n"
      "both between the first and the last reply.");
  addProbe(*slmCommand, slm);
  integerOption(*slmCommand, "--mep-id", slm.sourceMepId, "ID", CCMPdu::mepIdMin, CCMPdu::mepIdMax, "a MEP id",
                "the sending MEP's id (Source MEP ID)", "default 1");
  integerOption(*slmCommand, "--test-id", slm.testId, "T", 0, 0xffffffff, "a test id",
                "the test's id, which the replies carry back", "default: random");

  TraceOptions trace;
  auto* traceCommand = app.add_subcommand(
      "trace", "a linktrace message; prints the linktrace replies by TTL");
  traceCommand->footer(
      "Sends one linktrace message (LTM) for a target MAC address to the level's group\n"
      "address 01:80:c2:00:00:38+L and prints the linktrace replies that arrive before the\n"
      "timeout, highest TTL first.");
  addCommon(*traceCommand, trace);
  macOption(*traceCommand, "--target", trace.target, "the MAC address to trace (unicast)")
      ->required();
  integerOption(*traceCommand, "--ttl", trace.ttl, "N", 1, 255, "a TTL", "the message's TTL",
                "default 64");
  secondsOption(*traceCommand, "--timeout", trace.timeout, 0, "how long to collect replies",
                "default 5");

  CcmOptions ccm;
  std::string mdName, maName;
  auto* ccmCommand = app.add_subcommand("ccm", "continuity check messages at an interval");
  ccmCommand->footer(
      "Sends continuity check messages (CCM) to the level's group address 01:80:c2:00:00:30+L\n"
      "with increasing sequence numbers, until --count are sent or SIGINT/SIGTERM. The CCM's\n"
      "interval field carries the nearest of 3.33 ms, 10 ms, 100 ms, 1 s, 10 s, 1 min and\n"
      "10 min to --interval.");
  addCommon(*ccmCommand, ccm, true);
  addMaid(*ccmCommand, mdName, maName);
  integerOption(*ccmCommand, "--mep-id", ccm.mepId, "ID", CCMPdu::mepIdMin, CCMPdu::mepIdMax,
                "a MEP id", "the sending MEP's id")
      ->required();
  secondsOption(*ccmCommand, "--interval", ccm.interval, 0.001, "time between messages",
                "default 1");
  integerOption(*ccmCommand, "--count", ccm.count, "N", 1, 0xffffffff, "a count",
                "messages to send", "default: until stopped");

  ListenOptions listen;
  auto* listenCommand = app.add_subcommand("listen", "prints the CFM frames that arrive, one line each");
  listenCommand->footer(
      "Prints each CFM frame the device receives (addresses, VLAN, level, opcode and, for\n"
      "loopback and linktrace messages, their fields) until --count frames or the timeout.");
  listenCommand->add_option("--intf", listen.intf, "the Ethernet device to listen on")
      ->type_name("DEV")
      ->required()
      ->check(deviceName);
  integerOption(*listenCommand, "--count", listen.count, "N", 1, 0xffffffff, "a count",
                "frames to wait for", "default: until the timeout");
  secondsOption(*listenCommand, "--timeout", listen.timeout, 0, "how long to listen", "default 5");

  if (auto help = CommandLine::parse(app, args)) return HelpRequest{*help};
  if (listenCommand->parsed()) return listen;
  if (pingCommand->parsed()) return ping;
  if (dmmCommand->parsed()) return dmm;
  if (slmCommand->parsed()) return slm;
  if (traceCommand->parsed()) return trace;
  ccm.mdName = Cfm::MdName(mdName);
  ccm.maName = Cfm::MaName(maName);
  return ccm;
}

}  // namespace CfmTool
