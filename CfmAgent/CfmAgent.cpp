#include "CfmAgent/CfmAgent.h"

#include <cstdio>
#include <stdexcept>

#include "CfmAgent/Query.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"
#include "platform/kiln/TypeRegistry.h"
#include "platform/orbis/Ripple.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmAgent");
  return handle;
}

const Kiln::TypeRegistration agentType(
    "CfmAgent::Agent", [](const std::string& name) { return agentFactory(name); });

// Instantiating setter of a child entity built from its name alone.
template <class T>
Kiln::Ptr<T> namedChildIs(Kiln::Ptr<T>& slot, const std::string& name, Kiln::Entity* parent) {
  return Kiln::instantiate(
      slot, [&](const T& child) { return child.name() == name; },
      [&] {
        auto* child = new T(name);
        child->parentIs(parent);
        return child;
      });
}

// The entity at `path` if it is a T; empty otherwise.
template <class T>
Kiln::Ptr<T> root(const Orbis::EntityManager& manager, const std::string& path) {
  return Kiln::ptrCast<T>(manager.entity(path));
}

// The kernel status table path of a namespace: "kni/ns/%s/status".
std::string kniStatusPath(const Lumen::NamespaceName& ns) {
  char path[Lumen::NamespaceName::maxBytes + 32];
  std::snprintf(path, sizeof path, "kni/ns/%s/status", ns.stringValue().c_str());
  return path;
}

}  // namespace

Kiln::Ptr<Agent> agentFactory(const std::string& name) { return Kiln::make<Agent>(name); }

Agent::~Agent() {
  // Owned objects go in declaration order; the references are released after them.
  deviceIntfStatusDirDel();
  pamDesiredIntfDirDel();
  ethDevPamCollectionDel();
  intfStatusManagerRootDel();
  ethDevPamManagerDel();
  protocolPktCollectionDel();
  pktHelperDel();
  counterHelperDel();
  cmdRequestHandlerDel();
  intfSmDel();
  pamSmDel();
  cfmSmDel();
  continuityCheckSmDel();
  loopbackSmDel();
  linktraceSmDel();
  cliRequestDirSmDel();
  cliCallbackDel();
}

std::string Agent::query(const std::string& topic, const std::map<std::string, std::string>& fields) const {
  if (topic == "explain-linktrace") {
    if (!linktraceSm_) throw std::invalid_argument("the linktrace engine is not running");
    return explainLinktrace(*linktraceSm_, fields);
  }
  if (topic == "counter-sums") {
    if (!counterHelper_) throw std::invalid_argument("the agent keeps no counters");
    return counterSums(*counterHelper_, fields);
  }
  return CAgent::query(topic, fields);
}

void Agent::doInit() {
  KILN_TRACE(trace(), 8, "doInit");
  auto group = mountGroup();
  group->add("cfm/config", "CfmAgent::Config", "rOP");
  group->add("cfm/aleConfig", "Cfm::AleConfig", "w");
  group->add("cfm/aleStatus", "Cfm::AleStatus", "rOP");
  group->add("cfm/status", "CfmAgent::Status", "wS");
  group->add("bridging/config", "Bridging::Config", "r");
  group->add("bridging/status", "Bridging::Status", "r");
  group->add(Cell::path("agent/commandRequest/config/cfmAgent", 0), "Kiln::Dir", "rOP");
  createLocalEntity("AllIntfStatusDir", "Interface::AllIntfStatusDir", "interface/status/all");
  createLocalEntity("AllIntfStatusLocalDir", "Interface::AllIntfStatusLocalDir",
                    Cell::path("interface/status/local", 0));
  localEntitiesCreatedIs(true);
  group->close(false, "", 0.0);
}

void Agent::doMountsComplete(Orbis::MountStatus mountStatus,
                             Kiln::Ptr<Orbis::EntityManager> entityManager) {
  KILN_TRACE(trace(), 8, "doMountsComplete");
  KILN_ASSERT(mountStatus == Orbis::mountSuccess_);

  configIs(root<Config>(*entityManager, "cfm/config"));
  aleConfigIs(root<Cfm::AleConfig>(*entityManager, "cfm/aleConfig"));
  aleStatusIs(root<Cfm::AleStatus>(*entityManager, "cfm/aleStatus"));
  statusIs(root<Status>(*entityManager, "cfm/status"));
  brConfigIs(root<Bridging::Config>(*entityManager, "bridging/config"));
  brStatusIs(root<Bridging::Status>(*entityManager, "bridging/status"));
  allIntfStatusDirIs(root<Interface::AllIntfStatusDir>(*entityManager, "interface/status/all"));
  allIntfStatusLocalDirIs(root<Interface::AllIntfStatusLocalDir>(
      *entityManager, Cell::path("interface/status/local", 0)));

  deviceIntfStatusDirIs("disd");
  pamDesiredIntfDirIs("pdid");
  ethDevPamCollectionIs("edpc");

  {
    KilnRipple::Mount ripple(entityManager);
    ripple.handleInitialized();
    const Lumen::NamespaceName ns(Lumen::DEFAULT_NS);
    const std::string path = kniStatusPath(ns);
    ripple.mount(path, "KernelNetInfo::Status", KilnRipple::MountInfo{});
    kniStatusIs(Kiln::ptrCast<KernelNetInfo::Status>(ripple.entity(path)));
  }

  intfStatusManagerRootIs(nullptr, allIntfStatusDir_, allIntfStatusLocalDir_, false)
      ->intfStatusManagerIs(nullptr, deviceIntfStatusDir_, kniStatus_,
                            Lumen::NamespaceName(Lumen::DEFAULT_NS));

  auto pamManager = ethDevPamManagerIs(pamDesiredIntfDir_, ethDevPamCollection_, deviceIntfStatusDir_);
  // Frames queued per socket before the oldest is dropped.
  pamManager->rxQueueLimitIs(56);
  pamManager->headDropPolicyIs(true);
  pamManager->pktReuseIs(true);
  pamManager->enableBulkPamReadIs(true);
  pamManager->perIntfSocketIs(false);
  pamManager->enabledIs(true);

  // A runner that mounted no status still gets an agent that counts and learns: into a
  // status of its own, which no other agent sees.
  if (!status_) statusIs(Kiln::make<Status>());
  counterHelperIs(status_->counterIs());
  pktHelperIs(ethDevPamCollection_, counterHelper_);
  cmdRequestHandlerIs(status_->mipCcmDbIs(), status_->ccmDbIs(), counterHelper_);

  cliRequestDirIs(Kiln::ptrCast<Kiln::Dir>(
      entityManager->entity(cellPath() + "/agent/commandRequest/config/cfmAgent")));
  auto requestDirSm = cliRequestDirSmIs(nullptr);
  requestDirSm->agentCommandCallbackIs(cliCallbackIs("CfmCliCallback", "CfmCliCallback", cmdRequestHandler_));

  // The configuration present now is translated before any frame can arrive.
  cfmSmIs(config_, aleConfig_, aleStatus_, status_);
  intfSmIs(allIntfStatusDir_, pamDesiredIntfDir_);
  protocolPktCollectionIs();
  continuityCheckSmIs(protocolPktCollection_->protocolPktIs(Cfm::protocolContinuityCheck),
                      config_, status_->mipCcmDbIs(), status_->ccmDbIs(), pktHelper_);
  loopbackSmIs(protocolPktCollection_->protocolPktIs(Cfm::protocolLoopback), pktHelper_, brConfig_);
  linktraceSmIs(protocolPktCollection_->protocolPktIs(Cfm::protocolLinktrace),
                status_->mipCcmDbIs(), pktHelper_, brConfig_, brStatus_, ethDevPamCollection_);
  // Last: no frame is read before everything that handles frames exists.
  pamSmIs(ethDevPamCollection_, protocolPktCollection_, pktHelper_, config_, brConfig_);
}

Kiln::Ptr<Interface::DeviceIntfStatusDir> Agent::deviceIntfStatusDirIs(const std::string& name) {
  return namedChildIs(deviceIntfStatusDir_, name, this);
}

Kiln::Ptr<Interface::PamDesiredIntfDir> Agent::pamDesiredIntfDirIs(const std::string& name) {
  return namedChildIs(pamDesiredIntfDir_, name, this);
}

Kiln::Ptr<Interface::EthDevPamCollection> Agent::ethDevPamCollectionIs(const std::string& name) {
  return namedChildIs(ethDevPamCollection_, name, this);
}

Kiln::Ptr<Interface::NetNsIntfStatusManagerRoot> Agent::intfStatusManagerRootIs(
    Kiln::EventLoop* activity, Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
    Kiln::PtrConst<Interface::AllIntfStatusLocalDir> allIntfStatusLocalDir, bool filterByNetNs) {
  return Kiln::instantiate(
      intfStatusManagerRoot_,
      [&](const Interface::NetNsIntfStatusManagerRoot& root) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_allIntfStatusDir", allIntfStatusDir, root.allIntfStatusDir())(
            "_allIntfStatusLocalDir", allIntfStatusLocalDir, root.allIntfStatusLocalDir())(
            "_filterByNetNs", filterByNetNs, root.filterByNetNs()));
      },
      [&] {
        return new Interface::NetNsIntfStatusManagerRoot(activity, allIntfStatusDir,
                                                         allIntfStatusLocalDir, filterByNetNs);
      });
}

Kiln::Ptr<Interface::EthDevPamManager> Agent::ethDevPamManagerIs(
    Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir,
    Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollection,
    Kiln::PtrConst<Interface::DeviceIntfStatusDir> deviceIntfStatusDir) {
  return Kiln::instantiate(
      ethDevPamManager_,
      [&](const Interface::EthDevPamManager& manager) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_pamDesiredIntfDir", pamDesiredIntfDir, manager.pamDesiredIntfDir())(
            "_ethDevPamCollection", ethDevPamCollection, manager.ethDevPamCollection())(
            "_deviceIntfStatusDir", deviceIntfStatusDir, manager.deviceIntfStatusDir()));
      },
      [&] {
        return new Interface::EthDevPamManager(pamDesiredIntfDir, ethDevPamCollection,
                                               deviceIntfStatusDir);
      });
}

Kiln::Ptr<ProtocolPktCollection> Agent::protocolPktCollectionIs() {
  return Kiln::instantiate(
      protocolPktCollection_, [](const ProtocolPktCollection&) { return true; },
      [] { return new ProtocolPktCollection(); });
}

Kiln::Ptr<PktHelper> Agent::pktHelperIs(Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollection,
                                        Kiln::Ptr<CounterHelper> counterHelper) {
  return Kiln::instantiate(
      pktHelper_,
      [&](const PktHelper& helper) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_pamCollection", ethDevPamCollection, helper.pamCollection())(
            "_counterHelper", counterHelper, helper.counterHelper()));
      },
      [&] { return new PktHelper(ethDevPamCollection, counterHelper); });
}

Kiln::Ptr<CounterHelper> Agent::counterHelperIs(Kiln::Ptr<Counter> counter) {
  return Kiln::instantiate(
      counterHelper_, [&](const CounterHelper& helper) { return helper.counter() == counter; },
      [&] { return counterHelperFactory(counter); });
}

Kiln::Ptr<CfmSm> Agent::cfmSmIs(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
                                Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status) {
  return Kiln::instantiate(
      cfmSm_,
      [&](const CfmSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_config", config, sm.config())(
            "_aleConfig", aleConfig, sm.aleConfig())("_aleStatus", aleStatus, sm.aleStatus())(
            "_status", status, sm.status()));
      },
      [&] { return cfmSmFactory(config, aleConfig, aleStatus, status); });
}

Kiln::Ptr<ContinuityCheckSm> Agent::continuityCheckSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                                      Kiln::PtrConst<Config> config,
                                                      Kiln::Ptr<MipCcmDb> mipCcmDb,
                                                      Kiln::Ptr<CcmDb> ccmDb,
                                                      Kiln::Ptr<PktHelper> pktHelper) {
  return Kiln::instantiate(
      continuityCheckSm_,
      [&](const ContinuityCheckSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_protocolPkt", protocolPkt, sm.protocolPkt())(
            "_config", config, sm.config())("_mipCcmDb", mipCcmDb, sm.mipCcmDb())("_ccmDb", ccmDb, sm.ccmDb())(
            "_pktHelper", pktHelper, sm.pktHelper()));
      },
      [&] { return continuityCheckSmFactory(protocolPkt, config, mipCcmDb, ccmDb, pktHelper); });
}

Kiln::Ptr<LoopbackSm> Agent::loopbackSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                          Kiln::Ptr<PktHelper> pktHelper,
                                          Kiln::PtrConst<Bridging::Config> brConfig) {
  return Kiln::instantiate(
      loopbackSm_,
      [&](const LoopbackSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_protocolPkt", protocolPkt, sm.protocolPkt())(
            "_pktHelper", pktHelper, sm.pktHelper())("_brConfig", brConfig, sm.brConfig()));
      },
      [&] { return loopbackSmFactory(protocolPkt, pktHelper, brConfig); });
}

Kiln::Ptr<LinktraceSm> Agent::linktraceSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                            Kiln::PtrConst<MipCcmDb> mipCcmDb, Kiln::Ptr<PktHelper> pktHelper,
                                            Kiln::PtrConst<Bridging::Config> brConfig,
                                            Kiln::PtrConst<Bridging::Status> brStatus,
                                            Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection) {
  return Kiln::instantiate(
      linktraceSm_,
      [&](const LinktraceSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_protocolPkt", protocolPkt, sm.protocolPkt())(
            "_mipCcmDb", mipCcmDb, sm.mipCcmDb())("_pktHelper", pktHelper, sm.pktHelper())(
            "_brConfig", brConfig, sm.brConfig())("_brStatus", brStatus, sm.brStatus())(
            "_pamCollection", pamCollection, sm.pamCollection()));
      },
      [&] { return linktraceSmFactory(protocolPkt, mipCcmDb, pktHelper, brConfig, brStatus, pamCollection); });
}

Kiln::Ptr<IntfSm> Agent::intfSmIs(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
                                  Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir) {
  return Kiln::instantiate(
      intfSm_,
      [&](const IntfSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_allIntfStatusDir", allIntfStatusDir, sm.allIntfStatusDir())(
            "_pamDesiredIntfDir", pamDesiredIntfDir, sm.pamDesiredIntfDir()));
      },
      [&] { return intfSmFactory(allIntfStatusDir, pamDesiredIntfDir); });
}

Kiln::Ptr<PamSm> Agent::pamSmIs(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                                Kiln::Ptr<ProtocolPktCollection> protocolPktCollection,
                                Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Config> config,
                                Kiln::PtrConst<Bridging::Config> brConfig) {
  return Kiln::instantiate(
      pamSm_,
      [&](const PamSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_pamCollection", pamCollection, sm.pamCollection())(
            "_protocolPktCollection", protocolPktCollection, sm.protocolPktCollection())(
            "_pktHelper", pktHelper, sm.pktHelper())("_config", config, sm.config())(
            "_brConfig", brConfig, sm.brConfig()));
      },
      [&] {
        return pamSmFactory(pamCollection, protocolPktCollection, pktHelper, config, brConfig);
      });
}

Kiln::Ptr<CmdRequestHandler> Agent::cmdRequestHandlerIs(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                                        Kiln::Ptr<CounterHelper> counterHelper) {
  return Kiln::instantiate(
      cmdRequestHandler_,
      [&](const CmdRequestHandler& handler) {
        return handler.mipCcmDb() == mipCcmDb && handler.ccmDb() == ccmDb && handler.counterHelper() == counterHelper;
      },
      [&] { return cmdRequestHandlerFactory(mipCcmDb, ccmDb, counterHelper); });
}

Kiln::Ptr<CliCallback> Agent::cliCallbackIs(const std::string& name, const std::string& commandType,
                                            Kiln::Ptr<CmdRequestHandler> cmdRequestHandler) {
  return Kiln::instantiate(
      cliCallback_,
      [&](const CliCallback& callback) {
        return callback.name() == name && callback.commandType() == commandType &&
               callback.cmdRequestHandler() == cmdRequestHandler;
      },
      [&] {
        auto callback = cliCallbackFactory(name, commandType, cmdRequestHandler);
        callback->parentIs(this);
        return callback;
      });
}

Kiln::Ptr<::Agent::AgentCommandRequestDirSm> Agent::cliRequestDirSmIs(Kiln::EventLoop* activity) {
  return Kiln::instantiate(
      cliRequestDirSm_,
      [&](const ::Agent::AgentCommandRequestDirSm& sm) { return sm.requestDir() == cliRequestDir_; },
      [&] { return new ::Agent::AgentCommandRequestDirSm(activity, cliRequestDir_); });
}

}  // namespace CfmAgent
