// Frames built with our PDU types, written to a pcap file and decoded by tshark. An
// independent decoder catches the layout mistakes that our own tests, sharing our reading
// of the wire format, would repeat.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"

namespace {

using namespace CfmAgent;
using Lumen::EthAddr;

// A frame built front to back: an Ethernet header with the CFM EtherType, then overlays
// constructed in place one after the other.
class FrameBuilder {
 public:
  FrameBuilder(const EthAddr& dst, const EthAddr& src) {
    auto* eth = new (next(sizeof(Lumen::EthHdr))) Lumen::EthHdr;
    eth->dstIs(dst);
    eth->srcIs(src);
    eth->typeOrLenIs(cfmEtherType);
  }
  std::uint8_t* next(std::size_t bytes) {
    std::uint8_t* p = buf_.data() + size_;
    size_ += bytes;
    EXPECT_LE(size_, buf_.size());
    return p;
  }
  void endTlv() { *next(1) = tlvTypeEnd; }
  std::string bytes() const {
    return std::string(reinterpret_cast<const char*>(buf_.data()), size_);
  }

 private:
  std::array<std::uint8_t, 256> buf_{};
  std::size_t size_ = 0;
};

const EthAddr macA(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0a);
const EthAddr macB(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0b);
const EthAddr macC(0x00, 0x1c, 0x73, 0x00, 0x00, 0x0c);

std::uint64_t bigEndian(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

std::string ccmFrame() {
  FrameBuilder f(EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, 0x33), macA);
  auto* ccm = new (f.next(sizeof(CCMPdu))) CCMPdu(3, Cfm::opCodeCcm);
  ccm->ccmIntervalFieldIs(4);
  ccm->remoteDefectIndicationIs(true);
  ccm->sequenceNumberIs(0x01020304);
  ccm->mepIdIs(0x0123);
  ccm->mdNameFormatIs(Cfm::mdNameFormatCharacterString);
  // The MAID after its format byte, through the raw stores: MD length, "DOMAIN",
  // MA format 2, MA length, "MA-ONE", zero padding.
  std::uint8_t rest[47] = {6, 'D', 'O', 'M', 'A', 'I', 'N', 2, 6, 'M', 'A', '-', 'O', 'N', 'E'};
  ccm->maIdField1Is(rest[0]);
  ccm->maIdField2Is(std::uint16_t(bigEndian(rest + 1, 2)));
  ccm->maIdField3Is(std::uint32_t(bigEndian(rest + 3, 4)));
  ccm->maIdField4Is(bigEndian(rest + 7, 8));
  ccm->maIdField5Is(bigEndian(rest + 15, 8));
  ccm->maIdField6Is(bigEndian(rest + 23, 8));
  ccm->maIdField7Is(bigEndian(rest + 31, 8));
  ccm->maIdField8Is(bigEndian(rest + 39, 8));
  EXPECT_EQ(ccm->mdName().stringValue(), "DOMAIN");
  EXPECT_EQ(ccm->maName().stringValue(), "MA-ONE");
  f.endTlv();
  return f.bytes();
}

std::string lbrFrame() {
  FrameBuilder f(macA, macB);
  auto* lbr = new (f.next(sizeof(LBRPdu))) LBRPdu(5, Cfm::opCodeLbr);
  lbr->transactionIdIs(0xdeadbeef);
  auto* data = new (f.next(sizeof(TypeLength))) TypeLength;
  data->typeIs(tlvTypeData);
  data->lengthIs(4);
  const char payload[] = "ABCD";
  std::copy(payload, payload + 4, f.next(4));
  f.endTlv();
  return f.bytes();
}

std::string ltmFrame() {
  FrameBuilder f(EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, 0x3c), macA);
  LTMPdu* ltm = LTMPdu::ltmPduInit(f.next(sizeof(LTMPdu)), 4);
  ltm->useFdbOnlyIs(true);
  ltm->transactionIdIs(0x11223344);
  ltm->ttlIs(63);
  ltm->originalMacAddrIs(macA);
  ltm->targetMacAddrIs(macC);
  LtmEgressIdTlv::ltmEgressTlvInit(f.next(sizeof(LtmEgressIdTlv)))
      ->egressIdIs(EgressId(0x0007, macA));
  f.endTlv();
  return f.bytes();
}

std::string ltrFrame() {
  FrameBuilder f(macA, macB);
  LTRPdu* ltr = LTRPdu::ltrPduInit(f.next(sizeof(LTRPdu)), 4);
  ltr->fwdYesIs(true);
  ltr->terminalMepIs(true);
  ltr->transactionIdIs(0x11223344);
  ltr->replyTtlIs(62);
  ltr->relayActionIs(RelayAction(RelayAction::rlyHit));
  LtrEgressIdTlv* egressIds = LtrEgressIdTlv::ltrEgressTlvInit(f.next(sizeof(LtrEgressIdTlv)));
  egressIds->lastEgressIdIs(EgressId(0x0007, macA));
  egressIds->nextEgressIdIs(EgressId(0x0008, macB));
  ReplyIngressTlv* ingress = ReplyIngressTlv::replyIngressTlvInit(f.next(sizeof(ReplyIngressTlv)));
  ingress->actionIs(Action(Action::ingOk));
  ingress->macAddrIs(macB);
  // Port ID "Et1" with subtype 5 (interface name): TLV length 9 + 3.
  auto* egress = new (f.next(sizeof(ReplyTlvPortId) + 3)) ReplyEgressTlvPortId(12);
  egress->actionIs(Action(Action::egrDown));
  egress->macAddrIs(macC);
  egress->portIdLengthIs(3);
  egress->portIdSubtypeIs(5);
  egress->portIdIs("Et1");
  f.endTlv();
  return f.bytes();
}

void putLe(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i, v >>= 8) out += char(v & 0xff);
}

// Classic libpcap: global header, then a record header before each frame. Little-endian
// throughout; the magic number tells readers so.
std::string pcap(const std::vector<std::string>& frames) {
  std::string out;
  putLe(out, 0xa1b2c3d4, 4);  // magic
  putLe(out, 2, 2);           // version 2.4
  putLe(out, 4, 2);
  putLe(out, 0, 4);      // time zone
  putLe(out, 0, 4);      // timestamp accuracy
  putLe(out, 65535, 4);  // snap length
  putLe(out, 1, 4);      // link type: Ethernet
  std::uint32_t second = 1700000000;
  for (const std::string& frame : frames) {
    putLe(out, second++, 4);
    putLe(out, 0, 4);
    putLe(out, std::uint32_t(frame.size()), 4);  // captured
    putLe(out, std::uint32_t(frame.size()), 4);  // on the wire
    out += frame;
  }
  return out;
}

// What tshark must decode from each frame, by field name; values of repeated fields joined
// by ','.
using Expected = std::map<std::string, std::string>;
const Expected expected[] = {
    {
        // CCM, level 3
        {"cfm.md.level", "3"},
        {"cfm.opcode", "1"},
        {"cfm.first.tlv.offset", "70"},
        {"cfm.flags.interval", "4"},
        {"cfm.flags.rdi", "1"},
        {"cfm.ccm.seq.num", "16909060"},
        {"cfm.ccm.ma.ep.id", "291"},
        {"cfm.maid.md.name.format", "4"},
        {"cfm.maid.md.name.string", "DOMAIN"},
        {"cfm.maid.ma.name.format", "2"},
        {"cfm.maid.ma.name.string", "MA-ONE"},
        {"cfm.tlv.type", "0"},
    },
    {
        // LBR, level 5, Data TLV
        {"cfm.md.level", "5"},
        {"cfm.opcode", "2"},
        {"cfm.first.tlv.offset", "4"},
        {"cfm.lb.transaction.id", "3735928559"},
        {"cfm.tlv.type", "3,0"},
        {"cfm.tlv.length", "4"},
        {"cfm.tlv.data.value", "41424344"},
    },
    {
        // LTM, level 4, LTM Egress Identifier TLV
        {"cfm.md.level", "4"},
        {"cfm.opcode", "5"},
        {"cfm.first.tlv.offset", "17"},
        {"cfm.flags.usefdbonly", "1"},
        {"cfm.lt.transaction.id", "287454020"},
        {"cfm.lt.ttl", "63"},
        {"cfm.ltm.orig.addr", "00:1c:73:00:00:0a"},
        {"cfm.ltm.targ.addr", "00:1c:73:00:00:0c"},
        {"cfm.tlv.type", "7,0"},
        {"cfm.tlv.length", "8"},
        {"cfm.tlv.ltm.egress.id.ui", "0007"},
        {"cfm.tlv.ltm.egress.id.mac", "00:1c:73:00:00:0a"},
    },
    {
        // LTR, level 4: LTR Egress Identifier, Reply Ingress, Reply Egress with port ID
        {"cfm.md.level", "4"},
        {"cfm.opcode", "4"},
        {"cfm.first.tlv.offset", "6"},
        {"cfm.flags.usefdbonly", "0"},
        {"cfm.flags.fwdyes", "1"},
        {"cfm.flags.ltr.terminalmep", "1"},
        {"cfm.lt.transaction.id", "287454020"},
        {"cfm.lt.ttl", "62"},
        {"cfm.ltr.relay.action", "1"},
        {"cfm.tlv.type", "8,5,6,0"},
        {"cfm.tlv.length", "16,7,12"},
        {"cfm.tlv.ltr.egress.last.id.ui", "0007"},
        {"cfm.tlv.ltr.egress.last.id.mac", "00:1c:73:00:00:0a"},
        {"cfm.tlv.ltr.egress.next.id.ui", "0008"},
        {"cfm.tlv.ltr.egress.next.id.mac", "00:1c:73:00:00:0b"},
        {"cfm.tlv.reply.ingress.action", "1"},
        {"cfm.tlv.reply.ingress.mac.address", "00:1c:73:00:00:0b"},
        {"cfm.tlv.reply.egress.action", "2"},
        {"cfm.tlv.reply.egress.mac.address", "00:1c:73:00:00:0c"},
        {"cfm.tlv.reply.ing.egr.portid.length", "3"},
        {"cfm.tlv.reply.ing.egr.portid.subtype", "5"},
        {"cfm.tlv.reply.ing.egr.portid", "457431"},
    },
};
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PduTshark, TsharkDecodesOurFramesAsWeMeantThem) {
  ASSERT_EQ(std::system("command -v tshark >/dev/null 2>&1"), 0)
      << "tshark is not installed: scripts/install-deps.sh installs it. This test needs it "
         "to check our frames against an independent decoder.";

  std::string dirTemplate = testing::TempDir() + "cfm-tshark-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate.data()), nullptr);
  const std::string dir = dirTemplate;
  const std::string file = dir + "/frames.pcap";
  {
    std::ofstream out(file, std::ios::binary);
    out << pcap({ccmFrame(), lbrFrame(), ltmFrame(), ltrFrame()});
  }

  // Every field any frame is checked on, in the order of the -e options.
  std::vector<std::string> fields;
  for (const Expected& frame : expected) {
    for (const auto& [field, value] : frame) fields.push_back(field);
  }
  std::sort(fields.begin(), fields.end());
  fields.erase(std::unique(fields.begin(), fields.end()), fields.end());

  // A private HOME keeps tshark from reading or writing anyone's preferences and from
  // asking anything; the timeout keeps a stuck tshark from stalling the suite.
  std::string command = "env HOME='" + dir + "' XDG_CONFIG_HOME='" + dir +
                        "' timeout 60 tshark -n -r '" + file +
                        "' -T fields -E separator=/t -E occurrence=a -E aggregator=,";
  for (const std::string& field : fields) command += " -e " + field;
  command += " 2>'" + dir + "/stderr'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int status = pclose(pipe);
  ASSERT_EQ(status, 0) << "tshark failed: " << readFile(dir + "/stderr");

  // One line per frame, one tab-separated column per field.
  std::vector<std::map<std::string, std::string>> decoded;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, std::string>& frame = decoded.emplace_back();
    std::size_t start = 0;
    for (const std::string& field : fields) {
      const std::size_t tab = line.find('\t', start);
      frame[field] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
      start = tab == std::string::npos ? line.size() : tab + 1;
    }
  }
  ASSERT_EQ(decoded.size(), 4u) << output;

  for (std::size_t i = 0; i < decoded.size(); ++i) {
    for (const auto& [field, value] : expected[i]) {
      EXPECT_EQ(decoded[i][field], value) << "frame " << i + 1 << ", " << field;
    }
  }
  if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
