#include "CfmAgent/ContinuityCheckSm.h"

#include "CfmAgent/ContinuityCheckPdu.h"
#include "platform/kiln/Clock.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmContinuityCheck");
  return handle;
}

}  // namespace

ContinuityCheckSm::ContinuityCheckSm(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                     Kiln::PtrConst<Config> config, Kiln::Ptr<MipCcmDb> mipCcmDb,
                                     Kiln::Ptr<CcmDb> ccmDb, Kiln::Ptr<PktHelper> pktHelper)
    : ProtocolPktSm("continuityCheckSm", std::move(protocolPkt), Cfm::opCodeCcm, trace(), "ContinuityCheckSm"),
      config_(std::move(config)),
      mipCcmDb_(Kiln::validPtr(std::move(mipCcmDb))),
      ccmDb_(Kiln::validPtr(std::move(ccmDb))),
      pktHelper_(std::move(pktHelper)) {
  handleInitialized();
}

ContinuityCheckSm::~ContinuityCheckSm() = default;

Kiln::Ptr<ContinuityCheckSm> continuityCheckSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                                      Kiln::PtrConst<Config> config,
                                                      Kiln::Ptr<MipCcmDb> mipCcmDb,
                                                      Kiln::Ptr<CcmDb> ccmDb,
                                                      Kiln::Ptr<PktHelper> pktHelper) {
  return Kiln::make<ContinuityCheckSm>(std::move(protocolPkt), std::move(config),
                                       std::move(mipCcmDb), std::move(ccmDb),
                                       std::move(pktHelper));
}

void ContinuityCheckSm::handlePkt(PktMetaData& record) {
  const auto& pkt = record.pkt();

  // The begin offset is at the common header.
  const std::uint32_t remaining = pkt->offsetBytes();
  if (remaining > CCMPdu::maxPduSize) {
    return record.drop(trace(), CounterId::inErrorPduTooLong_, "pktMetaData->pkt()->offsetBytes()", remaining);
  }
  const CCMPdu* ccmPdu = Lumen::overlayAt<CCMPdu>(pkt->offsetSpan(), 0);
  if (!ccmPdu) {
    return record.drop(trace(), CounterId::inErrorPduTooShort_, "offsetBytes", remaining);
  }
  pkt->beginOffsetInc(std::int16_t(sizeof(CCMPdu)));

  if (ccmPdu->ccmIntervalField() == 0) {
    return record.drop(trace(), CounterId::inErrorCcmIntervalZero_, "ccmIntervalField", ccmPdu->ccmIntervalField());
  }
  const std::uint16_t mepId = ccmPdu->mepId();
  if (mepId < CCMPdu::mepIdMin || mepId > CCMPdu::mepIdMax) {
    return record.drop(trace(), CounterId::inErrorCcmMepIdInvalid_, "mepId", mepId);
  }

  // The names are checked before learning, except where the MD name format is one we do
  // not parse: such a CCM is still learnt, its names checked last.
  // Which length byte, if any, does not fit: asked before any name is read, so that a
  // sender's bad length is an answer here, not an error.
  const Cfm::MaidParts maid = ccmPdu->maidParts();
  // Where the MD name length is what does not fit, the MA length byte has no place: the MD
  // length is the value shown.
  const auto maNameLenDrop = [&] {
    record.drop(trace(), CounterId::inErrorCcmMaNameLen_, "ccmPdu->maNameLen()",
                maid.fault == Cfm::MaidFault::mdNameLen ? maid.mdNameLen : maid.maNameLen);
  };
  const Cfm::MdNameFormat mdNameFormat = ccmPdu->mdNameFormat();
  if (mdNameFormat == Cfm::mdNameFormatNone || mdNameFormat == Cfm::mdNameFormatCharacterString) {
    if (maid.fault == Cfm::MaidFault::mdNameLen) {
      return record.drop(trace(), CounterId::inErrorCcmMdNameLen_, "ccmPdu->mdNameLen()", maid.mdNameLen);
    }
    if (maid.fault == Cfm::MaidFault::maNameLen) return maNameLenDrop();
  } else {
    record.drop(trace(), CounterId::debugUnsupportedMdNameFormat_, "mdNameFormat", mdNameFormat, 7);
  }

  const Lumen::EthAddr srcMac = record.ethHdr()->src();
  learnMipCcm(record, srcMac);

  // With an unparsed MD name format a length byte that does not fit leaves no MA name to
  // learn under: the CCM database stays as it was, and the frame is counted like any
  // other CCM whose MA name does not fit.
  if (maid.fault != Cfm::MaidFault::none) return maNameLenDrop();
  learnCcm(record, Cfm::MdLevel(ccmPdu->mdLevel()), ccmPdu->maName(), Cfm::MepId(mepId), srcMac);
}

// The two databases are limited apart: a full one does not keep a sender out of the other.

void ContinuityCheckSm::learnMipCcm(PktMetaData& record, const Lumen::EthAddr& srcMac) {
  auto vlan = mipCcmDb_->vlan(record.vlan());
  const Lumen::IntfId known = vlan ? vlan->entry(srcMac) : Lumen::IntfId();
  if (known == record.intf()) return;
  const std::uint32_t limit = config_ ? config_->mipCcmDbEntryLimit() : Config::defaultMipCcmDbEntryLimit;
  if (!known && mipCcmDb_->entryCount() >= limit) {
    return record.drop(trace(), CounterId::debugMipCcmDbFull_, "mipCcmDb->entryCount()", mipCcmDb_->entryCount());
  }
  if (!vlan) vlan = mipCcmDb_->vlanIs(record.vlan());
  vlan->entryIs(srcMac, record.intf());
}

void ContinuityCheckSm::learnCcm(PktMetaData& record, Cfm::MdLevel level,
                                 const Cfm::MaName& maName, Cfm::MepId mepId,
                                 const Lumen::EthAddr& srcMac) {
  auto info = ccmDb_->ccmMepInfo(level, maName, mepId);
  if (!info) {
    // Refused before anything is made: an association without MEPs would be memory the
    // limit does not count.
    if (ccmDb_->entryCount() >= (config_ ? config_->ccmDbEntryLimit() : Config::defaultCcmDbEntryLimit)) {
      return record.drop(trace(), CounterId::debugCcmDbFull_, "ccmDb->entryCount()", ccmDb_->entryCount());
    }
    info = ccmDb_->ccmMdIs(level)->ccmMaIs(maName)->ccmMepInfoIs(mepId);
  }
  info->vlanIdIs(record.vlan());
  info->intfIs(record.intf());
  info->srcMacIs(srcMac);
  info->lastCcmReceivedTimeIs(Kiln::now());
}

}  // namespace CfmAgent
