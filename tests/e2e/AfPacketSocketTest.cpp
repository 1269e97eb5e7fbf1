// The CFM packet socket on a veth pair between two namespaces: "local" (the socket under
// test) and "peer" (a second socket that sends and receives the other end). Its error
// texts are checked through cfmtool, which opens the same socket.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/intf/AfPacketSocket.h"
#include "tests/support/Frames.h"
#include "tests/support/Netns.h"
#include "tests/support/Sockets.h"

namespace {

using Interface::AfPacketSocket;
using TestSupport::receiveFrames;
using Tags = std::vector<std::pair<std::uint16_t, std::uint16_t>>;  // (TPID, tag control)
using namespace std::chrono_literals;

// A CCM behind `tags`, padded to `size` bytes when shorter, with `seq` as its sequence
// number so frames can be told apart.
std::string frame(Tags tags, std::uint16_t etherType = 0x8902, std::uint32_t seq = 0, std::size_t size = 60) {
  TestSupport::Frame f{TestSupport::ccmGroup(7), TestSupport::bridgeMac, std::move(tags), etherType,
                       TestSupport::ccm(7, 1, "md", "ma", seq)};
  std::string b = f.bytes();
  b.resize(std::max(size, b.size()), '\0');
  return b;
}
std::string cfm(Tags tags = {}, std::uint32_t seq = 0, std::size_t size = 60) {
  return frame(std::move(tags), 0x8902, seq, size);
}

std::size_t receiveNow(AfPacketSocket& s) { return s.receive([](std::span<const std::uint8_t>) {}, 1000); }

class AfPacketSocketE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    localNs_.emplace();
    peerNs_.emplace();
    link_.emplace(*localNs_, "veth0", *peerNs_, "veth1");
    local_ = open(*localNs_, "veth0");
    peer_ = open(*peerNs_, "veth1");
  }
  static std::unique_ptr<AfPacketSocket> open(const E2e::Netns& ns, const std::string& dev) {
    return ns.inside([&] { return std::make_unique<AfPacketSocket>(dev); });
  }
  void peerSends(const std::string& f) { ASSERT_TRUE(peer_->send(TestSupport::span(f))) << "peer send failed"; }

  // Declared before the sockets: a namespace must outlive the sockets opened in it.
  std::optional<E2e::Netns> localNs_, peerNs_;
  std::optional<E2e::VethLink> link_;
  std::unique_ptr<AfPacketSocket> local_, peer_;
};

// Each frame is followed by a CFM marker. A veth pair delivers in order, so the marker's
// arrival shows the link carried the frame; whether it came first is the filter's doing.
// CFM behind up to two tags arrives exactly as sent (the kernel strips the outer tag and the
// socket must put it back, TPID and all); anything else is filtered out; a CFM frame longer
// than the receive buffer is counted and skipped.
TEST_F(AfPacketSocketE2e, OnlyCfmFramesArriveExactlyAsSentAndLongOnesAreCounted) {
  link_->mtuIs(9500);
  struct Row { const char* name; std::string frame; bool delivered = true, truncated = false; };
  const Row rows[] = {
      {"untagged", cfm()},
      {"c-tag", cfm({{0x8100, 0xa064}})},
      {"priority tag, TCI 0", cfm({{0x8100, 0x0000}})},
      {"c-tag with DEI, VID 4094", cfm({{0x8100, 0x3ffe}})},
      {"s-tag", cfm({{0x88a8, 0x00c8}})},
      {"s-tag over c-tag", cfm({{0x88a8, 0x2064}, {0x8100, 0xe00a}})},
      {"c-tag over c-tag", cfm({{0x8100, 0x0064}, {0x8100, 0x000a}})},
      {"VID 0 over c-tag", cfm({{0x8100, 0x0000}, {0x8100, 0x001e}})},
      {"0x9100 tag", cfm({{0x9100, 0x0005}})},
      {"0x9100 over c-tag", cfm({{0x9100, 0x0005}, {0x8100, 0x0006}})},
      {"9216 bytes untagged", cfm({}, 0, 9216)},
      {"9216 bytes tagged", cfm({{0x8100, 0x0064}}, 0, 9216)},
      {"IPv4", frame({}, 0x0800), false},
      {"LLDP", frame({}, 0x88cc), false},
      {"tagged IPv4", frame({{0x8100, 0x0064}}, 0x0800), false},
      {"double-tagged ARP", frame({{0x88a8, 0x0064}, {0x8100, 0x0005}}, 0x0806), false},
      {"CFM behind two s-tags", cfm({{0x88a8, 0x0064}, {0x88a8, 0x0005}}), false},
      {"CFM behind three tags", cfm({{0x88a8, 0x0064}, {0x8100, 0x0005}, {0x8100, 0x0006}}), false},
      {"CFM behind 0x9100, s-tag", cfm({{0x9100, 0x0064}, {0x88a8, 0x0005}}), false},
      {"9217 bytes untagged", cfm({}, 0, 9217), false, true},
      {"9400 bytes tagged, 9396 without the tag", cfm({{0x8100, 0x0064}}, 0, 9400), false, true},
  };
  const std::string marker = cfm({}, 1000);
  std::uint64_t truncated = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    peerSends(r.frame);
    peerSends(marker);
    std::vector<std::string> expected = {marker};
    if (r.delivered) expected.insert(expected.begin(), r.frame);
    EXPECT_EQ(receiveFrames(*local_, expected.size()), expected);
    EXPECT_EQ(receiveNow(*local_), 0u);
    EXPECT_EQ(local_->truncatedFrames(), truncated += r.truncated);
  }
}

TEST_F(AfPacketSocketE2e, SentFrameArrivesAtPeerAndIsNotReadBackOnTheSendingHost) {
  auto bystander = open(*localNs_, "veth0");
  for (const std::string& sent : {cfm({}, 1), cfm({{0x88a8, 0x0064}, {0x8100, 0x0007}}, 2)}) {
    ASSERT_TRUE(local_->send(TestSupport::span(sent)));
    EXPECT_EQ(receiveFrames(*peer_, 1), std::vector<std::string>{sent});
    EXPECT_EQ(receiveNow(*local_), 0u);
    EXPECT_EQ(receiveNow(*bystander), 0u);
  }
  EXPECT_EQ(local_->sendErrors(), 0u);
}

// Frames that arrive while the socket is being opened must not slip in before the filter.
TEST_F(AfPacketSocketE2e, FloodDuringOpenLeaksNoForeignFrame) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> flooded{0};
  std::thread flood([&] {
    const std::string ipv4 = frame({}, 0x0800);
    while (!stop) flooded += peer_->send(TestSupport::span(ipv4));
  });
  std::size_t leaked = 0;
  for (int i = 0; i < 100; ++i) leaked += receiveNow(*open(*localNs_, "veth0"));
  stop = true;
  flood.join();
  EXPECT_EQ(leaked, 0u);
  EXPECT_GT(flooded.load(), 1000u);
}

TEST_F(AfPacketSocketE2e, BurstIsReadInBulkAndInOrder) {
  constexpr std::uint32_t kFrames = 200;
  std::vector<std::string> sent;
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    sent.push_back(cfm(i % 2 ? Tags{{0x8100, std::uint16_t(i)}} : Tags{}, i));
    peerSends(sent.back());
  }
  std::vector<std::size_t> batches;
  EXPECT_EQ(receiveFrames(*local_, kFrames, 5s, &batches), sent);
  // Everything was waiting, so calls mostly return full batches.
  EXPECT_EQ(*std::max_element(batches.begin(), batches.end()), AfPacketSocket::kBatchFrames);
  EXPECT_LE(batches.size(), 10u);
}

// A reader that falls behind loses frames in the kernel: each frame is read or counted.
TEST_F(AfPacketSocketE2e, FramesTheKernelDropsForAFullBufferAreCounted) {
  const int smallest = 1;  // the kernel's minimum: a few frames
  ASSERT_EQ(::setsockopt(local_->fd(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
  for (std::uint32_t i = 0; i < 100; ++i) peerSends(cfm({}, i));
  std::size_t read = 0;
  for (auto deadline = std::chrono::steady_clock::now() + 5s; read + local_->kernelDrops() < 100 &&
                                                              std::chrono::steady_clock::now() < deadline;) {
    read += receiveFrames(*local_, 1, 50ms).size();
  }
  EXPECT_GT(local_->kernelDrops(), 0u);
  EXPECT_EQ(read + local_->kernelDrops(), 100u) << read << " read";
}

TEST_F(AfPacketSocketE2e, DeviceDownFailsSendsButNotReceiveAndRecovers) {
  localNs_->ip({"link", "set", "veth0", "down"});
  EXPECT_FALSE(local_->send(TestSupport::span(cfm())));
  EXPECT_FALSE(local_->send(TestSupport::span(cfm())));
  EXPECT_EQ(local_->sendErrors(), 2u);
  EXPECT_EQ(receiveNow(*local_), 0u);  // the pending "network down" is not an exception

  localNs_->ip({"link", "set", "veth0", "up"});
  // The carrier comes back asynchronously; frames sent before that are lost.
  std::vector<std::string> got;
  for (auto deadline = std::chrono::steady_clock::now() + 10s; got.empty() && std::chrono::steady_clock::now() < deadline;) {
    peer_->send(TestSupport::span(cfm({}, 7)));
    got = receiveFrames(*local_, 1, 50ms);
  }
  EXPECT_EQ(got, std::vector<std::string>{cfm({}, 7)});
}

}  // namespace
