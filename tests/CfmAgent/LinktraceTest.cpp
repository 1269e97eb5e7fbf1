// The linktrace engine behind the whole agent's receive path: which frames an LTM makes the
// bridge send, out of which ports and in which order, and what is counted. Expected frames
// are written out here byte by byte, never derived from the message the test sent.

#include <gtest/gtest.h>

#include "tests/CfmAgent/AgentFixture.h"
#include "tests/support/Tshark.h"

namespace {

using namespace AgentTest;

const IntfId et3("Ethernet3");
const std::string end(1, '\0'), zeroId(8, '\0');
const std::string ownId = u16(0) + bridgeMac;  // this bridge as an egress identifier
const std::string lastId = u16(0x0102) + hostB;

const Counts answered = {{{3, 5, "in"}, 1}, {{3, 4, "out"}, 1}};

std::string ltr(int flags, int replyTtl, int action, const std::string& tlvs, int level = 3) {
  return cfmHeader(level, 4, flags, 6) + u32(0x01020304) + char(replyTtl) + char(action) + tlvs;
}
// What every LTR of this bridge carries before the copied TLVs.
std::string replied(const std::string& last = zeroId) {
  return tlv(8, last + ownId) + tlv(5, "\x01" + bridgeMac) + tlv(6, "\x01" + bridgeMac);
}

// The value of the line `what` of an explanation; empty when it has none.
std::string said(const std::string& text, const std::string& what) {
  const auto at = text.find("\n  " + what + " ");
  if (at == std::string::npos) return "";
  const auto from = text.find_first_not_of(' ', at + 3 + what.size());
  return text.substr(from, text.find('\n', from) - from);
}

// Where frames went and how long they were: what a failure says of frames too long to print.
std::string sizes(const Pairs& sent) {
  std::string out;
  for (const auto& [intf, bytes] : sent) out += intf.stringValue() + ":" + std::to_string(bytes.size()) + " ";
  return out.empty() ? "nothing" : out;
}

enum Table { learnt, configured, mipDb };
struct Known { Table table; IntfId intf; int vlan = 10; };

struct LinktraceTest : AgentFixture {
  void SetUp() override { addPort(et2, "veth2"); addPort(et3, "veth3"); start(); }
  // fresh(), and host C known where `where` says only.
  void reset(const std::vector<Known>& where = {}) {
    fresh();
    for (Lumen::VlanId vlan : {Lumen::VlanId(10), Lumen::VlanId(20)}) {
      brConfig->vlanConfigDel(vlan);
      brStatus->vlanStatusDel(vlan);
    }
    const Lumen::EthAddr c(2, 0, 0, 0, 0, 0x0c);
    for (const Known& k : where) {
      const Lumen::VlanId vlan(k.vlan);
      if (k.table == learnt) brStatus->vlanStatusIs(vlan)->learnedHostIs(c, {k.intf});
      if (k.table == configured) brConfig->vlanConfigIs(vlan)->configuredHostIs(c, {k.intf});
      if (k.table == mipDb) agent->status()->mipCcmDb()->vlanIs(vlan)->entryIs(c, k.intf);
    }
  }
  // What the agent says it would do with an LTM for host C on Ethernet1 in VLAN 10.
  std::string explain(bool fdbOnly, const std::string& intf = "Ethernet1", const std::string& target = "02:00:00:00:00:0c") {
    return agent->query("explain-linktrace", {{"intf", intf}, {"vlan", "10"}, {"target", target}, {"fdbOnly", fdbOnly ? "true" : "false"}});
  }

  Kiln::Ptr<Bridging::Status> brStatus = entity<Bridging::Status>("bridging/status", "Bridging::Status");
};

// F the filtering database, M the MIP CCM database; usable means known on a port other than
// Ethernet1, where the LTM comes in. A relayed LTM leaves before the LTR; with TTL 1 only the
// LTR does. (An LTM to the bridge itself is answered below, never relayed; the byte-by-byte
// case relays with useFdbOnly set.)
TEST_F(LinktraceTest, TheRelayTakesTheFirstUsablePortInItsOrder) {
  struct Row { const char* name; std::vector<Known> where; int flags; IntfId egress; int action = 0; int ttl = 64; };
  const Row rows[] = {
      {"F usable", {{learnt, et2}, {mipDb, et3}}, 0, et2, 2},
      {"F usable, ttl 2", {{learnt, et2}}, 0, et2, 2, 2},
      {"F usable, ttl 1", {{learnt, et2}}, 0, et2, 2, 1},
      {"F on ingress, fdb only", {{learnt, et1}, {mipDb, et3}}, 0x80, {}},
      {"F on ingress, M usable", {{learnt, et1}, {mipDb, et3}}, 0, et3, 3},
      {"F on ingress, M on ingress", {{learnt, et1}, {mipDb, et1}}, 0, {}},
      {"no F, M usable", {{mipDb, et3}}, 0, et3, 3},
      {"neither", {}, 0, {}},
      {"configured beats learnt", {{learnt, et2}, {configured, et3}}, 0, et3, 2},
      {"configured on ingress hides learnt", {{learnt, et2}, {configured, et1}}, 0, {}},
      {"configured on ingress, M usable", {{learnt, et2}, {configured, et1}, {mipDb, et3}}, 0, et3, 3},
      {"known only in vlan 20", {{learnt, et2, 20}, {configured, et3, 20}, {mipDb, et3, 20}}, 0, {}},
      {"F in vlan 20, M in vlan 10", {{learnt, et2, 20}, {mipDb, et3}}, 0, et3, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reset(r.where);
    const std::string why = explain(r.flags & 0x80);
    const Pairs sent = exchange(frame(ltm(r.ttl, hostC, end, r.flags), ltmGroup(3)).bytes());
    EXPECT_EQ(said(why, "egress port"), r.egress ? r.egress.stringValue() : "none") << why;
    EXPECT_EQ(said(why, "relay action"), (std::array<const char*, 4>{"", "", "RlyFDB", "RlyMPDB"}[r.action])) << why;
    const bool relays = r.egress && r.ttl > 1;
    Pairs want;
    const std::string relayed = ltm(r.ttl - 1, hostC, tlv(7, ownId) + end, r.flags),
                      reply = ltr((relays ? 0x40 : 0) | r.flags, r.ttl - 1, r.action, replied() + end);
    if (relays) want.emplace_back(r.egress, ethernet(ltmGroup(3), bridgeMac, 0, relayed));
    if (r.egress) want.emplace_back(et1, ethernet(hostA, bridgeMac, 0, reply));
    Counts counted = r.egress ? answered : Counts{{{3, 5, "in"}, 1}, {{3, 5, "debugLtmNoEgressPort"}, 1}};
    if (r.egress && !relays) counted[{3, 5, "debugLtmTtlExpired"}] = 1;
    EXPECT_EQ(counts(r.egress), (relays ? Counts{{{3, 5, "out"}, 1}} : Counts{}));
    EXPECT_EQ(sent, want);
    EXPECT_EQ(counts(et1), counted);
  }
}

// VLAN 20 leaves Ethernet1 tagged and Ethernet2 double tagged under the service TPID. The LTR
// drops the Sender ID and Reply TLVs, the relay only the Sender ID; both put their own egress
// identifier in place of the LTM's. A repeated type is copied as the last of its kind, once per
// occurrence. Terminal MEP, a bit the LTM leaves reserved, is cleared.
TEST_F(LinktraceTest, TheRelayedLtmAndTheLtrByteByByte) {
  const std::string sender = tlv(1, std::string(1, '\0')), data = tlv(3, "hello"),
                    replies = tlv(6, "\x03" + hostC) + tlv(5, "\x02" + hostB), org = tlv(31, u16(0x12) + "\x34\x01"),
                    org2 = tlv(31, u16(0x12) + "\x34\x02");
  reset({{learnt, et2, 20}});
  port->egressVlanXlateIs({20, 0}, {20, 0});
  const auto trunk = brConfig->switchIntfConfigIs(et2);
  trunk->modeIs(Bridging::switchIntfModeTrunk);
  trunk->tpidIs(0x88a8);
  trunk->egressVlanXlateIs({20, 0}, {300, 7});
  Frame in{ltmGroup(4), hostA, {}, 0x8902,
           ltm(64, hostC, sender + data + tlv(7, lastId) + replies + org + org2 + end, 0xa1, hostA, 4)};
  Frame out{ltmGroup(4), bridgeMac, {}, 0x8902,
            ltm(63, hostC, tlv(7, ownId) + data + replies + org2 + org2 + end, 0xa1, hostA, 4)};
  Frame back{hostA, bridgeMac, {}, 0x8902, ltr(0xc1, 63, 2, replied(lastId) + data + org2 + org2 + end, 4)};
  const Pairs sent = exchange(in.tag(20).bytes());
  EXPECT_EQ(sent, (Pairs{{et2, out.tag(300, 0x88a8).tag(7).bytes()}, {et1, back.tag(20).bytes()}}));
  // And an independent decoder reads both as we meant them, the LTR's identifiers and reply
  // TLVs included: no other test has tshark decode an LTR. Each line of values below goes
  // with the same line of fields.
  ASSERT_TRUE(TestSupport::haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  EXPECT_EQ(TestSupport::tsharkDecode(
                {sent.at(0).second, sent.at(1).second},
                {"ieee8021ad.id", "vlan.id", "cfm.md.level", "cfm.opcode", "cfm.first.tlv.offset", "cfm.flags.usefdbonly",
                 "cfm.flags.fwdyes", "cfm.flags.ltr.terminalmep",
                 "cfm.lt.transaction.id", "cfm.lt.ttl", "cfm.ltr.relay.action", "cfm.ltm.targ.addr", "cfm.tlv.type", "cfm.tlv.length",
                 "cfm.tlv.ltr.egress.last.id.ui", "cfm.tlv.ltr.egress.last.id.mac", "cfm.tlv.ltr.egress.next.id.ui",
                 "cfm.tlv.ltr.egress.next.id.mac",
                 "cfm.tlv.reply.ingress.action", "cfm.tlv.reply.ingress.mac.address", "cfm.tlv.reply.egress.action",
                 "cfm.tlv.reply.egress.mac.address"}),
            (std::vector<std::string>{
                "300\t7\t4\t5\t17\t1\t\t\t"
                "16909060\t63\t\t02:00:00:00:00:0c\t7,3,6,5,31,31,0\t8,5,7,7,4,4\t"
                "\t\t\t\t"
                "2\t02:00:00:00:00:0b\t3\t02:00:00:00:00:0c",
                "\t20\t4\t4\t6\t1\t1\t0\t"
                "16909060\t63\t2\t\t8,5,6,3,31,31,0\t16,7,7,5,4,4\t"
                "0102\t02:00:00:00:00:0b\t0000\t02:00:00:00:00:01\t"
                "1\t02:00:00:00:00:01\t1\t02:00:00:00:00:01"}));
  EXPECT_EQ(counts(et1), (Counts{{{4, 5, "in"}, 1}, {{4, 4, "out"}, 1}}));
  EXPECT_EQ(counts(et2), (Counts{{{4, 5, "out"}, 1}}));
}

// An LTM to the bridge with its egress identifier cut at every length: the receive path and
// the fixed part's length drop the shortest; a cut TLV is counted, yet the LTM is answered,
// with the last egress identifier only once it is whole.
TEST_F(LinktraceTest, EveryCutOfAnLtmIsDroppedOnceOrAnswered) {
  const std::string full = ltm(5, bridgeMac, tlv(7, lastId) + end);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    reset();
    const Pairs sent = exchange(frame(full.substr(0, n), ltmGroup(3)).bytes());
    if (n < 21) {
      EXPECT_EQ(sent, Pairs{});
      EXPECT_EQ(counts(et1), n < 4    ? dropped(8, 0, "CfmHdrTooShort")
                         : n < 17 ? dropped(3, 5, "FirstTlvOffsetTooLarge")
                                  : dropped(3, 5, "PduTooShort"));
      continue;
    }
    Counts want = answered;
    if (n > 21 && n < 32) want[{3, 5, n < 24 ? "inErrorTlvHdrTruncated" : "inErrorTlvLenTooLarge"}] = 1;
    EXPECT_EQ(counts(et1), want);
    const std::string last = n < 32 ? zeroId : lastId;
    EXPECT_EQ(sent, (Pairs{{et1, ethernet(hostA, bridgeMac, 0, ltr(0, 4, 1, replied(last) + end))}}));
  }
}

// The whole answer once, and the answers that are refusals: nothing is counted or sent.
TEST_F(LinktraceTest, ExplainShowsEachLookupAndSendsNothing) {
  reset({{learnt, et2}, {configured, et1}, {mipDb, et3}});
  Interface::memoryPamNetwork().sentClear();
  EXPECT_EQ(explain(true),
            "LTM for 02:00:00:00:00:0c on Ethernet1 in VLAN 10, useFdbOnly set; bridge MAC 02:00:00:00:00:01\n"
            "  configured hosts    Ethernet1 (the ingress port: not usable)\n"
            "  learned hosts       not asked: a configured host decides\n"
            "  MIP CCM database    not asked: useFdbOnly is set\n"
            "  egress port         none\n"
            "  answer              none: no port other than Ethernet1 leads to the target (counted as debugLtmNoEgressPort)\n");
  EXPECT_EQ(said(explain(false), "MIP CCM database"), "Ethernet3");
  EXPECT_EQ(said(explain(false, "Ethernet7"), "answer"),
            "none: the agent has no packet socket on Ethernet7, so it never sees the LTM");
  EXPECT_EQ(said(explain(false, "Ethernet1", "01:80:c2:00:00:3b"), "answer"),
            "none: the target is a group address (counted as inErrorLtmTargetMac)");
  EXPECT_EQ(said(explain(false, "Ethernet1", "02:00:00:00:00:01"), "relay action"), "RlyHit");
  for (const auto& [intf, vlan, target] : {std::tuple{"Ethernet1,", "10", "02:00:00:00:00:0c"},
                                            {"Ethernet1", "4095", "02:00:00:00:00:0c"}, {"Ethernet1", "10", "02:00:00:00:0c"}}) {
    EXPECT_THROW(agent->query("explain-linktrace", {{"intf", intf}, {"vlan", vlan}, {"target", target}}), std::invalid_argument);
  }
  EXPECT_EQ(Interface::memoryPamNetwork().sent().size(), 0u);
  EXPECT_EQ(counts(et1), Counts{});
}

// An LTM carrying one Data TLV of every length, to the bridge (an LTR) and to host C behind
// Ethernet2 (the relay, then the LTR), on access ports and on trunks that send two tags where
// the LTM came untagged: the largest growth an answer has. What fits its port's MTU leaves
// byte for byte, counted `out` at the LTM's level; what would not is counted on the LTM and
// not sent, and a relay left unsent makes the reply FwdNo.
TEST_F(LinktraceTest, AnswersOfEverySizeFitTheirEgress) {
  const std::size_t mtu = 1500;
  for (const bool tagged : {false, true}) {
    reset({{learnt, et2}});
    const auto doubleTag = [&](Frame f) { return tagged ? f.tag(300, 0x88a8).tag(7).bytes() : f.bytes(); };
    for (const IntfId intf : {et1, et2}) {
      const auto port = brConfig->switchIntfConfigIs(intf);
      port->modeIs(tagged ? Bridging::switchIntfModeTrunk : Bridging::switchIntfModeAccess);
      port->tpidIs(0x88a8);
      port->egressVlanXlateIs({10, 0}, {300, 7});
    }
    const std::size_t l2 = tagged ? 22 : 14;
    for (std::size_t n = 0; n <= mtu; ++n) {
      SCOPED_TRACE(std::to_string(n) + (tagged ? " bytes, two tags" : " bytes, untagged"));
      const std::string data = tlv(3, std::string(n, char(n))) + end;
      for (const bool relay : {false, true}) {
        agent->status()->counter()->intfCounterDelAll();
        const std::string relayed = doubleTag({ltmGroup(3), bridgeMac, {}, 0x8902, ltm(63, hostC, tlv(7, ownId) + data)});
        const bool relays = relay && relayed.size() - l2 <= mtu;
        const std::string reply = doubleTag(
            {hostA, bridgeMac, {}, 0x8902, ltr(relays ? 0x40 : 0, 63, relay ? 2 : 1, replied() + data)});
        const bool replies = reply.size() - l2 <= mtu;
        Pairs want;
        if (relays) want.emplace_back(et2, relayed);
        if (replies) want.emplace_back(et1, reply);
        Counts counted{{{3, 5, "in"}, 1}};
        counted[{3, replies ? 4 : 5, replies ? "out" : "debugReplyTooBig"}] = 1;
        if (relay && !relays) counted[{3, 5, "debugLtmRelayTooBig"}] = 1;
        const Pairs sent = exchange(frame(ltm(64, relay ? hostC : bridgeMac, data), relay ? ltmGroup(3) : bridgeMac).bytes());
        ASSERT_TRUE(sent == want) << (relay ? "relayed: " : "to the bridge: ") << sizes(sent) << " instead of " << sizes(want);
        ASSERT_EQ(counts(et1), counted);
        ASSERT_EQ(counts(et2), (relays ? Counts{{{3, 5, "out"}, 1}} : Counts{}));
      }
    }
  }
}

// LTMs a hostile host sends on a 9000-byte MTU: repeated TLVs that each answer would copy as
// the last of their kind, jumbo TLVs, and many equal TLVs that once made an answer outgrow its
// first buffer. Each is answered within the amplification bound or counted, never more.
TEST_F(LinktraceTest, HostileLtmsAreAnsweredWithinTheBoundOrCounted) {
  auto kni = entity<KernelNetInfo::Status>("kni/ns/default/status", "KernelNetInfo::Status");
  kni->deviceIs("veth1", 1, 9000);
  kni->deviceIs("veth2", 2, 9000);
  const auto empties = [](int n, int type = 3) { return repeated(n, tlv(type, "")); };
  // Each answer copies the last of a repeated type for every one: of equal length, they fit.
  std::string org, lastOrg;
  for (int i = 0; i < 60; ++i) org += lastOrg = tlv(31, std::string("\0\x12\x34", 3) + std::string(61, char(i)));
  const Counts tooBig = {{{3, 5, "in"}, 1}, {{3, 5, "debugReplyTooBig"}, 1}};
  Counts relayTooBig = tooBig;
  relayTooBig[{3, 5, "debugLtmRelayTooBig"}] = 1;
  struct Row { const char* name; std::string tlvs; bool relay; Counts counted; std::string copied = {}; };
  const Row rows[] = {
      {"400 empty Data TLVs, then 200 bytes", empties(400) + tlv(3, std::string(200, 'x')), false, tooBig},
      {"the same, relayed", empties(400) + tlv(3, std::string(200, 'x')), true, relayTooBig},
      {"1000 empty Data TLVs, then 6000 bytes", empties(1000) + tlv(3, std::string(6000, 'x')), true, relayTooBig},
      {"130 empty Data TLVs, then 100 bytes", empties(130) + tlv(3, std::string(100, 'x')), false, tooBig},
      {"60 Organization-Specific TLVs", org, true, answered, repeated(60, lastOrg)},
      {"2900 empty Organization-Specific TLVs", empties(2900, 31), true, answered, empties(2900, 31)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reset({{learnt, et2}});
    const std::string in = frame(ltm(64, r.relay ? hostC : bridgeMac, r.tlvs + end), r.relay ? ltmGroup(3) : bridgeMac).bytes();
    const Pairs sent = exchange(in);
    EXPECT_EQ(counts(et1), r.counted);
    const std::string tlvs = r.copied + end;
    const Pairs want = r.copied.empty() ? Pairs{}
                                        : Pairs{{et2, ethernet(ltmGroup(3), bridgeMac, 0, ltm(63, hostC, tlv(7, ownId) + tlvs))},
                                                {et1, ethernet(hostA, bridgeMac, 0, ltr(0x40, 63, 2, replied() + tlvs))}};
    EXPECT_TRUE(sent == want) << sizes(sent) << " instead of " << sizes(want);
    for (const auto& [intf, bytes] : sent) EXPECT_LE(bytes.size(), in.size() + CfmAgent::LinktraceSm::ltrGrowthMax);
  }
  // The bound is reached: the smallest LTM there is, untagged and without an End TLV,
  // answered with two tags.
  reset();
  port->tpidIs(0x88a8);
  port->egressVlanXlateIs({10, 0}, {300, 7});
  const std::string smallest = frame(ltm(64, bridgeMac, ""), bridgeMac).bytes();
  const Pairs sent = exchange(smallest);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second.size(), smallest.size() + CfmAgent::LinktraceSm::ltrGrowthMax);
}

TEST_F(LinktraceTest, TheFirstFailingCheckDecides) {
  const std::string group = ltmGroup(3), answer = ethernet(hostA, bridgeMac, 0, ltr(0, 4, 1, replied() + end));
  struct Row { const char* name; std::string pdu; Counts counted; std::string reply = {}; };
  const Row rows[] = {
      {"group original and target, ttl 0", ltm(0, group, end, 0, group), dropped(3, 5, "LtmOriginalMac")},
      {"broadcast target", ltm(5, mac(0xffffffffffff)), dropped(3, 5, "LtmTargetMac")},
      {"group target, ttl 0", ltm(0, group), dropped(3, 5, "LtmTargetMac")},
      {"ttl 0", ltm(0, bridgeMac), dropped(3, 5, "LtmTtlZero")},
      {"ttl 0, target nowhere", ltm(0, hostC), dropped(3, 5, "LtmTtlZero")},
      {"egress identifier of 7 bytes", ltm(5, bridgeMac, tlv(7, lastId.substr(0, 7)) + end),
       {{{3, 5, "in"}, 1}, {{3, 5, "debugLtmEgressIdTlvLen"}, 1}, {{3, 4, "out"}, 1}}, answer},
      // The reply takes the last identifier: a good one before it does not vouch for it.
      {"a good egress identifier, then one of 2 bytes", ltm(5, bridgeMac, tlv(7, lastId) + tlv(7, lastId.substr(0, 2)) + end),
       {{{3, 5, "in"}, 1}, {{3, 5, "debugLtmEgressIdTlvLen"}, 1}, {{3, 4, "out"}, 1}}, answer},
      {"an ltr", ltr(0, 4, 1, replied() + end), {{{3, 4, "in"}, 1}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reset();
    const Pairs sent = exchange(frame(r.pdu, bridgeMac).bytes());
    EXPECT_EQ(sent, (r.reply.empty() ? Pairs{} : Pairs{{et1, r.reply}}));
    EXPECT_EQ(counts(et1), r.counted);
  }
}

}  // namespace
