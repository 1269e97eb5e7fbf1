#include "platform/ale/CcmFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/Errors.h"
#include "tests/support/Frames.h"
#include "tests/support/Tshark.h"

namespace {

using namespace SoftAle;
using namespace TestSupport;

std::string bytesOf(std::initializer_list<int> values) { return {values.begin(), values.end()}; }
std::string text(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }
std::string statusTlv(int type, int value) { return bytesOf({type, 0, 1, value}); }
const Lumen::EthAddr src(0x02, 0, 0, 0, 0, 0x0a);  // hostA

// One MEP per encapsulation and per name format, its MAID written out by hand.
struct Row {
  Bridging::EgressTags tags;
  Cfm::MdNameWithFormat md;
  Cfm::MaNameWithFormat ma;
  std::string maid;
};
const Row rows[] = {
    {{}, {}, {Cfm::MaName("ma-1"), Cfm::maNameFormatCharacterString}, bytesOf({1, 2, 4}) + "ma-1"},
    {{0x8100, {20}, 1},
     {Cfm::MdName("md"), Cfm::mdNameFormatCharacterString},
     {Cfm::MaName(u16(20)), Cfm::maNameFormatPrimaryVid},
     bytesOf({4, 2}) + "md" + bytesOf({1, 2, 0, 20})},
    {{0x88a8, {300, 7}, 2},
     {Cfm::MdName("example.com"), Cfm::mdNameFormatDnsLikeName},
     {Cfm::MaName(u16(0xbeef)), Cfm::maNameFormatUint16},
     bytesOf({2, 11}) + "example.com" + bytesOf({3, 2, 0xbe, 0xef})},
    {{},
     {Cfm::MdName(mac(0x020000000001) + u16(9)), Cfm::mdNameFormatMacAddressAndUint},
     {Cfm::MaName("ICC001MEG0001"), Cfm::maNameFormatIccBased},
     bytesOf({3, 8}) + mac(0x020000000001) + u16(9) + bytesOf({32, 13}) + "ICC001MEG0001"},
};

CcmTemplate templateOf(const Row& row) {
  return CcmTemplate({src, Cfm::MdLevel(5), Cfm::MepId(0x1abc), maidOf(row.md, row.ma),
                      Cfm::CcmTxInterval(1.2), row.tags, portStatusUp, interfaceStatusUp});
}

// The frame a peer would write: level 5, MEP 0x1abc, interval 1 s (code 4).
std::string expected(const Row& row, std::uint32_t sequence, int flags, int portStatus,
                     int intfStatus) {
  std::string maid = row.maid;
  maid.resize(48, '\0');
  Frame f{ccmGroup(5), hostA, {}, 0x8902,
          cfmHeader(5, 1, flags, 70) + u32(sequence) + u16(0x1abc) + maid + std::string(16, '\0') +
              statusTlv(2, portStatus) + statusTlv(4, intfStatus) + '\0'};
  const auto vids = row.tags.vlans();
  for (std::size_t i = 0; i < vids.size(); ++i) f.tag(vids[i], i ? 0x8100 : row.tags.tpid);
  return f.bytes();
}

TEST(CcmFrame, BuiltByteExactAndPatchedInPlace) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.md);
    CcmTemplate ccm = templateOf(row);
    EXPECT_EQ(text(ccm.frame(0, false)), expected(row, 0, 0x04, 2, 1));
    const std::uint8_t* at = ccm.bytes().data();
    ccm.portStatusIs(portStatusBlocked);
    ccm.interfaceStatusIs(interfaceStatusLowerLayerDown);
    EXPECT_EQ(text(ccm.frame(0xfffffffe, true)), expected(row, 0xfffffffe, 0x84, 1, 7));
    EXPECT_EQ(text(ccm.frame(1, false)), expected(row, 1, 0x04, 1, 7));
    EXPECT_EQ(ccm.bytes().data(), at);
  }
}

TEST(CcmFrame, MaidRefusesNamesItCannotCarry) {
  const std::string md43(43, 'd');
  const std::tuple<Cfm::MdNameWithFormat, std::string, const char*> cases[] = {
      {{Cfm::MdName("md"), Cfm::mdNameFormatNone}, "ma", "mdNameLen out of range"},
      {{Cfm::MdName(), Cfm::mdNameFormatCharacterString}, "ma", "mdNameLen out of range"},
      {{}, "", "maNameLen out of range"},
      {{Cfm::MdName(md43), Cfm::mdNameFormatCharacterString}, "ma", "maNameLen out of range"},
      {{Cfm::MdName(md43), Cfm::mdNameFormatCharacterString}, "m", ""},
      {{}, std::string(45, 'm'), ""},
  };
  for (const auto& [md, ma, error] : cases) {
    EXPECT_EQ(errorOf([&] { maidOf(md, {Cfm::MaName(ma)}); }), error) << md << " " << ma;
  }
}

TEST(CcmFrame, ReadsBackWhatItBuilds) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.md);
    CcmTemplate ccm = templateOf(row);
    ccm.interfaceStatusIs(interfaceStatusDown);
    const auto frame = cfmFrameOf(ccm.frame(77, true), row.tags.tpid);
    ASSERT_EQ(frame.fault, RxFault::none);
    EXPECT_EQ(frame.value->src, src);
    EXPECT_EQ(frame.value->outerVid, row.tags.vids[0]);
    EXPECT_EQ(frame.value->innerVid, row.tags.vids[1]);
    const auto rx = parseCcm(frame.value->pdu, frame.value->src);
    ASSERT_EQ(rx.fault, RxFault::none);
    const ReceivedCcm& r = *rx.value;
    EXPECT_EQ(std::tuple(r.mdLevel, r.src, r.mepId, r.rdi, r.intervalCode, r.sequence, r.maid),
              std::tuple(Cfm::MdLevel(5), src, 0x1abc, true, 4, 77u, maidOf(row.md, row.ma)));
    EXPECT_EQ(r.portStatus, portStatusUp);
    EXPECT_EQ(r.interfaceStatus, interfaceStatusDown);
  }
}

// The double-tagged CCM cut at every length, each cut in its own allocation so that a read
// past it is the sanitizer's to see: each cut is one fault, and the CCM comes with the TLV
// faults and at the TLV boundaries, with the status TLVs that were whole.
TEST(CcmFrame, EveryCutIsAFaultOrACcmOfTheWholeTlvs) {
  CcmTemplate ccm = templateOf(rows[2]);
  const auto whole = ccm.frame(1, false);
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + std::ptrdiff_t(n));
    const auto frame = cfmFrameOf(cut, 0x88a8);
    const std::size_t p = n - 22;  // the PDU's bytes once the tags are whole
    const RxFault fault = n < 14 ? RxFault::ethHdrTooShort
                          : n < 22 ? RxFault::vlanTagTooShort
                          : p < 4  ? RxFault::cfmHdrTooShort
                          : p < 74 ? RxFault::firstTlvOffsetTooLarge
                          : p == 77 || p == 81 ? RxFault::tlvValuePastEnd
                          : p == 75 || p == 76 || p == 79 || p == 80 ? RxFault::tlvHeaderPastEnd
                                                                     : RxFault::none;
    const auto rx = frame.value ? parseCcm(frame.value->pdu, src) : Parsed<ReceivedCcm>{};
    EXPECT_EQ(frame.value ? rx.fault : frame.fault, fault);
    EXPECT_EQ(rx.value.has_value(), n >= 22 + 74);
    if (!rx.value) continue;
    EXPECT_EQ(rx.value->portStatus.has_value(), p >= 78);
    EXPECT_EQ(rx.value->interfaceStatus.has_value(), p >= 82);
  }
}

// What the cuts cannot reach: one row per fault the fields themselves cause, and the
// fields a CCM may carry that ours do not.
TEST(CcmFrame, FaultsOfTheFieldsThemselves) {
  const std::string fixed = u32(9) + u16(1) + std::string(64, '\0');
  const std::string port = statusTlv(2, 1), data = bytesOf({3, 0, 2, 0xaa, 0xbb});
  const std::tuple<std::string, RxFault, bool> cases[] = {
      {cfmHeader(5, 3, 0, 70) + fixed + port, RxFault::notCcm, false},
      {cfmHeader(5, 1, 0, 69) + fixed + port, RxFault::firstTlvOffsetTooSmall, false},
      {cfmHeader(5, 1, 0, 75) + fixed + port, RxFault::firstTlvOffsetTooLarge, false},
      {cfmHeader(5, 1, 0, 74) + fixed + data.substr(1) + port, RxFault::none, true},
      {cfmHeader(5, 1, 0, 70) + fixed + data + port + '\0' + port, RxFault::none, true},
      {cfmHeader(5, 1, 0, 70) + fixed + port + '\0', RxFault::none, true},
      {cfmHeader(5, 1, 0, 70) + fixed + bytesOf({2, 0, 2, 1, 1}), RxFault::statusTlvBadLength, false},
      {cfmHeader(5, 1, 0, 70) + fixed + bytesOf({3, 0xff, 0xff}) + port, RxFault::tlvValuePastEnd, false},
  };
  for (const auto& [pdu, fault, hasPort] : cases) {
    SCOPED_TRACE(testing::PrintToString(pdu));
    const auto rx = parseCcm(span(pdu), src);
    EXPECT_EQ(rx.fault, fault);
    EXPECT_EQ(rx.value && rx.value->portStatus, hasPort);
  }
}

// An independent decoder reads our frames as we meant them: tags, level, RDI, interval,
// sequence number, MEP id, both names in each format, and the status values.
TEST(CcmFrame, TsharkReadsTheFieldsWeMeant) {
  ASSERT_TRUE(haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  std::vector<std::string> frames;
  for (const Row& row : rows) {
    CcmTemplate ccm = templateOf(row);
    ccm.portStatusIs(portStatusBlocked);
    frames.push_back(text(ccm.frame(std::uint32_t(frames.size()), frames.size() % 2)));
  }
  EXPECT_EQ(tsharkDecode(frames, {"ieee8021ad.id", "vlan.id", "cfm.md.level", "cfm.flags.rdi",
                                  "cfm.flags.interval", "cfm.ccm.seq.num", "cfm.ccm.ma.ep.id",
                                  "cfm.maid.md.name.format", "cfm.maid.md.name.string",
                                  "cfm.maid.md.name.mac", "cfm.maid.md.name.mac.id",
                                  "cfm.maid.ma.name.format",
                                  "cfm.maid.ma.name.string", "cfm.maid.ma.name.hex",
                                  "cfm.tlv.port.status.value", "cfm.tlv.port.interface.value"}),
            (std::vector<std::string>{
                "\t\t5\t0\t4\t0\t6844\t1\t\t\t\t2\tma-1\t\t1\t1",
                "\t20\t5\t1\t4\t1\t6844\t4\tmd\t\t\t1\t\t0014\t1\t1",
                "300\t7\t5\t0\t4\t2\t6844\t2\texample.com\t\t\t3\t\tbeef\t1\t1",
                "\t\t5\t1\t4\t3\t6844\t3\t\t02:00:00:00:00:01\t0009\t32\tICC001MEG0001\t\t1\t1"}));
}

}  // namespace
