#pragma once
// The CFM agent: the root object that the runner builds from libCfmAgent.so. It declares
// its mounts in doInit and, once they are complete, builds every other object in a fixed
// order in doMountsComplete; after that all work happens in the reactors of those objects.

#include <map>
#include <string>

#include "CfmAgent/CfmSm.h"
#include "CfmAgent/CommandRequestHandler.h"
#include "CfmAgent/ContinuityCheckSm.h"
#include "CfmAgent/CounterHelper.h"
#include "CfmAgent/IntfSm.h"
#include "CfmAgent/LinktraceSm.h"
#include "CfmAgent/LoopbackSm.h"
#include "CfmAgent/PamSm.h"
#include "CfmAgent/PktHelper.h"
#include "CfmAgent/PktRecord.h"
#include "platform/agent/CAgent.h"
#include "platform/agent/CommandRequest.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/IntfStatusManager.h"
#include "platform/kiln/Dir.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmStatus.h"

namespace CfmAgent {

class Agent : public AgentBase::CAgent {
 public:
  explicit Agent(std::string name) : AgentBase::CAgent(std::move(name)) {}
  ~Agent() override;

  std::string fwkType() const override { return "CfmAgent::Agent"; }
  // "explain-linktrace" and "counter-sums" (CfmAgent/Query.h).
  std::string query(const std::string& topic, const std::map<std::string, std::string>& fields) const override;
  void doInit() override;
  void doMountsComplete(Orbis::MountStatus mountStatus,
                        Kiln::Ptr<Orbis::EntityManager> entityManager) override;

  // References to entities of the state database.
  const Kiln::PtrConst<Interface::AllIntfStatusDir>& allIntfStatusDir() const { return allIntfStatusDir_; }
  const Kiln::PtrConst<Interface::AllIntfStatusLocalDir>& allIntfStatusLocalDir() const {
    return allIntfStatusLocalDir_;
  }
  const Kiln::PtrConst<KernelNetInfo::Status>& kniStatus() const { return kniStatus_; }
  const Kiln::PtrConst<Bridging::Config>& brConfig() const { return brConfig_; }
  const Kiln::PtrConst<Bridging::Status>& brStatus() const { return brStatus_; }
  const Kiln::PtrConst<Config>& config() const { return config_; }
  const Kiln::Ptr<Cfm::AleConfig>& aleConfig() const { return aleConfig_; }
  const Kiln::PtrConst<Cfm::AleStatus>& aleStatus() const { return aleStatus_; }
  const Kiln::Ptr<Status>& status() const { return status_; }
  const Kiln::Ptr<Kiln::Dir>& cliRequestDir() const { return cliRequestDir_; }

  void allIntfStatusDirIs(Kiln::PtrConst<Interface::AllIntfStatusDir> p) { allIntfStatusDir_ = std::move(p); }
  void allIntfStatusLocalDirIs(Kiln::PtrConst<Interface::AllIntfStatusLocalDir> p) {
    allIntfStatusLocalDir_ = std::move(p);
  }
  void kniStatusIs(Kiln::PtrConst<KernelNetInfo::Status> p) { kniStatus_ = std::move(p); }
  void brConfigIs(Kiln::PtrConst<Bridging::Config> p) { brConfig_ = std::move(p); }
  void brStatusIs(Kiln::PtrConst<Bridging::Status> p) { brStatus_ = std::move(p); }
  void configIs(Kiln::PtrConst<Config> p) { config_ = std::move(p); }
  void aleConfigIs(Kiln::Ptr<Cfm::AleConfig> p) { aleConfig_ = std::move(p); }
  void aleStatusIs(Kiln::PtrConst<Cfm::AleStatus> p) { aleStatus_ = std::move(p); }
  void statusIs(Kiln::Ptr<Status> p) { status_ = std::move(p); }
  void cliRequestDirIs(Kiln::Ptr<Kiln::Dir> p) { cliRequestDir_ = std::move(p); }

  // Owned objects, made by instantiating setters that keep an object built from equal
  // arguments.
  const Kiln::Ptr<Interface::DeviceIntfStatusDir>& deviceIntfStatusDir() const { return deviceIntfStatusDir_; }
  const Kiln::Ptr<Interface::PamDesiredIntfDir>& pamDesiredIntfDir() const { return pamDesiredIntfDir_; }
  const Kiln::Ptr<Interface::EthDevPamCollection>& ethDevPamCollection() const { return ethDevPamCollection_; }
  const Kiln::Ptr<Interface::NetNsIntfStatusManagerRoot>& intfStatusManagerRoot() const {
    return intfStatusManagerRoot_;
  }
  const Kiln::Ptr<Interface::EthDevPamManager>& ethDevPamManager() const { return ethDevPamManager_; }
  const Kiln::Ptr<ProtocolPktCollection>& protocolPktCollection() const { return protocolPktCollection_; }
  const Kiln::Ptr<PktHelper>& pktHelper() const { return pktHelper_; }
  const Kiln::Ptr<CounterHelper>& counterHelper() const { return counterHelper_; }
  const Kiln::Ptr<CmdRequestHandler>& cmdRequestHandler() const { return cmdRequestHandler_; }
  const Kiln::Ptr<IntfSm>& intfSm() const { return intfSm_; }
  const Kiln::Ptr<PamSm>& pamSm() const { return pamSm_; }
  const Kiln::Ptr<CfmSm>& cfmSm() const { return cfmSm_; }
  const Kiln::Ptr<ContinuityCheckSm>& continuityCheckSm() const { return continuityCheckSm_; }
  const Kiln::Ptr<LoopbackSm>& loopbackSm() const { return loopbackSm_; }
  const Kiln::Ptr<LinktraceSm>& linktraceSm() const { return linktraceSm_; }
  const Kiln::Ptr<::Agent::AgentCommandRequestDirSm>& cliRequestDirSm() const { return cliRequestDirSm_; }
  const Kiln::Ptr<CliCallback>& cliCallback() const { return cliCallback_; }

  Kiln::Ptr<Interface::DeviceIntfStatusDir> deviceIntfStatusDirIs(const std::string& name);
  Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDirIs(const std::string& name);
  Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollectionIs(const std::string& name);
  Kiln::Ptr<Interface::NetNsIntfStatusManagerRoot> intfStatusManagerRootIs(
      Kiln::EventLoop* activity, Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
      Kiln::PtrConst<Interface::AllIntfStatusLocalDir> allIntfStatusLocalDir, bool filterByNetNs);
  Kiln::Ptr<Interface::EthDevPamManager> ethDevPamManagerIs(
      Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir,
      Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollection,
      Kiln::PtrConst<Interface::DeviceIntfStatusDir> deviceIntfStatusDir);
  Kiln::Ptr<ProtocolPktCollection> protocolPktCollectionIs();
  Kiln::Ptr<PktHelper> pktHelperIs(Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollection,
                                   Kiln::Ptr<CounterHelper> counterHelper);
  Kiln::Ptr<CounterHelper> counterHelperIs(Kiln::Ptr<Counter> counter);
  Kiln::Ptr<CmdRequestHandler> cmdRequestHandlerIs(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                                   Kiln::Ptr<CounterHelper> counterHelper);
  Kiln::Ptr<IntfSm> intfSmIs(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
                             Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir);
  Kiln::Ptr<PamSm> pamSmIs(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                           Kiln::Ptr<ProtocolPktCollection> protocolPktCollection,
                           Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Config> config,
                           Kiln::PtrConst<Bridging::Config> brConfig);
  Kiln::Ptr<CfmSm> cfmSmIs(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
                           Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status);
  Kiln::Ptr<ContinuityCheckSm> continuityCheckSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                                   Kiln::PtrConst<Config> config,
                                                   Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                                   Kiln::Ptr<PktHelper> pktHelper);
  Kiln::Ptr<LoopbackSm> loopbackSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::Ptr<PktHelper> pktHelper,
                                     Kiln::PtrConst<Bridging::Config> brConfig);
  Kiln::Ptr<LinktraceSm> linktraceSmIs(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::PtrConst<MipCcmDb> mipCcmDb,
                                       Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Bridging::Config> brConfig,
                                       Kiln::PtrConst<Bridging::Status> brStatus,
                                       Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection);
  Kiln::Ptr<::Agent::AgentCommandRequestDirSm> cliRequestDirSmIs(Kiln::EventLoop* activity);
  Kiln::Ptr<CliCallback> cliCallbackIs(const std::string& name, const std::string& commandType,
                                       Kiln::Ptr<CmdRequestHandler> cmdRequestHandler);

  void deviceIntfStatusDirDel() { deviceIntfStatusDir_ = nullptr; }
  void pamDesiredIntfDirDel() { pamDesiredIntfDir_ = nullptr; }
  void ethDevPamCollectionDel() { ethDevPamCollection_ = nullptr; }
  void intfStatusManagerRootDel() { intfStatusManagerRoot_ = nullptr; }
  void ethDevPamManagerDel() { ethDevPamManager_ = nullptr; }
  void protocolPktCollectionDel() { protocolPktCollection_ = nullptr; }
  void pktHelperDel() { pktHelper_ = nullptr; }
  void counterHelperDel() { counterHelper_ = nullptr; }
  void cmdRequestHandlerDel() { cmdRequestHandler_ = nullptr; }
  void intfSmDel() { Kiln::drop(intfSm_); }
  void pamSmDel() { Kiln::drop(pamSm_); }
  void cfmSmDel() { Kiln::drop(cfmSm_); }
  void continuityCheckSmDel() { Kiln::drop(continuityCheckSm_); }
  void loopbackSmDel() { Kiln::drop(loopbackSm_); }
  void linktraceSmDel() { Kiln::drop(linktraceSm_); }
  void cliRequestDirSmDel() { Kiln::drop(cliRequestDirSm_); }
  void cliCallbackDel() { cliCallback_ = nullptr; }

 private:
  // Declaration order is deletion order.
  Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir_;
  Kiln::PtrConst<Interface::AllIntfStatusLocalDir> allIntfStatusLocalDir_;
  Kiln::PtrConst<KernelNetInfo::Status> kniStatus_;
  Kiln::PtrConst<Bridging::Config> brConfig_;
  Kiln::PtrConst<Bridging::Status> brStatus_;
  Kiln::PtrConst<Config> config_;
  Kiln::Ptr<Cfm::AleConfig> aleConfig_;
  Kiln::PtrConst<Cfm::AleStatus> aleStatus_;
  Kiln::Ptr<Status> status_;
  Kiln::Ptr<Interface::DeviceIntfStatusDir> deviceIntfStatusDir_;
  Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir_;
  Kiln::Ptr<Interface::EthDevPamCollection> ethDevPamCollection_;
  Kiln::Ptr<Interface::NetNsIntfStatusManagerRoot> intfStatusManagerRoot_;
  Kiln::Ptr<Interface::EthDevPamManager> ethDevPamManager_;
  Kiln::Ptr<ProtocolPktCollection> protocolPktCollection_;
  Kiln::Ptr<PktHelper> pktHelper_;
  Kiln::Ptr<CounterHelper> counterHelper_;
  Kiln::Ptr<CmdRequestHandler> cmdRequestHandler_;
  Kiln::Ptr<IntfSm> intfSm_;
  Kiln::Ptr<PamSm> pamSm_;
  Kiln::Ptr<CfmSm> cfmSm_;
  Kiln::Ptr<ContinuityCheckSm> continuityCheckSm_;
  Kiln::Ptr<LoopbackSm> loopbackSm_;
  Kiln::Ptr<LinktraceSm> linktraceSm_;
  Kiln::Ptr<Kiln::Dir> cliRequestDir_;
  Kiln::Ptr<::Agent::AgentCommandRequestDirSm> cliRequestDirSm_;
  Kiln::Ptr<CliCallback> cliCallback_;
};

// A new agent named `name`, every attribute empty.
Kiln::Ptr<Agent> agentFactory(const std::string& name);

}  // namespace CfmAgent
