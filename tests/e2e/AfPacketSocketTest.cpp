// The CFM packet socket on a veth pair between two namespaces: "local" (the socket under
// test) and "peer" (a second socket that sends and receives the other end).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/intf/AfPacketSocket.h"
#include "tests/support/Netns.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Interface::AfPacketSocket;
using namespace std::chrono_literals;

struct Tag {
  std::uint16_t tpid;
  std::uint16_t tci;
};

void put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

// A frame to 01:80:c2:00:00:37 behind `tags`, padded to `size` bytes (at least 60, as on a
// real wire), with `seq` in the payload so frames can be told apart.
Bytes frame(std::vector<Tag> tags, std::uint16_t etherType, std::uint32_t seq = 0,
            std::size_t size = 60) {
  Bytes b = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x37, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  for (const Tag& t : tags) {
    put16(b, t.tpid);
    put16(b, t.tci);
  }
  put16(b, etherType);
  // CCM header: level 7, version 0, opcode 1, flags, first TLV offset 70, sequence number.
  for (std::uint8_t v : {0xe0, 0x01, 0x04, 0x46}) b.push_back(v);
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(seq >> shift));
  for (std::size_t i = 0; b.size() < size; ++i) b.push_back(static_cast<std::uint8_t>(i));
  return b;
}

Bytes cfm(std::vector<Tag> tags = {}, std::uint32_t seq = 0, std::size_t size = 60) {
  return frame(std::move(tags), 0x8902, seq, size);
}

// Receives in batches of 32 until `count` frames came or `timeout` passed.
std::vector<Bytes> receiveFrames(AfPacketSocket& s, std::size_t count,
                                 std::chrono::milliseconds timeout = 2000ms,
                                 std::vector<std::size_t>* batchSizes = nullptr) {
  std::vector<Bytes> frames;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (frames.size() < count) {
    const std::size_t n = s.receive(
        [&](std::span<const std::uint8_t> f) { frames.emplace_back(f.begin(), f.end()); }, 32);
    if (batchSizes != nullptr && n > 0) batchSizes->push_back(n);
    if (n > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    pollfd p{s.fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return frames;
}

std::size_t receiveNow(AfPacketSocket& s) {
  return s.receive([](std::span<const std::uint8_t>) {}, 1000);
}

// An unfiltered packet socket: proves that frames the CFM socket did not deliver did reach
// the device.
class Witness {
 public:
  explicit Witness(const std::string& device) {
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "witness socket");
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex(device.c_str()));
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
      throw std::system_error(errno, std::generic_category(), "witness bind");
    }
    // Frames queued before bind may come from any device; forget them.
    char scratch[16];
    while (::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
    }
  }
  ~Witness() { ::close(fd_); }
  // Incoming frames seen so far whose first EtherType (the kernel may have stripped the
  // outer tag) is `etherType`.
  std::size_t count(std::uint16_t etherType) {
    std::uint8_t buf[2048];
    for (;;) {
      sockaddr_ll from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      if (n >= 14 && from.sll_pkttype != PACKET_OUTGOING) seen_.push_back((buf[12] << 8) | buf[13]);
    }
    std::size_t c = 0;
    for (auto t : seen_) c += t == etherType;
    return c;
  }

 private:
  int fd_ = -1;
  std::vector<std::uint16_t> seen_;
};

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
  void TearDown() override {
    local_.reset();
    peer_.reset();
  }
  static std::unique_ptr<AfPacketSocket> open(const E2e::Netns& ns, const std::string& dev) {
    return ns.inside([&] { return std::make_unique<AfPacketSocket>(dev); });
  }
  void peerSends(const Bytes& f) { ASSERT_TRUE(peer_->send(f)) << "peer send failed"; }

  // Declared before the sockets: a namespace must outlive the sockets opened in it.
  std::optional<E2e::Netns> localNs_, peerNs_;
  std::optional<E2e::VethLink> link_;
  std::unique_ptr<AfPacketSocket> local_, peer_;
};

TEST_F(AfPacketSocketE2e, CfmFramesArriveExactlyAsSentWhateverTheirTags) {
  const struct {
    const char* name;
    std::vector<Tag> tags;
  } cases[] = {
      {"untagged", {}},
      {"c-tag", {{0x8100, 0xa064}}},
      {"priority tag, TCI 0", {{0x8100, 0x0000}}},
      {"c-tag with DEI, VID 4094", {{0x8100, 0x3ffe}}},
      {"s-tag", {{0x88a8, 0x00c8}}},
      {"s-tag over c-tag", {{0x88a8, 0x2064}, {0x8100, 0xe00a}}},
      {"c-tag over c-tag", {{0x8100, 0x0064}, {0x8100, 0x000a}}},
      {"VID 0 over c-tag", {{0x8100, 0x0000}, {0x8100, 0x001e}}},
      {"0x9100 tag", {{0x9100, 0x0005}}},
      {"0x9100 over c-tag", {{0x9100, 0x0005}, {0x8100, 0x0006}}},
  };
  std::uint32_t seq = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes sent = cfm(c.tags, ++seq);
    peerSends(sent);
    const auto got = receiveFrames(*local_, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], sent);
    EXPECT_EQ(receiveNow(*local_), 0u);
  }
}

TEST_F(AfPacketSocketE2e, SentFrameArrivesAtPeerAndIsNotReadBackOnTheSendingHost) {
  auto bystander = open(*localNs_, "veth0");
  for (const Bytes& sent : {cfm({}, 1), cfm({{0x88a8, 0x0064}, {0x8100, 0x0007}}, 2)}) {
    ASSERT_TRUE(local_->send(sent));
    const auto got = receiveFrames(*peer_, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], sent);
    EXPECT_EQ(receiveNow(*local_), 0u);
    EXPECT_EQ(receiveNow(*bystander), 0u);
  }
  EXPECT_EQ(local_->sendErrors(), 0u);
}

TEST_F(AfPacketSocketE2e, OtherFramesAreFilteredOut) {
  auto witness = localNs_->inside([] { return std::make_unique<Witness>("veth0"); });
  const struct {
    const char* name;
    Bytes frame;
    std::uint16_t witnessType;  // first EtherType after any tag the kernel strips
  } foreign[] = {
      {"IPv4", frame({}, 0x0800), 0x0800},
      {"LLDP", frame({}, 0x88cc), 0x88cc},
      {"tagged IPv4", frame({{0x8100, 0x0064}}, 0x0800), 0x0800},
      {"double-tagged ARP", frame({{0x88a8, 0x0064}, {0x8100, 0x0005}}, 0x0806), 0x8100},
      {"CFM behind two s-tags", frame({{0x88a8, 0x0064}, {0x88a8, 0x0005}}, 0x8902), 0x88a8},
      {"CFM behind three tags",
       frame({{0x88a8, 0x0064}, {0x8100, 0x0005}, {0x8100, 0x0006}}, 0x8902), 0x8100},
      {"CFM behind 0x9100 and an s-tag", frame({{0x9100, 0x0064}, {0x88a8, 0x0005}}, 0x8902),
       0x9100},
  };
  for (const auto& f : foreign) peerSends(f.frame);
  const Bytes wanted = cfm({}, 99);
  peerSends(wanted);

  const auto got = receiveFrames(*local_, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], wanted);
  EXPECT_EQ(receiveNow(*local_), 0u);
  std::map<std::uint16_t, std::size_t> expected;
  for (const auto& f : foreign) ++expected[f.witnessType];
  for (const auto& [type, n] : expected) {
    EXPECT_EQ(witness->count(type), n) << "foreign frames with EtherType " << std::hex << type
                                       << " did not all reach the device";
  }
}

// Frames that arrive while the socket is being opened must not slip in before the filter.
TEST_F(AfPacketSocketE2e, FloodDuringOpenLeaksNoForeignFrame) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> flooded{0};
  std::thread flood([&] {
    const Bytes ipv4 = frame({}, 0x0800);
    while (!stop) flooded += peer_->send(ipv4);
  });
  std::size_t leaked = 0;
  for (int i = 0; i < 100; ++i) {
    auto s = open(*localNs_, "veth0");
    leaked += receiveNow(*s);
  }
  stop = true;
  flood.join();
  EXPECT_EQ(leaked, 0u);
  EXPECT_GT(flooded.load(), 1000u);
}

TEST_F(AfPacketSocketE2e, BurstIsReadInBulkAndInOrder) {
  constexpr std::uint32_t kFrames = 200;
  std::vector<Bytes> sent;
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    sent.push_back(cfm(i % 2 ? std::vector<Tag>{{0x8100, static_cast<std::uint16_t>(i)}}
                             : std::vector<Tag>{},
                       i));
    peerSends(sent.back());
  }
  std::vector<std::size_t> batches;
  const auto got = receiveFrames(*local_, kFrames, 2000ms, &batches);
  ASSERT_EQ(got.size(), kFrames);
  for (std::uint32_t i = 0; i < kFrames; ++i) ASSERT_EQ(got[i], sent[i]) << "frame " << i;
  // Everything was waiting, so calls should mostly return full batches of 32.
  for (std::size_t n : batches) EXPECT_LE(n, 32u);
  EXPECT_EQ(*std::max_element(batches.begin(), batches.end()), 32u);
  EXPECT_LE(batches.size(), 10u);
}

TEST_F(AfPacketSocketE2e, FramesLongerThanTheBufferAreCountedAndSkipped) {
  link_->mtuIs(9500);
  const struct {
    const char* name;
    Bytes frame;
    bool delivered;
  } cases[] = {
      {"9216 bytes untagged", cfm({}, 1, 9216), true},
      {"9216 bytes tagged", cfm({{0x8100, 0x0064}}, 2, 9216), true},
      {"9217 bytes untagged", cfm({}, 3, 9217), false},
      {"9400 bytes tagged, 9396 without the tag", cfm({{0x8100, 0x0064}}, 4, 9400), false},
  };
  std::uint64_t truncated = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peerSends(c.frame);
    const Bytes marker = cfm({}, 1000);
    peerSends(marker);
    const auto got = receiveFrames(*local_, c.delivered ? 2 : 1);
    ASSERT_EQ(got.size(), c.delivered ? 2u : 1u);
    if (c.delivered) {
      EXPECT_EQ(got[0], c.frame);
    }
    EXPECT_EQ(got.back(), marker);
    truncated += !c.delivered;
    EXPECT_EQ(local_->truncatedFrames(), truncated);
  }
}

TEST_F(AfPacketSocketE2e, DeviceDownFailsSendsButNotReceiveAndRecovers) {
  localNs_->ip({"link", "set", "veth0", "down"});
  EXPECT_FALSE(local_->send(cfm()));
  EXPECT_FALSE(local_->send(cfm()));
  EXPECT_EQ(local_->sendErrors(), 2u);
  EXPECT_EQ(receiveNow(*local_), 0u);  // the pending "network down" is not an exception

  localNs_->ip({"link", "set", "veth0", "up"});
  // The carrier comes back asynchronously; frames sent before that are lost.
  std::vector<Bytes> got;
  for (int i = 0; i < 100 && got.empty(); ++i) {
    peer_->send(cfm({}, 7));
    got = receiveFrames(*local_, 1, 50ms);
  }
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], cfm({}, 7));
}

TEST_F(AfPacketSocketE2e, UnknownDeviceIsNamedInTheError) {
  try {
    open(*localNs_, "nosuch0");
    FAIL() << "opened a socket on a missing device";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENODEV);
    EXPECT_NE(std::string(e.what()).find("nosuch0"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("No such device"), std::string::npos) << e.what();
  }
}

// In a forked child: drops root, tries to open `device` and writes the error text to
// `reportFd`. Exits 0 when the open failed for lack of privilege.
[[noreturn]] void openUnprivileged(const std::string& device, int reportFd) {
  if (::setgroups(0, nullptr) < 0 || ::setgid(65534) < 0 || ::setuid(65534) < 0) ::_exit(2);
  std::string report = "opened";
  int code = 0;
  try {
    AfPacketSocket s(device);
  } catch (const std::system_error& e) {
    report = e.what();
    code = e.code().value();
  }
  (void)!::write(reportFd, report.data(), report.size());
  ::_exit(code == EPERM || code == EACCES ? 0 : 1);
}

TEST_F(AfPacketSocketE2e, WithoutCapNetRawTheErrorNamesDeviceAndCapability) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child;
  {
    E2e::NetnsScope inside(*localNs_);
    child = ::fork();
    if (child == 0) openUnprivileged("veth0", pipeFds[1]);
  }
  ASSERT_GE(child, 0);
  ::close(pipeFds[1]);
  std::string report;
  char buf[256];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) report.append(buf, n);
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << report;
  EXPECT_NE(report.find("veth0"), std::string::npos) << report;
  EXPECT_NE(report.find("needs CAP_NET_RAW"), std::string::npos) << report;
}

}  // namespace
