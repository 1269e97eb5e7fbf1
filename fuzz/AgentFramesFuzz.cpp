// Arbitrary frames into the whole agent, as cfmagentd runs it on the in-memory wire: every
// interface mode of the fuzz configuration, every engine at work. Input: records of one
// byte choosing the interface, two bytes of length (big-endian), then that many bytes of
// frame (fewer when the input ends first).
//
// Beyond the sanitizers, each frame must be counted `in` exactly once with at most one
// in-error, and each frame the agent sends, put back on the wire of the port it left by,
// must be taken by our receive path without an in-error.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "CfmAgent/CfmAgent.h"
#include "apps/cfmagentd/Daemon.h"
#include "platform/intf/MemoryPam.h"

namespace {

using CfmAgent::CounterId;
using Lumen::IntfId;

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
  std::optional<Runner::Daemon> daemon;
  Kiln::Ptr<CfmAgent::Agent> agent;
  std::vector<IntfId> intfs;

  World() {
    daemon.emplace(loop, Runner::parse(CFM_FUZZ_AGENT_CONFIG));
    daemon->agentIs(CFM_AGENT_LIBRARY);
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
    if (s.in != 1) fault("counted in " + std::to_string(s.in) + " times", frame);
    if (s.inError > 1) fault(std::to_string(s.inError) + " in-errors", frame);
    if (s.out != sent.size()) {
      fault("out " + std::to_string(s.out) + " for " + std::to_string(sent.size()) + " frames sent", frame);
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
