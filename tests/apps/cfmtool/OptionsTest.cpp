// The command line: every refusal is one line naming the command and the option, and what
// is accepted lands in the right field.

#include <gtest/gtest.h>

#include "apps/cfmtool/Options.h"
#include "tests/support/ErrorText.h"

namespace {

using namespace CfmTool;
using Args = std::vector<std::string_view>;

Command parse(const Args& args) { return parseCommandLine(args); }

std::string refusal(const Args& args) {
  const std::string error = TestSupport::errorOf<UsageError>([&] { parse(args); });
  return error.empty() ? "(accepted)" : error;
}

Args with(Args base, const Args& extra) { return base.insert(base.end(), extra.begin(), extra.end()), base; }

// One row per check: the ranges come from one validator each (integerIn, secondsIn), so
// one bound of one option stands for the rest.
TEST(CfmToolOptions, RefusalsNameTheCommandAndTheOption) {
  const Args ping = {"ping", "--intf", "eth0", "--dst", "02:00:00:00:00:01"};
  const Args trace = {"trace", "--intf", "e", "--target", "02:00:00:00:00:01"};
  const Args ccm = {"ccm", "--intf", "eth0", "--level", "3", "--md-name", "D", "--ma-name", "MA", "--mep-id", "1"};
  const std::string mdName44(44, 'd'), mdName40(40, 'd');
  const std::pair<Args, std::string> cases[] = {
      {{}, "cfmtool: no command (ping, dmm, slm, trace, ccm or listen)"},
      {{"pong"}, "cfmtool: unknown command 'pong' (ping, dmm, slm, trace, ccm or listen)"},
      {{"ping", "--intf", "eth0"}, "cfmtool ping: --dst is required"},
      {with(ping, {"--level", "8"}), "cfmtool ping: --level: '8' is not an MD level (0-7)"},
      {with(ping, {"--level=-1"}), "cfmtool ping: --level: '-1' is not an MD level (0-7)"},
      {with(ping, {"--vlan", "4095"}), "cfmtool ping: --vlan: '4095' is not a VLAN id (1-4094)"},
      {with(ping, {"--count", "5x"}), "cfmtool ping: --count: '5x' is not a count (1-1000000)"},
      {with(ping, {"--interval", "nan"}), "cfmtool ping: --interval: 'nan' is not a time in seconds (0.001-3600)"},
      {with(ping, {"--timeout", "-1"}), "cfmtool ping: --timeout: '-1' is not a time in seconds (0-3600)"},
      {with(ping, {"--dst", "02:00:00:00:00"}),
       "cfmtool ping: --dst: '02:00:00:00:00' is not a MAC address (like 00:1c:73:00:00:01)"},
      {with(ping, {"--dst", "01:80:c2:00:00:30"}),
       "cfmtool ping: --dst: 01:80:c2:00:00:30 is not a unicast MAC address"},
      {with(ping, {"--src", "00:00:00:00:00:00"}),
       "cfmtool ping: --src: 00:00:00:00:00:00 is not a unicast MAC address"},
      {with(ping, {"--intf", "sixteen-chars-xx"}), "cfmtool ping: --intf: 'sixteen-chars-xx' is not a device name"},
      {with(ping, {"--ttl", "3"}), "cfmtool ping: unknown option '--ttl'"},
      {with(ping, {"extra"}), "cfmtool ping: unexpected argument 'extra'"},
      {{"slm", "--intf", "e", "--dst", "02:00:00:00:00:01", "--mep-id", "0"},
       "cfmtool slm: --mep-id: '0' is not a MEP id (1-8191)"},
      {{"dmm", "--intf", "e", "--dst", "02:00:00:00:00:01", "--test-id", "1"}, "cfmtool dmm: unknown option '--test-id'"},
      {with(trace, {"--ttl", "256"}), "cfmtool trace: --ttl: '256' is not a TTL (1-255)"},
      {{"ccm", "--intf", "e", "--md-name", "D", "--ma-name", "M", "--mep-id", "1"}, "cfmtool ccm: --level is required"},
      {with(ccm, {"--mep-id", "8192"}), "cfmtool ccm: --mep-id: '8192' is not a MEP id (1-8191)"},
      {with(ccm, {"--md-name", ""}), "cfmtool ccm: --md-name: '' is not 1-43 bytes"},
      {with(ccm, {"--md-name", mdName44}), "cfmtool ccm: --md-name: '" + mdName44 + "' is not 1-43 bytes"},
      {with(ccm, {"--md-name", mdName40, "--ma-name", "abcde"}),
       "cfmtool ccm: --ma-name: 'abcde' is not 1-4 bytes (the MAID's 48 bytes less the MD name's 40 and 4 format "
       "and length bytes)"},
  };
  for (const auto& [args, error] : cases) EXPECT_EQ(refusal(args), error);
}

TEST(CfmToolOptions, AcceptedValues) {
  // Both spellings of a value, the highest values taken; the later of two options counts.
  const auto all = std::get<PingOptions>(parse({"ping", "--intf=eth1", "--dst", "02-00-00-00-00-0A", "--count=1000000",
                                                "--level=7", "--vlan", "4094", "--size", "9000", "--level", "6"}));
  EXPECT_EQ(std::tie(all.intf, all.dst, all.count, all.level, all.vlan, all.size),
            std::make_tuple("eth1", Lumen::EthAddr(2, 0, 0, 0, 0, 0x0a), 1000000u, 6, 4094, 9000u));
  const auto slm = std::get<SlmOptions>(
      parse({"slm", "--intf", "e", "--dst", "02:00:00:00:00:01", "--test-id", "4294967295", "--mep-id", "8191"}));
  EXPECT_EQ(std::tie(slm.testId, slm.sourceMepId), std::make_tuple(0xffffffffu, 8191));
  EXPECT_FALSE(std::get<SlmOptions>(parse({"slm", "--intf", "e", "--dst", "02:00:00:00:00:01"})).testId);
  EXPECT_TRUE(std::holds_alternative<HelpRequest>(parse({"ping", "--level", "99", "--help"})));
}

}  // namespace
