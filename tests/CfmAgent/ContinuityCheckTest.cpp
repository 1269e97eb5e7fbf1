// The continuity check receiver behind the whole agent's receive path: each CCM checked in
// order, and what it leaves in the MIP CCM database and the CCM database.

#include <gtest/gtest.h>

#include "platform/kiln/Clock.h"
#include "tests/CfmAgent/AgentFixture.h"

namespace {

using namespace AgentTest;

class ContinuityCheckTest : public AgentFixture {
 protected:
  void SetUp() override { Kiln::nowOverrideIs(100.25); start(); }
  void TearDown() override { Kiln::nowOverrideIs(std::nullopt); AgentFixture::TearDown(); }

  // Both databases as the status mount shows them, an entry a line.
  std::vector<std::string> learnt() const {
    std::vector<std::string> out;
    for (const auto& [vlan, v] : status()->mipCcmDb()->vlan()) {
      for (const auto& [mac, intf] : v->entry()) out.push_back(line("mip", vlan, mac, intf));
    }
    for (const auto& [level, md] : status()->ccmDb()->ccmMd()) {
      for (const auto& [name, ma] : md->ccmMa()) {
        if (ma->ccmMepInfo().empty()) out.push_back(line("ccm", int(level.value()), name.stringValue(), "no MEP"));
        for (const auto& [mep, i] : ma->ccmMepInfo()) {
          out.push_back(line("ccm", int(level.value()), name.stringValue(), mep.value(), i->vlanId(), i->intf(),
                             i->srcMac(), i->lastCcmReceivedTime()));
        }
      }
    }
    return out;
  }
};

// Every check once, alone or as the first of two faults, and each way the names can end for
// each MD name format (CfmPduTest walks every length through the accessors); a drop learns
// nothing, except where the MD name format is one not parsed: the sender is learnt in the MIP
// CCM database before the MA name is read.
TEST_F(ContinuityCheckTest, EachCheckCountsAndLearnsAsItsOutcome) {
  enum Learnt { nothing, mipOnly, both };
  const std::string debug = "debugUnsupportedMdNameFormat", maLen = "inErrorCcmMaNameLen";
  auto with = [](std::string pdu, std::size_t at, char byte) { pdu[at] = byte; return pdu; };
  auto sized = [](std::string pdu, std::size_t n) { pdu.resize(n, '\0'); return pdu; };
  auto names = [](int mdFormat, std::size_t mdLen, std::size_t maLen) {
    return ccm(3, 200, std::string(mdLen, 'd'), std::string(maLen, 'a'), 1, mdFormat);
  };
  struct Row { const char* name; std::string pdu; std::vector<std::string> counted; Learnt learnt;
               std::string ma = "demo-ma"; int mep = 200; };
  const Row rows[] = {
      {"73 bytes", sized(ccm(3, 200), 73), {"inErrorPduTooShort"}, nothing},
      {"74 bytes, no tlv at all", sized(ccm(3, 200), 74), {}, both},
      {"128 bytes", sized(ccm(3, 200), 128), {}, both},
      {"129 bytes", sized(ccm(3, 200), 129), {"inErrorPduTooLong"}, nothing},
      {"interval 0", with(ccm(3, 200), 2, 0), {"inErrorCcmIntervalZero"}, nothing},
      {"interval 0 under rdi and reserved bits", with(ccm(3, 200), 2, '\xf8'), {"inErrorCcmIntervalZero"}, nothing},
      {"mep 0", ccm(3, 0), {"inErrorCcmMepIdInvalid"}, nothing},
      {"mep 1", ccm(3, 1), {}, both, "demo-ma", 1},
      {"mep 8191", ccm(3, 8191), {}, both, "demo-ma", 8191},
      {"mep 8192", ccm(3, 8192), {"inErrorCcmMepIdInvalid"}, nothing},
      {"no md name, ma 45", names(1, 0, 45), {}, both, std::string(45, 'a')},
      {"no md name, ma 46", names(1, 0, 46), {maLen}, nothing},
      {"string md 7, ma 37", names(4, 7, 37), {}, both, std::string(37, 'a')},
      {"string md 44", names(4, 44, 1), {"inErrorCcmMdNameLen"}, nothing},
      {"string md, ma 38", names(4, 7, 38), {maLen}, nothing},
      {"dns md 43, ma 1", names(2, 43, 1), {debug}, both, "a"},
      {"dns md 44", names(2, 44, 1), {debug, maLen}, mipOnly},
      // Two faults: the first check decides.
      {"129 bytes, interval 0", sized(with(ccm(3, 200), 2, 0), 129), {"inErrorPduTooLong"}, nothing},
      {"interval 0, mep 0", with(ccm(3, 0), 2, 0), {"inErrorCcmIntervalZero"}, nothing},
      {"mep 0, string md 0", with(names(4, 0, 1), 9, 0), {"inErrorCcmMepIdInvalid"}, nothing},
      {"string md 0, ma 0", names(4, 0, 0), {"inErrorCcmMdNameLen"}, nothing},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh();
    send(frame(r.pdu).bytes());
    Counts expected{{{3, 1, "in"}, 1}};
    for (const std::string& c : r.counted) expected[{3, 1, c}] = 1;
    EXPECT_EQ(counts(), expected);
    std::vector<std::string> want;  // host A on Ethernet1, VLAN 10
    if (r.learnt != nothing) want.push_back("mip 10 02:00:00:00:00:0a Ethernet1 ");
    if (r.learnt == both) want.push_back(line("ccm 3", r.ma, r.mep, "10 Ethernet1 02:00:00:00:00:0a 100.25"));
    EXPECT_EQ(learnt(), want);
  }
}

// A later CCM moves its sender and its MEP; the MA name's bytes alone key an MA, whatever the
// name formats and the MD name; the VLAN is the one the frame's tags resolve to.
TEST_F(ContinuityCheckTest, LaterCcmsWinAndOnlyTheMaNameKeysAnMa) {
  addPort(et2, "veth2");
  port->ingressVlanXlateIs({100, 0}, {300, 0});
  send(frame(ccm(4, 200), ccmGroup(4)).bytes());
  send(frame(ccm(3, 200)).bytes());
  Kiln::nowOverrideIs(200);
  send(frame(ccm(3, 200)).bytes(), et2);
  send(Frame{ccmGroup(3), hostB, {}, 0x8902, ccm(3, 201, "", "demo-ma", 1, 1, 3)}.tag(20).bytes());
  send(frame(ccm(3, 202, "other-md", "demo-ma", 1, 2)).tag(100).bytes());
  EXPECT_EQ(learnt(), (std::vector<std::string>{
                          "mip 10 02:00:00:00:00:0a Ethernet2 ", "mip 20 02:00:00:00:00:0b Ethernet1 ",
                          "mip 300 02:00:00:00:00:0a Ethernet1 ",
                          "ccm 3 demo-ma 200 10 Ethernet2 02:00:00:00:00:0a 200 ",
                          "ccm 3 demo-ma 201 20 Ethernet1 02:00:00:00:00:0b 200 ",
                          "ccm 3 demo-ma 202 300 Ethernet1 02:00:00:00:00:0a 200 ",
                          "ccm 4 demo-ma 200 10 Ethernet1 02:00:00:00:00:0a 100.25 ",
                      }));
  EXPECT_EQ(status()->ccmDb()->ccmMd(Cfm::MdLevel(3))->ccmMa().size(), 1u);
}

// The limits bound new entries only: a CCM that would add one past a limit still counts
// `in`, adds nothing to that database and counts its own debug counter beside it, while a
// known sender is refreshed even at or past the limit. The databases are limited apart, a
// lowered limit keeps what is stored, and the operator's clear makes room again. Before each
// row hosts A (MEP 200) and B (MEP 201) are learnt on Ethernet1, under the default limits.
TEST_F(ContinuityCheckTest, LimitsStopNewEntriesOnly) {
  addPort(et2, "veth2");
  const std::string mipA = "mip 10 02:00:00:00:00:0a Ethernet1 ", mipB = "mip 10 02:00:00:00:00:0b Ethernet1 ";
  const std::string mep200 = "ccm 3 demo-ma 200 10 Ethernet1 02:00:00:00:00:0a 100.25 ";
  const std::string mep201 = "ccm 3 demo-ma 201 10 Ethernet1 02:00:00:00:00:0b 100.25 ";
  const std::string mipFull = "debugMipCcmDbFull", ccmFull = "debugCcmDbFull";
  const std::vector<std::string> base = {mipA, mipB, mep200, mep201};
  struct Row { const char* name; std::uint32_t ccmLimit, mipLimit; std::string src; int mep;
               std::vector<std::string> counted, learnt; IntfId intf = et1; std::string ma = "demo-ma";
               bool clearCcmDb = false; };
  const Row rows[] = {
      {"room in both", 3, 3, hostC, 202, {},
       {mipA, mipB, "mip 10 02:00:00:00:00:0c Ethernet1 ", mep200, mep201,
        "ccm 3 demo-ma 202 10 Ethernet1 02:00:00:00:00:0c 200 "}},
      {"both full", 2, 2, hostC, 202, {mipFull, ccmFull}, base},
      {"lowered below the fill", 1, 0, hostC, 202, {mipFull, ccmFull}, base},
      {"only the CCM database full", 2, 3, hostC, 202, {ccmFull},
       {mipA, mipB, "mip 10 02:00:00:00:00:0c Ethernet1 ", mep200, mep201}},
      {"only the MIP CCM database full", 3, 2, hostC, 202, {mipFull},
       {mipA, mipB, mep200, mep201, "ccm 3 demo-ma 202 10 Ethernet1 02:00:00:00:00:0c 200 "}},
      // A new MA name is a new entry too, and no association is made without its MEP.
      {"a new association when full", 2, 2, hostA, 200, {ccmFull}, base, et1, "other-ma"},
      {"known sender moves, both lowered to 0", 0, 0, hostA, 200, {},
       {"mip 10 02:00:00:00:00:0a Ethernet2 ", mipB, "ccm 3 demo-ma 200 10 Ethernet2 02:00:00:00:00:0a 200 ", mep201},
       et2},
      {"known MEP from a new address", 2, 2, hostC, 200, {mipFull},
       {mipA, mipB, "ccm 3 demo-ma 200 10 Ethernet1 02:00:00:00:00:0c 200 ", mep201}},
      {"a clear makes room in its database only", 2, 2, hostC, 202, {mipFull},
       {mipA, mipB, "ccm 3 demo-ma 202 10 Ethernet1 02:00:00:00:00:0c 200 "}, et1, "demo-ma", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh();
    Kiln::nowOverrideIs(100.25);
    config->ccmDbEntryLimitIs(Config::defaultCcmDbEntryLimit);
    config->mipCcmDbEntryLimitIs(Config::defaultMipCcmDbEntryLimit);
    send(frame(ccm(3, 200)).bytes());
    send(Frame{ccmGroup(3), hostB, {}, 0x8902, ccm(3, 201)}.bytes());
    ASSERT_EQ(learnt(), base);
    config->ccmDbEntryLimitIs(r.ccmLimit);
    config->mipCcmDbEntryLimitIs(r.mipLimit);
    if (r.clearCcmDb) {
      auto request = Kiln::make<::Agent::CommandRequest>("r", "CfmCliCallback", 7, "clear continuity-check database");
      agent->cliRequestDir()->entityIs("r", request);
      agent->cliRequestDir()->entityDel("r");
    }
    status()->counter()->intfCounterDelAll();
    Kiln::nowOverrideIs(200);
    auto traces = traced("CfmContinuityCheck/5", [&] {
      send(Frame{ccmGroup(3), r.src, {}, 0x8902, ccm(3, std::uint16_t(r.mep), "demo-md", r.ma)}.bytes(), r.intf);
    });
    // Each refusal is traced with the fill it met.
    Counts expected{{{3, 1, "in"}, 1}};
    std::vector<std::string> expectedTraces;
    for (const std::string& c : r.counted) {
      expected[{3, 1, c}] = 1;
      expectedTraces.push_back(c == mipFull ? line("mipCcmDb->entryCount() Value:", status()->mipCcmDb()->entryCount())
                                            : line("ccmDb->entryCount() Value:", status()->ccmDb()->entryCount()));
    }
    for (auto& t : traces) t = t.substr(t.find("Expr: ") + 6) + " ";
    EXPECT_EQ(counts(r.intf), expected);
    EXPECT_EQ(learnt(), r.learnt);
    EXPECT_EQ(traces, expectedTraces);
  }
}

}  // namespace
