#include "apps/cfmagentd/Daemon.h"

#include <algorithm>
#include <set>

#include "apps/cfmagentd/BridgedConfig.h"
#include "apps/control/ControlSocket.h"
#include "apps/runner/Events.h"
#include "apps/runner/StateJson.h"
#include "platform/agent/CommandRequest.h"
#include "platform/intf/MemoryPam.h"

namespace Cfmagentd {

using Lumen::IntfId;
using Runner::RunnerConfig;

namespace {

constexpr const char* commandType = "CfmCliCallback";

}  // namespace

Daemon::Daemon(Kiln::EventLoop& loop, RunnerConfig config, std::function<void(const std::string&)> log)
    : manager_(Kiln::make<Orbis::EntityManager>(loop)),
      log_(std::move(log)),
      fileConfig_(std::move(config)),
      config_(fileConfig_.bridge.empty() ? fileConfig_ : bridgedConfig(fileConfig_, bridge_, portIntfs_)),
      runner_(manager_) {
  Runner::apply(config_, *manager_);
  allIntfStatusDir_ = Kiln::ptrCast<Interface::AllIntfStatusDir>(
      manager_->entityIs("interface/status/all", "Interface::AllIntfStatusDir", "AllIntfStatusDir"));
  kniStatus_ = Kiln::ptrCast<KernelNetInfo::Status>(
      manager_->entityIs("kni/ns/default/status", "KernelNetInfo::Status", "status"));
  commandRequestDir_ = Kiln::ptrCast<Kiln::Dir>(manager_->entityIs(
      Cell::path("agent/commandRequest/config/cfmAgent", 0), "Kiln::Dir", "cfmAgent"));
}

Daemon::~Daemon() { agentDel(); }

void Daemon::agentIs(const std::string& library, Interface::EthDevPamManager::DeviceFactory devices) {
  runner_.libraryIs(library);
  // The agent's socket manager takes the default factory when the agent builds it: one
  // that notes every socket it opens, so that their counters can be shown.
  Interface::EthDevPamManager::defaultDeviceFactoryIs(
      [sockets = sockets_, devices = std::move(devices)](
          Interface::EthDevPam& pam, const Interface::DeviceIntfStatus* device,
          const Interface::PamSettings& settings) {
        auto made = devices ? devices(pam, device, settings) : Interface::memoryPamNetwork().deviceIs(pam);
        if (made) (*sockets)[pam.intfId()] = Kiln::Ptr<Interface::Pam>(&pam);
        return made;
      });
  struct Restore {
    ~Restore() { Interface::EthDevPamManager::defaultDeviceFactoryIs(nullptr); }
  } restore;
  if (!runner_.agentIs("CfmAgent::Agent", "cfmAgent")) {
    throw std::runtime_error(library + ": no agent of type CfmAgent::Agent");
  }
}

void Daemon::agentDel() {
  // The layer goes first: it sends through the agent's sockets.
  if (ale_) {
    Interface::Pam::rxTapIs(nullptr);
    ale_.reset();
  }
  runner_.agentDel();
}

namespace {

// The tags of a frame of our own making (whole Ethernet header assumed), and its outer TPID.
std::pair<std::size_t, std::uint16_t> tagsOf(std::span<const std::uint8_t> frame) {
  const auto typeAt = [&](std::size_t at) { return std::uint16_t(frame[at] << 8 | frame[at + 1]); };
  const auto isTpid = [](std::uint16_t type) {
    return std::find(Lumen::outerTpids.begin(), Lumen::outerTpids.end(), type) != Lumen::outerTpids.end();
  };
  std::size_t tags = 0;
  while (tags < 2 && frame.size() >= 16 + 4 * tags && isTpid(typeAt(12 + 4 * tags))) ++tags;
  return {tags, tags ? typeAt(12) : Lumen::ethTypeDot1Q};
}

}  // namespace

void Daemon::softwareAleIs(Kiln::EventLoop& loop, EventSink events) {
  SoftAle::EventSink sink;
  if (events) sink = [events = std::move(events)](const SoftAle::Event& event) { events(Runner::eventJson(event)); };
  ale_ = std::make_unique<SoftAle::Layer>(
      loop, manager_,
      [sockets = sockets_](IntfId intf, std::span<const std::uint8_t> frame, const Interface::TxTiming& timing) {
        auto it = sockets->find(intf);
        if (it == sockets->end() || it->second->closed()) return false;
        // A reply is as long as what it answers, and the tags of the egress rule may differ
        // from the message's: what does not fit the interface is not sent.
        const auto [tags, outerTpid] = tagsOf(frame);
        if (frame.size() > it->second->maxFrameBytes(tags, outerTpid)) return false;
        return it->second->txFrame(frame, timing);
      },
      std::move(sink), Runner::alarmSettings(config_), Runner::pmSessions(config_));
  ale_->transmitBatchIs([sockets = sockets_](IntfId intf, bool batch) {
    if (auto it = sockets->find(intf); it != sockets->end()) it->second->txBatchIs(batch);
  });
  ale_->receivePendingIs([sockets = sockets_] {
    // A frame read may be one that makes the agent open or close a socket.
    std::vector<Kiln::Ptr<Interface::Pam>> pams;
    pams.reserve(sockets->size());
    for (const auto& [intf, pam] : *sockets) pams.push_back(pam);
    for (const auto& pam : pams) pam->rxPendingRead();
  });
  for (const auto& [device, present] : devices_) ale_->deviceStateIs(device, present.operState);
  Interface::Pam::rxTapIs(
      [ale = ale_.get()](IntfId intf, std::span<const std::uint8_t> frame, const timespec& rxTime) {
        ale->frameReceived(intf, frame, Cfm::PmTime::of(rxTime));
      });
}

void Daemon::deviceIs(const std::string& name, int ifIndex, bool present, std::uint8_t operState,
                      std::uint32_t mtu) {
  if (present) {
    devices_[name] = {ifIndex, operState, mtu};
  } else {
    devices_.erase(name);
  }
  if (ale_) ale_->deviceStateIs(name, present ? std::optional(operState) : std::nullopt);
  intfStatusUpdate();
}

void Daemon::everyDevicePresentIs(bool present) {
  everyDevicePresent_ = present;
  intfStatusUpdate();
}

std::vector<std::string> Daemon::configIs(RunnerConfig config) {
  if (config.bridge != fileConfig_.bridge) {
    throw Runner::ConfigError("the bridge is chosen when cfmagentd starts: it runs " +
                      (fileConfig_.bridge.empty() ? std::string("with the file's bridging")
                                                  : "with the bridge " + fileConfig_.bridge) +
                      "; nothing was applied");
  }
  config.softwareAle = fileConfig_.softwareAle;
  return bridgingIs(std::move(config), bridge_);
}

std::vector<std::string> Daemon::bridgeIs(const LinuxNet::BridgeSnapshot& bridge) {
  if (fileConfig_.bridge.empty()) return {};
  return bridgingIs(fileConfig_, bridge);
}

std::vector<std::string> Daemon::bridgingIs(RunnerConfig file, const LinuxNet::BridgeSnapshot& bridge) {
  // The ports' naming is kept only once applied: a refused configuration names nothing.
  auto intfs = portIntfs_;
  std::vector<std::string> notes;
  RunnerConfig effective = file.bridge.empty() ? file : bridgedConfig(file, bridge, intfs, &notes);
  auto writes = apply(effective, *manager_);
  // The alarm settings are the layer's, not the agent's: shown beside the agent's writes
  // where a layer takes them.
  if (ale_) {
    for (auto& line : Runner::alarmSettingChanges(config_, effective)) writes.push_back(std::move(line));
    for (auto& line : Runner::pmSessionChanges(config_, effective)) writes.push_back(std::move(line));
  }
  fileConfig_ = std::move(file);
  bridge_ = bridge;
  portIntfs_ = std::move(intfs);
  config_ = std::move(effective);
  intfStatusUpdate();
  if (ale_) {
    ale_->alarmSettingsIs(Runner::alarmSettings(config_));
    ale_->pmSessionsIs(Runner::pmSessions(config_));
    ale_->configChanged();
  }
  for (const auto& note : notes) {
    if (log_) log_(note);
  }
  return writes;
}

std::optional<IntfId> Daemon::intfOf(const std::string& name) const {
  for (const auto& [intf, device] : config_.interfaces) {
    if (device == name) return intf;
  }
  try {
    const IntfId intf(name);
    if (config_.interfaces.contains(intf)) return intf;
  } catch (const std::exception&) {
    // Not an interface name either.
  }
  return std::nullopt;
}

void Daemon::intfStatusUpdate() {
  // The kernel devices of mapped interfaces, then the interfaces whose device is there.
  std::set<std::string> mappedDevices;
  for (const auto& [intf, device] : config_.interfaces) mappedDevices.insert(device);
  std::vector<std::string> gone;
  for (const auto& [device, entry] : kniStatus_->device()) {
    if (!devices_.contains(device) || !mappedDevices.contains(device)) gone.push_back(device);
  }
  for (const auto& device : gone) kniStatus_->deviceDel(device);
  for (const auto& [device, present] : devices_) {
    if (mappedDevices.contains(device)) kniStatus_->deviceIs(device, present.ifIndex, present.mtu);
  }
  // With no kernel to ask (a replay), a device has the MTU its interface is given.
  if (everyDevicePresent_) {
    for (const auto& [intf, device] : config_.interfaces) {
      if (devices_.contains(device)) continue;
      auto mtu = config_.mtus.find(intf);
      kniStatus_->deviceIs(device, 0, mtu == config_.mtus.end() ? KernelNetInfo::defaultMtu : mtu->second);
    }
  }

  std::vector<IntfId> absent;
  for (const auto& [intf, status] : allIntfStatusDir_->intfStatus()) {
    auto it = config_.interfaces.find(intf);
    if (it == config_.interfaces.end() || !(everyDevicePresent_ || devices_.contains(it->second))) {
      absent.push_back(intf);
    }
  }
  for (auto intf : absent) allIntfStatusDir_->intfStatusDel(intf);
  for (const auto& [intf, device] : config_.interfaces) {
    if (everyDevicePresent_ || devices_.contains(device)) allIntfStatusDir_->intfStatusIs(intf, device);
  }
}

std::vector<Kiln::PtrConst<Interface::Pam>> Daemon::sockets() const {
  std::vector<Kiln::PtrConst<Interface::Pam>> out;
  for (const auto& [intf, pam] : *sockets_) out.push_back(pam);
  return out;
}

nlohmann::json Daemon::state(const std::set<std::string>& only) const {
  return Runner::stateJson(*manager_, sockets(), only);
}

Runner::MetricsSnapshot Daemon::metricsSnapshot() const { return Runner::metricsSnapshot(*manager_, sockets()); }

nlohmann::json Daemon::handleRequest(const nlohmann::json& request) {
  try {
    // Inside the try: a request that is no object, or whose fields have the wrong type,
    // is answered like any other bad request.
    const std::string op = request.value("op", "");
    if (op == "show") {
      return {{"ok", true}, {"state", state(request.value("sections", std::set<std::string>{}))}};
    }
    if (op == "clear") return clear(request.value("command", ""));
    if (op == "query") return query(request.value("topic", ""), request.value("fields", nlohmann::json::object()));
    if (op == "apply") {
      auto config = Runner::parseText(request.value("text", ""), request.value("name", "configuration"), fileConfig_.bridge);
      return {{"ok", true}, {"writes", configIs(std::move(config))}};
    }
    return Control::refusal("unknown request '" + op + "'");
  } catch (const std::exception& e) {
    return Control::refusal(e.what());
  }
}

nlohmann::json Daemon::query(const std::string& topic, const nlohmann::json& fields) {
  if (!agent()) return Control::refusal("no agent is running");
  std::map<std::string, std::string> text;
  for (const auto& [name, value] : fields.items()) text[name] = value.get<std::string>();
  return {{"ok", true}, {"answer", agent()->query(topic, text)}};
}

nlohmann::json Daemon::clear(const std::string& command) {
  if (command.empty()) return Control::refusal("empty command");
  const std::string name = "cfmctl-" + std::to_string(nextRequest_++);
  auto request = Kiln::make<Agent::CommandRequest>(name, commandType, 0, command);
  // The agent handles the request as it is stored, or not at all.
  commandRequestDir_->entityIs(name, request);
  commandRequestDir_->entityDel(name);
  switch (request->state()) {
    case Agent::CommandRequest::State::done:
      return {{"ok", true}};
    case Agent::CommandRequest::State::failed:
      return Control::refusal(request->error());
    case Agent::CommandRequest::State::pending:
      break;
  }
  return Control::refusal("the agent does not handle clear commands yet");
}

}  // namespace Cfmagentd
