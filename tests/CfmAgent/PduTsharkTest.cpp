// Frames built with our PDU types and decoded by tshark. An independent decoder catches the
// layout mistakes that our own tests, sharing our reading of the wire format, would repeat.

#include <gtest/gtest.h>

#include <set>

#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"
#include "tests/support/Tshark.h"

namespace {

using namespace CfmAgent;
using Lumen::EthAddr;

// A frame built front to back from overlays constructed in place one after the other;
// bytes() puts an Ethernet header before them and the End TLV after.
struct FrameBuilder {
  // `overlay` copied to the end, and `extra` bytes after it.
  template <class T>
  T* add(const T& overlay, std::size_t extra = 0) {
    T* p = new (buf.data() + size) T(overlay);
    size += sizeof(T) + extra;
    EXPECT_LE(size, buf.size());
    return p;
  }
  std::string bytes() const {
    return std::string(12, '\x02') + "\x89\x02" + std::string(reinterpret_cast<const char*>(buf.data()), size) + '\0';
  }

  std::array<std::uint8_t, 256> buf{};
  std::size_t size = 0;
};

const EthAddr macA(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0a), macB(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0b),
    macC(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0c);

// A frame and what tshark must decode from it, by field; repeated fields joined by ','.
struct Decoded { std::string frame; std::map<std::string, std::string> fields; };

Decoded ccm() {
  FrameBuilder f;
  auto* ccm = f.add(CCMPdu(3, Cfm::opCodeCcm));
  ccm->ccmIntervalFieldIs(4);
  ccm->remoteDefectIndicationIs(true);
  ccm->sequenceNumberIs(0x01020304);
  ccm->mepIdIs(0x0123);
  ccm->maIdIs({Cfm::MdName("DOMAIN"), Cfm::mdNameFormatCharacterString},
              {Cfm::MaName("MA-ONE"), Cfm::maNameFormatCharacterString});
  return {f.bytes(),
          {{"cfm.md.level", "3"}, {"cfm.opcode", "1"}, {"cfm.first.tlv.offset", "70"}, {"cfm.flags.interval", "4"},
           {"cfm.flags.rdi", "1"}, {"cfm.ccm.seq.num", "16909060"}, {"cfm.ccm.ma.ep.id", "291"},
           {"cfm.maid.md.name.format", "4"}, {"cfm.maid.md.name.string", "DOMAIN"},
           {"cfm.maid.ma.name.format", "2"}, {"cfm.maid.ma.name.string", "MA-ONE"}, {"cfm.tlv.type", "0"}}};
}

Decoded lbrWithData() {
  FrameBuilder f;
  f.add(LBRPdu(5, Cfm::opCodeLbr))->transactionIdIs(0xdeadbeef);
  auto* data = f.add(TypeLength(), 4);
  data->typeIs(tlvTypeData);
  data->lengthIs(4);
  std::copy_n("ABCD", 4, reinterpret_cast<char*>(data + 1));
  return {f.bytes(),
          {{"cfm.md.level", "5"}, {"cfm.opcode", "2"}, {"cfm.first.tlv.offset", "4"},
           {"cfm.lb.transaction.id", "3735928559"}, {"cfm.tlv.type", "3,0"}, {"cfm.tlv.length", "4"},
           {"cfm.tlv.data.value", "41424344"}}};
}

Decoded ltmWithEgressId() {
  FrameBuilder f;
  auto* ltm = f.add(LTMPdu(4, Cfm::opCodeLtm));
  ltm->useFdbOnlyIs(true);
  ltm->transactionIdIs(0x11223344);
  ltm->ttlIs(63);
  ltm->originalMacAddrIs(macA);
  ltm->targetMacAddrIs(macC);
  f.add(LtmEgressIdTlv())->egressIdIs(EgressId(0x0007, macA));
  return {f.bytes(),
          {{"cfm.md.level", "4"}, {"cfm.opcode", "5"}, {"cfm.first.tlv.offset", "17"},
           {"cfm.flags.usefdbonly", "1"}, {"cfm.lt.transaction.id", "287454020"}, {"cfm.lt.ttl", "63"},
           {"cfm.ltm.orig.addr", "00:1c:73:00:00:0a"}, {"cfm.ltm.targ.addr", "00:1c:73:00:00:0c"},
           {"cfm.tlv.type", "7,0"}, {"cfm.tlv.length", "8"}, {"cfm.tlv.ltm.egress.id.ui", "0007"},
           {"cfm.tlv.ltm.egress.id.mac", "00:1c:73:00:00:0a"}}};
}

// LTR Egress Identifier, Reply Ingress, and Reply Egress with a port ID.
Decoded ltrWithReplies() {
  FrameBuilder f;
  auto* ltr = f.add(LTRPdu(4, Cfm::opCodeLtr));
  ltr->fwdYesIs(true);
  ltr->terminalMepIs(true);
  ltr->transactionIdIs(0x11223344);
  ltr->replyTtlIs(62);
  ltr->relayActionIs(RelayAction(RelayAction::rlyHit));
  auto* egressIds = f.add(LtrEgressIdTlv());
  egressIds->lastEgressIdIs(EgressId(0x0007, macA));
  egressIds->nextEgressIdIs(EgressId(0x0008, macB));
  auto* ingress = f.add(ReplyIngressTlv());
  ingress->actionIs(Action(Action::ingOk));
  ingress->macAddrIs(macB);
  // Port ID "Et1" with subtype 5 (interface name): TLV length 9 + 3.
  auto* egress = f.add(ReplyEgressTlvPortId(12), 3);
  egress->actionIs(Action(Action::egrDown));
  egress->macAddrIs(macC);
  egress->portIdLengthIs(3);
  egress->portIdSubtypeIs(5);
  egress->portIdIs("Et1");
  return {f.bytes(),
          {{"cfm.md.level", "4"}, {"cfm.opcode", "4"}, {"cfm.first.tlv.offset", "6"}, {"cfm.flags.usefdbonly", "0"},
           {"cfm.flags.fwdyes", "1"}, {"cfm.flags.ltr.terminalmep", "1"}, {"cfm.lt.transaction.id", "287454020"},
           {"cfm.lt.ttl", "62"}, {"cfm.ltr.relay.action", "1"}, {"cfm.tlv.type", "8,5,6,0"},
           {"cfm.tlv.length", "16,7,12"}, {"cfm.tlv.ltr.egress.last.id.ui", "0007"},
           {"cfm.tlv.ltr.egress.last.id.mac", "00:1c:73:00:00:0a"}, {"cfm.tlv.ltr.egress.next.id.ui", "0008"},
           {"cfm.tlv.ltr.egress.next.id.mac", "00:1c:73:00:00:0b"}, {"cfm.tlv.reply.ingress.action", "1"},
           {"cfm.tlv.reply.ingress.mac.address", "00:1c:73:00:00:0b"}, {"cfm.tlv.reply.egress.action", "2"},
           {"cfm.tlv.reply.egress.mac.address", "00:1c:73:00:00:0c"}, {"cfm.tlv.reply.ing.egr.portid.length", "3"},
           {"cfm.tlv.reply.ing.egr.portid.subtype", "5"}, {"cfm.tlv.reply.ing.egr.portid", "457431"}}};
}

// One run over all frames, every field asked of each: a field a frame does not list must
// decode empty from it.
TEST(PduTshark, TsharkDecodesOurFramesAsWeMeantThem) {
  ASSERT_TRUE(TestSupport::haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  const Decoded decoded[] = {ccm(), lbrWithData(), ltmWithEgressId(), ltrWithReplies()};
  std::vector<std::string> frames;
  std::set<std::string> fields;
  for (const Decoded& d : decoded) {
    frames.push_back(d.frame);
    for (const auto& [field, value] : d.fields) fields.insert(field);
  }
  const auto lines = TestSupport::tsharkDecode(frames, {fields.begin(), fields.end()});
  ASSERT_EQ(lines.size(), frames.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::map<std::string, std::string> got;  // the fields decoded non-empty
    std::istringstream values(lines[i]);
    for (const std::string& field : fields) {
      if (std::string value; std::getline(values, value, '\t') && !value.empty()) got[field] = value;
    }
    EXPECT_EQ(got, decoded[i].fields) << "frame " << i + 1;
  }
}

}  // namespace
