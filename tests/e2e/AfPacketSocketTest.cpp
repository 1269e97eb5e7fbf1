// The CFM packet socket on a veth pair between two namespaces: "local" (the socket under
// test) and "peer" (a second socket that sends and receives the other end); then the
// socket manager opening such sockets on the local end with the agent's settings. The
// socket's error texts are checked through cfmtool, which opens the same socket.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>

#include "platform/intf/AfPacketPam.h"
#include "platform/intf/AfPacketSocket.h"
#include "platform/kiln/EventLoop.h"
#include "tests/support/Netns.h"
#include "tests/support/PeerFrames.h"
#include "tests/support/Sockets.h"

namespace {

using Interface::AfPacketSocket;
using Interface::IntfId;
using TestSupport::receiveFrames;
using TestSupport::span;
using Tags = std::vector<std::pair<std::uint16_t, std::uint16_t>>;  // (TPID, tag control)
using Frames = std::vector<std::string>;
using namespace std::chrono_literals;

// A CCM (sequence number `seq`, so frames can be told apart) behind `tags`, padded to `size`.
std::string cfm(Tags tags = {}, std::uint32_t seq = 0, std::size_t size = 60, std::uint16_t etherType = 0x8902) {
  std::string b = TestSupport::Frame{TestSupport::ccmGroup(7), TestSupport::bridgeMac, std::move(tags), etherType,
                                     TestSupport::ccm(7, 1, "md", "ma", seq)}.bytes();
  b.resize(std::max(size, b.size()), '\0');
  return b;
}
std::string other(Tags tags, std::uint16_t etherType) { return cfm(std::move(tags), 0, 60, etherType); }

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
  void peerSends(const std::string& f) { ASSERT_TRUE(peer_->send(span(f))) << "peer send failed"; }

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
  // Frames up to a ring slot come through the ring, longer ones through the queue beside it.
  EXPECT_TRUE(local_->ringed());
  link_->mtuIs(9500);
  struct Row { const char* name; std::string frame; bool delivered = true, truncated = false; };
  const Row rows[] = {
      {"untagged", cfm()},
      {"c-tag: priority 5, DEI, VID 4094", cfm({{0x8100, 0xbffe}})},
      {"priority tag, TCI 0", cfm({{0x8100, 0x0000}})},
      {"s-tag", cfm({{0x88a8, 0x00c8}})},
      {"s-tag over c-tag", cfm({{0x88a8, 0x2064}, {0x8100, 0xe00a}})},
      {"c-tag over c-tag", cfm({{0x8100, 0x0064}, {0x8100, 0x000a}})},
      {"0x9100 over c-tag", cfm({{0x9100, 0x0005}, {0x8100, 0x0006}})},
      {"186 bytes: the longest a ring slot holds", cfm({}, 0, 186)},
      {"187 bytes", cfm({}, 0, 187)},
      {"190 bytes tagged, 186 without the tag", cfm({{0x8100, 0x0064}}, 0, 190)},
      {"191 bytes tagged", cfm({{0x8100, 0x0064}}, 0, 191)},
      {"9216 bytes untagged", cfm({}, 0, 9216)},
      {"9216 bytes tagged", cfm({{0x8100, 0x0064}}, 0, 9216)},
      {"IPv4", other({}, 0x0800), false},
      {"tagged IPv4", other({{0x8100, 0x0064}}, 0x0800), false},
      {"double-tagged ARP", other({{0x88a8, 0x0064}, {0x8100, 0x0005}}, 0x0806), false},
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
    const Frames expected = r.delivered ? Frames{r.frame, marker} : Frames{marker};
    EXPECT_EQ(receiveFrames(*local_, expected.size()), expected);
    EXPECT_EQ(receiveNow(*local_), 0u);
    EXPECT_EQ(local_->truncatedFrames(), truncated += r.truncated);
  }
}

// Each frame comes with the kernel's receive time, through the ring and through the queue.
TEST_F(AfPacketSocketE2e, EachFrameComesWithTheKernelsReceiveTime) {
  const auto ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
  for (const std::size_t size : {60, 1000}) {
    timespec before{}, after{};
    ::clock_gettime(CLOCK_REALTIME, &before);
    peerSends(cfm({}, 0, size));
    long long received = 0;
    for (pollfd p{local_->fd(), POLLIN, 0}; !received && ::poll(&p, 1, 5000) == 1;) {
      local_->receive([&](std::span<const std::uint8_t>) { received = ns(local_->rxTime()); }, 1);
    }
    ::clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_TRUE(received >= ns(before) && received <= ns(after)) << size << " bytes: " << received;
  }
}

// Frames that arrive while a socket is being opened must not slip in before the filter.
TEST_F(AfPacketSocketE2e, FloodDuringOpenLeaksNoForeignFrame) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> flooded{0};
  std::thread flood([&] {
    const std::string ipv4 = other({}, 0x0800);
    while (!stop) flooded += peer_->send(span(ipv4));
  });
  std::size_t leaked = 0;
  for (int i = 0; i < 100; ++i) leaked += receiveNow(*open(*localNs_, "veth0"));
  stop = true;
  flood.join();
  EXPECT_EQ(leaked, 0u);
  EXPECT_GT(flooded.load(), 1000u);
}

// A sent frame arrives at the peer and is not read back on the sending host; a burst that
// is all waiting is read mostly in full batches, in order; a reader that falls behind loses
// frames in the kernel, each one read or counted; and with the device down a send fails but
// a receive does not, and the socket recovers.
TEST_F(AfPacketSocketE2e, SendsBurstsADeviceDownAndKernelDrops) {
  auto bystander = open(*localNs_, "veth0");
  const std::string sent = cfm({{0x88a8, 0x0064}, {0x8100, 0x0007}}, 2);
  ASSERT_TRUE(local_->send(span(sent)));
  EXPECT_EQ(receiveFrames(*peer_, 1), Frames{sent});
  EXPECT_EQ(receiveNow(*local_) + receiveNow(*bystander), 0u);
  EXPECT_EQ(local_->sendErrors(), 0u);

  Frames burst;
  for (std::uint32_t i = 0; i < 200; ++i) {
    peerSends(burst.emplace_back(cfm(i % 2 ? Tags{{0x8100, std::uint16_t(i)}} : Tags{}, i)));
  }
  // A veth delivers within the peer's send: all of the burst waits, and nothing more.
  EXPECT_TRUE(local_->backlogAtLeast(burst.size()));
  EXPECT_FALSE(local_->backlogAtLeast(burst.size() + 1));
  std::vector<std::size_t> batches;
  EXPECT_EQ(receiveFrames(*local_, burst.size(), 5s, &batches), burst);
  EXPECT_EQ(*std::max_element(batches.begin(), batches.end()), AfPacketSocket::kBatchFrames);
  EXPECT_LE(batches.size(), 10u);

  // More frames than the socket holds unread: its ring, or its smallest buffer without one.
  const int smallest = 1;
  ASSERT_EQ(::setsockopt(local_->fd(), SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
  const std::size_t flood = local_->ringed() ? AfPacketSocket::kRingFrames + 100 : 100;
  for (std::uint32_t i = 0; i < flood; ++i) peerSends(cfm({}, i));
  std::size_t read = 0;
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       read + local_->kernelDrops() < flood && std::chrono::steady_clock::now() < deadline;) {
    read += receiveFrames(*local_, 1, 50ms).size();
  }
  EXPECT_GT(local_->kernelDrops(), 0u);
  EXPECT_EQ(read + local_->kernelDrops(), flood) << read << " read";

  localNs_->ip({"link", "set", "veth0", "down"});
  EXPECT_FALSE(local_->send(span(cfm())));
  EXPECT_EQ(local_->sendErrors(), 1u);
  EXPECT_EQ(receiveNow(*local_), 0u);  // the pending "network down" is not an exception
  localNs_->ip({"link", "set", "veth0", "up"});
  // The carrier comes back asynchronously; frames sent before that are lost.
  Frames got;
  for (auto deadline = std::chrono::steady_clock::now() + 10s; got.empty() && std::chrono::steady_clock::now() < deadline;) {
    peer_->send(span(cfm({}, 7)));
    got = receiveFrames(*local_, 1, 50ms);
  }
  EXPECT_EQ(got, Frames{cfm({}, 7)});
  // Down and up leave an error on the socket that a read from the ring does not take: once
  // read empty, the socket must not stay ready, nor the first send after fail.
  pollfd ready{local_->fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&ready, 1, 0), 0) << "revents " << ready.revents;
  EXPECT_TRUE(local_->send(span(sent)));
  EXPECT_EQ(receiveFrames(*peer_, 1), Frames{sent});
  EXPECT_EQ(local_->sendErrors(), 1u);
}

// The socket manager with the agent's settings, opening its sockets on the local end.
class PamE2e : public AfPacketSocketE2e {
 protected:
  void SetUp() override {
    AfPacketSocketE2e::SetUp();
    if (IsSkipped()) return;
    Interface::EthDevPamManager::defaultDeviceFactoryIs(Interface::afPacketDeviceFactory(Kiln::eventLoop()));
    manager_ = Kiln::make<Interface::EthDevPamManager>(desired_, collection_, devices_);
    Interface::EthDevPamManager::defaultDeviceFactoryIs(nullptr);
    manager_->rxQueueLimitIs(56);
    manager_->headDropPolicyIs(true);
    manager_->pktReuseIs(true);
    manager_->enableBulkPamReadIs(true);
    manager_->perIntfSocketIs(false);
    manager_->enabledIs(true);
  }
  void TearDown() override {
    manager_ = nullptr;  // closes the sockets inside the namespace's life
    Kiln::eventLoop().runUntilIdle();
  }

  // Sockets are opened in the namespace the thread is in when the interface is desired.
  Kiln::Ptr<Interface::Pam> open(const char* intf) {
    return localNs_->inside([&] {
      devices_->deviceIntfStatusIs(IntfId(intf), "veth0", 0);
      desired_->intfDesiredIs(IntfId(intf), true);
      return collection_->intfPam(IntfId(intf));
    });
  }
  // Runs the loop until `done` holds or a generous deadline passes, then runs it dry; the
  // caller's assertions say what was seen instead.
  template <class Done>
  static void runUntil(Done done) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; !done() && std::chrono::steady_clock::now() < deadline;) {
      Kiln::eventLoop().runOnce(10);
    }
    Kiln::eventLoop().runUntilIdle();
  }
  static Frames drain(Interface::Pam& pam) {
    Frames frames;
    while (auto pkt = pam.rxPkt()) frames.push_back(pkt->stringValue());
    return frames;
  }

  Kiln::Ptr<Interface::PamDesiredIntfDir> desired_ = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  Kiln::Ptr<Interface::EthDevPamCollection> collection_ = Kiln::make<Interface::EthDevPamCollection>("edpc");
  Kiln::Ptr<Interface::DeviceIntfStatusDir> devices_ = Kiln::make<Interface::DeviceIntfStatusDir>("disd");
  Kiln::Ptr<Interface::EthDevPamManager> manager_;
};

// A reader that takes one frame per notification and sends it straight back, as the agent's
// loopback responder does.
struct Echo : Interface::Pam::NotifieeConst {
  explicit Echo(Kiln::Ptr<Interface::Pam> pam) : Interface::Pam::NotifieeConst(pam), pam(std::move(pam)) {}
  void onReadableCount() override {
    if (auto pkt = pam->rxPkt()) frames.push_back(pkt->stringValue()), pam->txPkt(pkt);
  }
  Kiln::Ptr<Interface::Pam> pam;
  Frames frames;
};

// Interfaces on one device share its socket, each gets every frame, and the socket lives
// while one of them uses it. A burst of several queues' worth reaches a reader taking one
// frame per notification whole and in order: the socket reads no more than the queue has
// room for before the reader drains it, and what the reader sends in between leaves in
// order, none lost.
TEST_F(PamE2e, InterfacesShareADevicesSocketAndABurstReachesTheReaderWhole) {
  auto ethernet = open("Ethernet1");
  auto portChannel = open("Port-Channel1");
  ASSERT_TRUE(ethernet && portChannel);
  peerSends(cfm({}, 1));
  peerSends(cfm({}, 2));
  runUntil([&] { return ethernet->counters().rxFrames + portChannel->counters().rxFrames >= 4; });
  EXPECT_EQ(drain(*ethernet), (Frames{cfm({}, 1), cfm({}, 2)}));
  EXPECT_EQ(drain(*portChannel), (Frames{cfm({}, 1), cfm({}, 2)}));
  desired_->intfDesiredDel(IntfId("Ethernet1"));

  Echo echo(portChannel);
  constexpr std::uint32_t burst = 150;  // the queue holds 56, a kernel batch 64
  Frames sent;
  for (std::uint32_t seq = 0; seq < burst; ++seq) peerSends(sent.emplace_back(cfm({}, seq)));
  runUntil([&] { return echo.frames.size() >= burst; });
  EXPECT_EQ(echo.frames, sent);
  const auto c = portChannel->counters();
  EXPECT_EQ(std::tuple(c.rxQueueDrops, c.rxKernelDrops, c.txFrames, c.txErrors), std::tuple(0u, 0u, burst, 0u));
  EXPECT_EQ(receiveFrames(*peer_, burst), sent);
}

// What a kernel socket says fits is what the kernel sends: a frame as long as maxFrameBytes
// leaves, one byte longer is refused, untagged and under each kind of tag stack.
TEST_F(PamE2e, TheLongestFrameASocketAllowsIsTheLongestTheKernelSends) {
  auto pam = open("Ethernet1");
  ASSERT_TRUE(pam);
  pam->mtuIs(1500);  // the veth's
  const std::vector<std::uint16_t> stacks[] = {{}, {0x8100}, {0x8100, 0x8100}, {0x88a8}, {0x88a8, 0x8100}};
  for (const auto& tpids : stacks) {
    const std::uint32_t longest = pam->maxFrameBytes(tpids.size(), tpids.empty() ? 0 : tpids[0]);
    for (const std::uint32_t bytes : {longest, longest + 1}) {
      TestSupport::Frame f{TestSupport::ccmGroup(3), TestSupport::hostA, {}, 0x8902, ""};
      for (const auto tpid : tpids) f.tag(10, tpid);
      f.payload.resize(bytes - f.bytes().size());
      auto pkt = Lumen::pktManager().newPkt();
      pkt->stringValueIs(f.bytes(), false);
      EXPECT_EQ(pam->txPkt(pkt), bytes == longest) << ::testing::PrintToString(tpids) << " " << bytes;
    }
  }
}

}  // namespace
