#include "platform/ale/CcmFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/PeerFrames.h"
#include "tests/support/Tshark.h"

namespace {

using namespace SoftAle;
using namespace TestSupport;
using Cfm::MaName, Cfm::MdName;

std::string bytesOf(std::initializer_list<int> values) { return {values.begin(), values.end()}; }
std::string text(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }
std::string statusTlv(int type, int value) { return bytesOf({type, 0, 1, value}); }
const Lumen::EthAddr src(0x02, 0, 0, 0, 0, 0x0a);  // hostA

// One MEP per encapsulation and per name format, its MAID written out by hand.
struct Row { Bridging::EgressTags tags; Cfm::MdNameWithFormat md; Cfm::MaNameWithFormat ma; std::string maid; };
const std::string macAndUint = mac(0x020000000001) + u16(9);
const Row rows[] = {
    {{}, {}, {MaName("ma-1"), Cfm::maNameFormatCharacterString}, bytesOf({1, 2, 4}) + "ma-1"},
    {{0x8100, {20}, 1}, {MdName("md"), Cfm::mdNameFormatCharacterString},
     {MaName(u16(20)), Cfm::maNameFormatPrimaryVid}, bytesOf({4, 2}) + "md" + bytesOf({1, 2, 0, 20})},
    {{0x88a8, {300, 7}, 2}, {MdName("example.com"), Cfm::mdNameFormatDnsLikeName},
     {MaName(u16(0xbeef)), Cfm::maNameFormatUint16},
     bytesOf({2, 11}) + "example.com" + bytesOf({3, 2, 0xbe, 0xef})},
    {{}, {MdName(macAndUint), Cfm::mdNameFormatMacAddressAndUint},
     {MaName("ICC001MEG0001"), Cfm::maNameFormatIccBased},
     bytesOf({3, 8}) + macAndUint + bytesOf({32, 13}) + "ICC001MEG0001"},
};

Maid maidOf(const Row& row) {
  Maid maid;
  EXPECT_EQ(Cfm::maidIs(maid, row.md, row.ma), Cfm::MaidFault::none);
  return maid;
}

CcmTemplate templateOf(const Row& row) {
  return CcmTemplate({src, Cfm::MdLevel(5), Cfm::MepId(0x1abc), maidOf(row),
                      Cfm::CcmTxInterval(1.2), row.tags, portStatusUp, interfaceStatusUp});
}

// The frame a peer would write: level 5, MEP 0x1abc, interval 1 s (code 4).
std::string expected(const Row& row, std::uint32_t sequence, int flags, int port, int intf) {
  Frame f{ccmGroup(5), hostA, {}, 0x8902,
          cfmHeader(5, 1, flags, 70) + u32(sequence) + u16(0x1abc) + row.maid +
              std::string(48 - row.maid.size() + 16, '\0') + statusTlv(2, port) + statusTlv(4, intf) + '\0'};
  const auto vids = row.tags.vlans();
  for (std::size_t i = 0; i < vids.size(); ++i) f.tag(vids[i], i ? 0x8100 : row.tags.tpid);
  return f.bytes();
}

// Each MEP's frame byte by byte, then with every per-transmission field changed, read back
// as a receiver reads it.
TEST(CcmFrame, BuiltByteExactPatchedInPlaceAndReadBack) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.md);
    CcmTemplate ccm = templateOf(row);
    EXPECT_EQ(text(ccm.frame(0, false)), expected(row, 0, 0x04, 2, 1));
    ccm.portStatusIs(portStatusBlocked);
    ccm.interfaceStatusIs(interfaceStatusLowerLayerDown);
    EXPECT_EQ(text(ccm.frame(0xfffffffe, true)), expected(row, 0xfffffffe, 0x84, 1, 7));

    const auto frame = cfmFrameOf(ccm.bytes(), row.tags.tpid);
    ASSERT_TRUE(frame.value) << frame.fault;
    EXPECT_EQ(std::pair(frame.value->outerVid, frame.value->innerVid),
              std::pair(row.tags.vids[0], row.tags.vids[1]));
    const auto rx = parseCcm(frame.value->pdu, frame.value->src);
    ASSERT_TRUE(rx.value && rx.fault == RxFault::none) << rx.fault;
    const ReceivedCcm& r = *rx.value;
    EXPECT_EQ(std::tuple(r.mdLevel, r.src, r.mepId, r.rdi, r.intervalCode, r.sequence, r.maid,
                         r.portStatus, r.interfaceStatus),
              std::tuple(Cfm::MdLevel(5), src, 0x1abc, true, 4, 0xfffffffe, maidOf(row),
                         1, 7));
    EXPECT_EQ(text(ccm.frame(1, false)), expected(row, 1, 0x04, 1, 7));
  }
}

// The double-tagged CCM cut at every length, each cut its own allocation for the sanitizer:
// a fault, or at TLV boundaries none; a CCM once its fixed part is whole, with whole TLVs.
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
    const auto rx = frame.value ? parseCcm(frame.value->pdu, src) : RxResult<ReceivedCcm>{};
    EXPECT_EQ(frame.value ? rx.fault : frame.fault, fault);
    EXPECT_EQ(rx.value.has_value(), n >= 22 + 74);
    EXPECT_EQ(rx.value && rx.value->portStatus, n >= 22 + 78);
    EXPECT_EQ(rx.value && rx.value->interfaceStatus, n >= 22 + 82);
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

// An independent decoder reads our frames as we meant them: tags, RDI, interval, MEP id,
// both names in each format, and the status values.
TEST(CcmFrame, TsharkReadsTheFieldsWeMeant) {
  ASSERT_TRUE(haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  std::vector<std::string> frames;
  for (const Row& row : rows) {
    CcmTemplate ccm = templateOf(row);
    ccm.portStatusIs(portStatusBlocked);
    frames.push_back(text(ccm.frame(1, frames.size() % 2)));
  }
  EXPECT_EQ(tsharkDecode(frames, {"ieee8021ad.id", "vlan.id", "cfm.flags.rdi", "cfm.flags.interval", "cfm.ccm.ma.ep.id",
                                  "cfm.maid.md.name.format", "cfm.maid.md.name.string", "cfm.maid.md.name.mac",
                                  "cfm.maid.md.name.mac.id", "cfm.maid.ma.name.format", "cfm.maid.ma.name.string",
                                  "cfm.maid.ma.name.hex", "cfm.tlv.port.status.value", "cfm.tlv.port.interface.value"}),
            (std::vector<std::string>{
                "\t\t0\t4\t6844\t1\t\t\t\t2\tma-1\t\t1\t1",
                "\t20\t1\t4\t6844\t4\tmd\t\t\t1\t\t0014\t1\t1",
                "300\t7\t0\t4\t6844\t2\texample.com\t\t\t3\t\tbeef\t1\t1",
                "\t\t1\t4\t6844\t3\t\t02:00:00:00:00:01\t0009\t32\tICC001MEG0001\t\t1\t1"}));
}

}  // namespace
