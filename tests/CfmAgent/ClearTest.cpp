// The operator's clear commands as the dispatcher delivers them (a request in the agent's
// command-request directory), and the counter sums the operator reads: what each deletes or
// adds up of one counter tree, and what it refuses. The commands cfmctl makes of its options
// (everything, a level, a protocol, interfaces by either spelling, the two databases, a bad
// level) are cleared one after another in cfmagentd's end-to-end demo; here are the rest.

#include <gtest/gtest.h>

#include <set>

#include "tests/CfmAgent/AgentFixture.h"

namespace {

using namespace AgentTest;
using enum CounterId;

struct ClearTest : AgentFixture {
  void SetUp() override { start(); }
  // Every counter below, and both databases with one entry each.
  void fill() {
    fresh();
    auto& helper = *agent->counterHelper();
    const std::tuple<IntfId, int, Cfm::OpCode, CounterId, int> tree[] = {
        {et1, 3, Cfm::opCodeCcm, in_, 5},     {et1, 3, Cfm::opCodeCcm, inErrorPduTooShort_, 1},
        {et1, 3, Cfm::opCodeLbr, out_, 2},    {et1, 3, Cfm::opCodeLbm, in_, 2},
        {et1, 4, Cfm::opCodeCcm, in_, 1},     {et1, 8, Cfm::opCodeNone, in_, 1},
        {et1, 8, Cfm::opCodeNone, inErrorEthHdrTooShort_, 1}, {et2, 3, Cfm::opCodeCcm, in_, 7}};
    for (const auto& [intf, level, op, id, value] : tree) helper.opCodeCounterIs(intf, Cfm::MdLevel(level), op).counterIs(id, value);
    agent->status()->ccmDb()->ccmMdIs(Cfm::MdLevel(3));
    agent->status()->mipCcmDb()->vlanIs(Lumen::VlanId(10))->entryIs(Lumen::EthAddr(2, 0, 0, 0, 0, 0xa), et1);
  }
  // "Ethernet1/3/1/in" for each counter, "ccmDb" and "mipDb" while they hold anything.
  std::set<std::string> held() const {
    std::set<std::string> out;
    for (IntfId intf : {et1, et2})
      for (const auto& [key, value] : counts(intf))
        out.insert(intf.stringValue() + "/" + std::to_string(get<0>(key)) + "/" + std::to_string(get<1>(key)) + "/" + get<2>(key));
    if (!status()->ccmDb()->ccmMd().empty()) out.insert("ccmDb");
    if (!status()->mipCcmDb()->vlan().empty()) out.insert("mipDb");
    return out;
  }
  // The request's error; empty when it was done.
  std::string request(const std::string& command) {
    auto request = Kiln::make<Agent::CommandRequest>("r", "CfmCliCallback", 7, command);
    agent->cliRequestDir()->entityIs("r", request);
    agent->cliRequestDir()->entityDel("r");
    EXPECT_NE(request->state(), Agent::CommandRequest::State::pending);
    return request->error();
  }
};

TEST_F(ClearTest, EachCommandDeletesWhatItSelectsOrRefusesAndDeletesNothing) {
  const std::string range = "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed";
  struct Row { const char* command; std::vector<std::string> gone; std::string error = {}; };
  const Row rows[] = {
      {"", {}},
      {"clear intermediate-point database ", {"Ethernet"}},
      {"continuity-check", {}},
      {", +3,,Ethernet1", {"Ethernet1/3/"}},
      {",8,Ethernet1", {"Ethernet1/8/"}},
      {"continuity-check,,Ethernet1", {}},
      {"continuity-check,3,Ethernet1,Ethernet2", {"Ethernet1/3/1/", "Ethernet2/3/1/"}},
      {"loopback,9,Ethernet1", {}, range},
      {"loopback,256,Ethernet1", {}, range},
      {",99999999999,Ethernet1", {}, "stoi"},
      {",3,Ethernet1,Bogus9", {}, "Invalid interface name 'Bogus9'"},
  };
  fill();
  const std::set<std::string> full = held();
  ASSERT_EQ(full.size(), 10u);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.command);
    fill();
    EXPECT_EQ(request(r.command), r.error);
    std::set<std::string> left;
    for (const auto& entry : full) {
      if (std::none_of(r.gone.begin(), r.gone.end(), [&](const auto& p) { return entry.starts_with(p); })) left.insert(entry);
    }
    EXPECT_EQ(held(), left);
  }
  EXPECT_EQ(traced("CfmAgentCommandRequest/5", [&] { request(""); request(",3,Ethernet1"); request("loopback,9,Et1"); }),
            (std::vector<std::string>{"CliCallback::handleCommand ignored: empty command",
                                      "CliCallback::handleCommand refused: loopback,9,Et1: " + range}));
}

TEST_F(ClearTest, SumsByClassAndIdAndTheClearVersion) {
  fill();
  const auto& helper = *agent->counterHelper();
  auto filter = counterFilterFactory();
  const auto byClass = [&] { return helper.aggregateCounterClass(*filter)->counter(); };
  const auto byId = [&] { return helper.aggregateCounterId(*filter)->counter(); };
  using Classes = std::map<CounterClass, std::uint64_t>;
  using Ids = std::map<CounterId, std::uint64_t>;
  EXPECT_EQ(byClass(), (Classes{{CounterClass::counterClassIn_, 16}, {CounterClass::counterClassInError_, 2},
                                {CounterClass::counterClassOut_, 2}}));
  filter->opCodeIs(Cfm::opCodeCcm, false);  // selects by presence
  EXPECT_EQ(byId(), (Ids{{in_, 13}, {inErrorPduTooShort_, 1}}));
  filter->counterClassIs(CounterClass::counterClassInError_, false);  // only with flag true
  EXPECT_EQ(byId(), Ids{});
  filter = counterFilterFactory();
  filter->intfIs(et1, true);
  filter->counterIdIs(in_, true);
  EXPECT_EQ(byId(), (Ids{{in_, 9}}));
  EXPECT_EQ(agent->query("counter-sums", {{"by", "class"}, {"intf", "Ethernet1"}, {"level", "3,8"}}),
            "in 8\ninError 2\nout 2\n");
  EXPECT_EQ(agent->query("counter-sums", {{"by", "id"}, {"class", "inError"}, {"opcode", "0"}}), "inErrorEthHdrTooShort 1\n");
  for (const char* bad : {"level", "opcode", "class", "id"}) {
    EXPECT_THROW(agent->query("counter-sums", {{"by", "id"}, {bad, "999"}}), std::invalid_argument) << bad;
  }

  // An identifier filter without a level lists nothing below the interface: nothing goes.
  const auto before = helper.invalidMdOpCodeInCounterIdClearVersion();
  agent->counterHelper()->clearCounter(*filter);
  EXPECT_EQ(held().size(), 10u);
  // Deleting `in` entries one by one moves the version on; deleting a whole bucket does not.
  filter->counterIdDelAll();
  filter->mdLevelIs(Cfm::MdLevel(3), true);
  filter->opCodeIs(Cfm::opCodeCcm, true);
  filter->counterClassIs(CounterClass::counterClassIn_, true);
  agent->counterHelper()->clearCounter(*filter);
  EXPECT_EQ(helper.invalidMdOpCodeInCounterIdClearVersion(), before + 1);
  EXPECT_FALSE(held().contains("Ethernet1/3/1/in"));
  EXPECT_EQ(held().size(), 9u);
  EXPECT_EQ(request("loopback,3,Ethernet1"), "");
  EXPECT_EQ(helper.invalidMdOpCodeInCounterIdClearVersion(), before + 1);
}

}  // namespace
