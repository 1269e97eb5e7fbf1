#pragma once
// The software receiver of Continuity Check Messages. Each CCM handed over by the receive
// path is checked and its sender learnt twice: in the MIP CCM database (which interface a
// source MAC address was heard on, per VLAN; the linktrace relay's fallback when the
// filtering database does not know a target) and in the CCM database (where and when each
// MEP was last heard). It sends nothing; nothing ages the entries: only the operator's
// clear commands empty the databases. Each database holds at most the entries the
// configuration's limit allows; a CCM that would add one more is counted and not learnt
// there, while known senders are still refreshed.

#include "CfmAgent/PktHelper.h"
#include "CfmAgent/PktRecord.h"
#include "CfmAgent/ProtocolPktSm.h"
#include "platform/types/CcmDb.h"
#include "platform/types/CfmConfig.h"

namespace CfmAgent {

class ContinuityCheckSm : public ProtocolPktSm {
 public:
  ContinuityCheckSm(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::PtrConst<Config> config,
                    Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                    Kiln::Ptr<PktHelper> pktHelper);
  ~ContinuityCheckSm() override;

  // Read for every CCM: a changed limit holds from the next one. Without a configuration
  // the default limits hold.
  const Kiln::PtrConst<Config>& config() const { return config_; }
  const Kiln::Ptr<MipCcmDb>& mipCcmDb() const { return mipCcmDb_; }
  const Kiln::Ptr<CcmDb>& ccmDb() const { return ccmDb_; }
  const Kiln::Ptr<PktHelper>& pktHelper() const { return pktHelper_; }

 private:
  // Checks a CCM and learns its sender.
  void handlePkt(PktMetaData& record) override;
  void learnMipCcm(PktMetaData& record, const Lumen::EthAddr& srcMac);
  void learnCcm(PktMetaData& record, Cfm::MdLevel level, const Cfm::MaName& maName,
                Cfm::MepId mepId, const Lumen::EthAddr& srcMac);

  Kiln::PtrConst<Config> config_;
  Kiln::Ptr<MipCcmDb> mipCcmDb_;
  Kiln::Ptr<CcmDb> ccmDb_;
  Kiln::Ptr<PktHelper> pktHelper_;
};

Kiln::Ptr<ContinuityCheckSm> continuityCheckSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                                      Kiln::PtrConst<Config> config,
                                                      Kiln::Ptr<MipCcmDb> mipCcmDb,
                                                      Kiln::Ptr<CcmDb> ccmDb,
                                                      Kiln::Ptr<PktHelper> pktHelper);

}  // namespace CfmAgent
