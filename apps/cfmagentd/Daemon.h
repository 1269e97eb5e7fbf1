#pragma once
// The runner around one CFM agent: the state database seeded from the configuration, the
// interface and kernel-device status that the platform's managers read, the agent loaded
// from its library through the runner core, and the answers to control requests.
//
// Live and replay runs share all of it; they differ in where devices come from (the
// kernel's, as a link watcher reports them, or every mapped interface at once on the
// in-memory wire) and in which socket factory the packet-access manager uses.

#include <linux/if.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/runner/Metrics.h"
#include "apps/runner/RunnerConfig.h"
#include "platform/ale/SoftAle.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/IntfStatus.h"
#include "platform/intf/KernelNetInfo.h"
#include "platform/kiln/Dir.h"
#include "platform/linux/LinuxBridge.h"

namespace Cfmagentd {

class Daemon {
 public:
  // `log` gets the lines an operator should read (which interface each bridge port is).
  Daemon(Kiln::EventLoop& loop, Runner::RunnerConfig config, std::function<void(const std::string&)> log = {});
  ~Daemon();

  Orbis::EntityManager& manager() { return *manager_; }
  // The configuration in force: the file's, with the bridge's bridging when it names one.
  const Runner::RunnerConfig& config() const { return config_; }

  // Loads `library` and creates the agent through the runner core; its packet-access
  // sockets come from `devices` (the in-memory wire when empty). Throws on failure.
  void agentIs(const std::string& library, Interface::EthDevPamManager::DeviceFactory devices = {});
  // Destroys the agent; its objects go in their order.
  void agentDel();
  // Starts the software ALE layer beside the agent (RunnerConfig::softwareAle): it sends
  // and watches CCMs through the agent's sockets and reports into "cfm/aleStatus". Its
  // events reach `events` as JSON (apps/runner/Events.h), from the first MEP it creates.
  using EventSink = std::function<void(const nlohmann::json&)>;
  void softwareAleIs(Kiln::EventLoop& loop, EventSink events = {});
  SoftAle::Layer* softwareAle() const { return ale_.get(); }
  // The agent agentIs built; null before and after.
  const Kiln::Ptr<AgentBase::CAgent>& agent() const { return runner_.agent(); }

  // A kernel device came (present), changed or went; the interfaces mapped to it follow.
  // `operState` (IF_OPER_*) goes to the software ALE layer's Interface Status TLVs; `mtu`
  // bounds the frames the agent sends there.
  void deviceIs(const std::string& name, int ifIndex, bool present, std::uint8_t operState = IF_OPER_UP,
                std::uint32_t mtu = KernelNetInfo::defaultMtu);
  // Every mapped interface present, whatever the kernel has: replays on the in-memory wire.
  void everyDevicePresentIs(bool present);

  // Applies `config` as a difference from what the database holds; returns the writes.
  // With a bridge, the bridging is the bridge's; a file naming another bridge is refused.
  std::vector<std::string> configIs(Runner::RunnerConfig config);
  // A new reading of the configuration's bridge; its bridging is applied as a difference.
  std::vector<std::string> bridgeIs(const LinuxNet::BridgeSnapshot& bridge);

  // The interface a capture names: an interface of the map by its name (any accepted
  // spelling) or by its kernel device. None when neither.
  std::optional<Lumen::IntfId> intfOf(const std::string& name) const;

  // The state export (docs/state.md): the database's sections and the counters of the
  // sockets the agent has open; with `only`, the sections it names.
  nlohmann::json state(const std::set<std::string>& only = {}) const;
  // What the metrics endpoint shows, copied out on the loop (apps/runner/Metrics.h).
  Runner::MetricsSnapshot metricsSnapshot() const;

  // One control request ({"op": "show" | "clear" | "apply" | "query", ...}); the answer
  // always has "ok", and "error" when not ok.
  nlohmann::json handleRequest(const nlohmann::json& request);

 private:
  // Applies `file` as a difference, its bridging taken from `bridge` when it names one.
  std::vector<std::string> bridgingIs(Runner::RunnerConfig file, const LinuxNet::BridgeSnapshot& bridge);
  void intfStatusUpdate();
  std::vector<Kiln::PtrConst<Interface::Pam>> sockets() const;
  nlohmann::json clear(const std::string& command);
  // The agent's answer to {"topic": ..., "fields": {name: text}}, as {"answer": text}.
  nlohmann::json query(const std::string& topic, const nlohmann::json& fields);

  Kiln::Ptr<Orbis::EntityManager> manager_;
  std::function<void(const std::string&)> log_;
  Runner::RunnerConfig fileConfig_;
  LinuxNet::BridgeSnapshot bridge_;
  std::map<int, Lumen::IntfId> portIntfs_;  // the bridge's ports' interfaces, by interface index
  Runner::RunnerConfig config_;
  Kiln::Ptr<Interface::AllIntfStatusDir> allIntfStatusDir_;
  Kiln::Ptr<KernelNetInfo::Status> kniStatus_;
  Kiln::Ptr<Kiln::Dir> commandRequestDir_;
  AgentBase::AgentRunner runner_;
  struct Device {
    int ifIndex;
    std::uint8_t operState;
    std::uint32_t mtu;
  };
  std::map<std::string, Device> devices_;  // kernel devices present, by name
  // The latest socket opened on each interface, noted by the device factory.
  std::shared_ptr<std::map<Lumen::IntfId, Kiln::Ptr<Interface::Pam>>> sockets_ =
      std::make_shared<std::map<Lumen::IntfId, Kiln::Ptr<Interface::Pam>>>();
  bool everyDevicePresent_ = false;
  std::uint64_t nextRequest_ = 1;
  std::unique_ptr<SoftAle::Layer> ale_;
};

}  // namespace Cfmagentd
