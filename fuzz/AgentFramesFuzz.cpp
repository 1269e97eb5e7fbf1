// Arbitrary frames into the whole agent, as cfmagentd runs it on the in-memory wire: every
// interface mode of the fuzz configuration, every engine at work. Input: records of one
// byte choosing the interface, two bytes of length (big-endian), then that many bytes of
// frame (fewer when the input ends first).
//
// Beyond the sanitizers, each frame must be counted `in` exactly once with at most one
// in-error, and each frame the agent sends, put back on the wire of the port it left by,
// must be taken by our receive path without an in-error. What a frame makes the agent send
// is bounded: at most two frames (a relayed LTM and its LTR, or a DMR or SLR from the
// software ALE layer, which runs as live cfmagentd runs it), and a CCM of the layer's whose
// time came; none but the CCM longer than the frame itself plus the largest growth an
// answer may have, and each within what its egress socket's MTU allows for its VLAN tags.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "CfmAgent/LinktraceSm.h"
#include "apps/cfmagentd/Daemon.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"

namespace {

using CfmAgent::CounterId;
using Lumen::IntfId;

// A frame answering another is at most this much longer: the LTR is the answer that grows
// most.
constexpr std::size_t answerGrowthMax = CfmAgent::LinktraceSm::ltrGrowthMax;
// A relayed LTM and its LTR.
constexpr std::size_t answersMax = 2;

// The VLAN tags in front of a frame's EtherType, whichever TPID a port uses.
std::size_t vlanTags(const std::string& frame) {
  std::size_t tags = 0;
  for (std::size_t at = 12; at + 4 <= frame.size(); at += 4, ++tags) {
    const unsigned type = unsigned(std::uint8_t(frame[at])) << 8 | std::uint8_t(frame[at + 1]);
    if (type != 0x8100 && type != 0x88a8 && type != 0x9100) break;
  }
  return tags;
}

// The opcode of a CFM frame we sent; 0 when it has none.
std::uint8_t opCodeOf(const std::string& frame) {
  const std::size_t at = 12 + 4 * vlanTags(frame) + 3;
  return at < frame.size() ? std::uint8_t(frame[at]) : 0;
}
// Sent by the software ALE layer, not the agent, which counts none of them: its MEP's CCMs
// and measurement messages (1DM, DMM, SLM; on their timers, whatever came in) and the
// Y.1731 replies (DMR, SLR) to what a frame asked.
bool fromTheLayer(const std::string& frame) {
  const std::uint8_t opCode = opCodeOf(frame);
  return opCode == 1 || opCode == 45 || opCode == 46 || opCode == 47 || opCode == 54 || opCode == 55;
}

struct Sums {
  std::uint64_t in = 0, inError = 0, out = 0, noBridgingVlan = 0;
};

[[noreturn]] void fault(const std::string& what, const std::string& frame) {
  std::fprintf(stderr, "invariant broken: %s (frame of %zu bytes:", what.c_str(), frame.size());
  for (unsigned char c : frame) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, ")\n");
  std::abort();
}

struct World {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  std::optional<Cfmagentd::Daemon> daemon;
  Kiln::Ptr<CfmAgent::Agent> agent;
  std::vector<IntfId> intfs;

  World() {
    daemon.emplace(loop, Runner::parse(CFM_FUZZ_AGENT_CONFIG));
    daemon->agentIs(CFM_AGENT_LIBRARY);
    daemon->softwareAleIs(loop);
    agent = Kiln::ptrCast<CfmAgent::Agent>(daemon->agent());
    if (!agent) fault("no agent", "");
    // Each frame in a heap block of its own size, so that a read past it is seen.
    agent->ethDevPamManager()->pktReuseIs(false);
    daemon->everyDevicePresentIs(true);
    loop.runUntilIdle();
    for (const auto& [intf, device] : daemon->config().interfaces) {
      if (!Interface::memoryPamNetwork().isOpen(intf)) fault("no socket on " + intf.stringValue(), "");
      intfs.push_back(intf);
    }
  }

  Sums sums() const {
    Sums s;
    for (const auto& [intf, ic] : agent->status()->counter()->intfCounter()) {
      for (const auto& [level, md] : ic->mdCounter()) {
        for (const auto& [op, opc] : md->opCodeCounter()) {
          for (const auto& [id, value] : opc->counter()) {
            const auto n = std::uint32_t(id);
            if (id == CounterId::in_) s.in += value;
            if (n >= 1 && n <= 27) s.inError += value;
            if (id == CounterId::out_) s.out += value;
            if (id == CounterId::inErrorNoBridgingVlan_) s.noBridgingVlan += value;
          }
        }
      }
    }
    return s;
  }

  // Delivers one frame with nothing counted before it; what it made the agent send.
  std::vector<Interface::MemoryPamNetwork::Sent> deliver(IntfId intf, const std::string& frame) {
    auto& wire = Interface::memoryPamNetwork();
    agent->status()->counter()->intfCounterDelAll();
    wire.sentClear();
    if (!wire.inject(intf, frame)) fault("inject refused on " + intf.stringValue(), frame);
    loop.runUntilIdle();
    auto sent = wire.sent();
    wire.sentClear();
    const Sums s = sums();
    // The socket takes no frame longer than a packet buffer.
    const std::uint64_t taken = frame.size() <= Lumen::Pkt::maxBytes ? 1 : 0;
    if (s.in != taken) fault("counted in " + std::to_string(s.in) + " times", frame);
    if (s.inError > 1) fault(std::to_string(s.inError) + " in-errors", frame);
    const auto agentSent = std::size_t(
        std::count_if(sent.begin(), sent.end(), [](const auto& out) { return !fromTheLayer(out.bytes); }));
    if (s.out != agentSent) {
      fault("out " + std::to_string(s.out) + " for " + std::to_string(agentSent) + " frames sent", frame);
    }
    if (sent.size() > answersMax + 1) fault(std::to_string(sent.size()) + " frames sent for one", frame);
    for (const auto& out : sent) {
      if (opCodeOf(out.bytes) != 1 && out.bytes.size() > frame.size() + answerGrowthMax) {
        fault("a frame of " + std::to_string(out.bytes.size()) + " bytes sent for one of " +
                  std::to_string(frame.size()) + " on " + out.intf.stringValue(),
              frame);
      }
      const auto pam = agent->ethDevPamManager()->ethDevPamCollection()->intfPam(out.intf);
      if (!pam) fault("a frame sent on " + out.intf.stringValue() + ", which has no socket", frame);
      const std::size_t tags = vlanTags(out.bytes);
      const auto outerTpid = std::uint16_t(std::uint8_t(out.bytes[12]) << 8 | std::uint8_t(out.bytes[13]));
      if (out.bytes.size() > pam->maxFrameBytes(tags, outerTpid)) {
        fault("a frame of " + std::to_string(out.bytes.size()) + " bytes with " + std::to_string(tags) +
                  " tags sent on " + out.intf.stringValue() + ", MTU " + std::to_string(pam->mtu()),
              frame);
      }
    }
    return sent;
  }
};

World* world;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  world = new World;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = *world;
  w.agent->status()->ccmDb()->ccmMdDelAll();
  w.agent->status()->mipCcmDb()->vlanDelAll();
  std::size_t at = 0;
  for (int frames = 0; frames < 8 && at + 3 <= size; ++frames) {
    const IntfId intf = w.intfs[data[at] % w.intfs.size()];
    const std::size_t length = std::min<std::size_t>(std::size_t(data[at + 1]) << 8 | data[at + 2], size - at - 3);
    const std::string frame(reinterpret_cast<const char*>(data + at + 3), length);
    at += 3 + length;
    for (const auto& out : w.deliver(intf, frame)) {
      if (fromTheLayer(out.bytes)) continue;  // the agent takes no DMR or SLR, by design
      // Back in by the port it left through: a peer configured as this bridge takes it.
      w.deliver(out.intf, out.bytes);
      // A VLAN the egress port has no tag for leaves untagged by design (the port's
      // translation table is the bridge's business); on a port without a native VLAN the
      // peer has no VLAN for it either.
      const bool untagged = out.bytes.size() >= 14 && out.bytes.compare(12, 2, "\x89\x02") == 0;
      const Sums back = w.sums();
      if (back.inError != (untagged ? back.noBridgingVlan : 0)) {
        fault("a frame we sent is refused on " + out.intf.stringValue(), out.bytes);
      }
    }
  }
  return 0;
}
