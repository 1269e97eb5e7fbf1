#include "CfmAgent/PamSm.h"

#include <iomanip>
#include <ostream>
#include <span>
#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"
#include "platform/types/CfmTypes.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmPam");
  return handle;
}

// Frame bytes as hex pairs, for the level-9 dump.
struct HexBytes {
  std::span<const std::uint8_t> bytes;
};
std::ostream& operator<<(std::ostream& os, HexBytes hex) {
  const auto flags = os.flags();
  os << std::hex << std::setfill('0');
  for (std::size_t i = 0; i < hex.bytes.size(); ++i) {
    os << (i ? " " : "") << std::setw(2) << unsigned(hex.bytes[i]);
  }
  os.flags(flags);
  return os;
}

// The least first-TLV offset of each opcode: its fixed part.
std::uint8_t firstTlvOffsetMin(std::uint8_t opCode) {
  switch (opCode) {
    case Cfm::opCodeCcm: return FirstTlvOffset::firstTlvOffsetCcm;
    case Cfm::opCodeLbr: return FirstTlvOffset::firstTlvOffsetLbr;
    case Cfm::opCodeLbm: return FirstTlvOffset::firstTlvOffsetLbm;
    case Cfm::opCodeLtr: return FirstTlvOffset::firstTlvOffsetLtr;
    default: return FirstTlvOffset::firstTlvOffsetLtm;
  }
}

constexpr std::uint16_t dot1QTpid = Lumen::ethTypeDot1Q;

}  // namespace

// ---- PamIntfSm

class PamIntfSm::PamReactor : public Interface::Pam::NotifieeConst {
 public:
  PamReactor(Kiln::PtrConst<Interface::Pam> pam, PamIntfSm& sm)
      : Interface::Pam::NotifieeConst(std::move(pam)), sm_(sm) {}
  void onReadableCount() override { sm_.handlePamReadable(); }

 private:
  PamIntfSm& sm_;
};

PamIntfSm::PamIntfSm(Lumen::IntfId intfId, Kiln::Ptr<Interface::EthDevPam> pam, PamSm* pamSm)
    : Kiln::StateMachine(intfId.stringValue()),
      intfId_(intfId),
      pam_(std::move(pam)),
      pamSm_(pamSm),
      pamReactor_(pam_ ? std::make_unique<PamReactor>(pam_, *this) : nullptr) {
  handleInitialized();
}

PamIntfSm::~PamIntfSm() = default;

Kiln::Ptr<PamIntfSm> pamIntfSmFactory(Lumen::IntfId intfId, Kiln::Ptr<Interface::EthDevPam> pam,
                                      PamSm* pamSm) {
  return Kiln::make<PamIntfSm>(intfId, std::move(pam), pamSm);
}

const Kiln::Ptr<PktHelper>& PamIntfSm::pktHelper() const { return pamSm_->pktHelper(); }

void PamIntfSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "PamIntfSm( " << intfId_ << " )::handleInitialized");
  KILN_ASSERT(!initialized());
  initializedIs(true);
}

void PamIntfSm::doPrepareToDie() { pamReactor_.reset(); }

void PamIntfSm::hasNotificationActiveIs(bool active) {
  if (pamReactor_) pamReactor_->hasNotificationActiveIs(active);
}

void PamIntfSm::handlePamReadable() {
  KILN_TRACE(trace(), 8, "PamIntfSm( " << intfId_ << " )::handlePamReadable");
  if (!pam_) {
    KILN_TRACE(trace(), 1, "handlePamReadable" << " no pam found");
    return;
  }
  // The machine may be deleted by what the frame sets off; it stays alive to the end.
  Kiln::Ptr<PamIntfSm> self(this);
  if (auto pkt = pam_->rxPkt()) processPkt(pkt);
}

void PamIntfSm::processPkt(const Kiln::Ptr<Lumen::Pkt>& pkt) {
  KILN_TRACE(trace(), 8, "PamIntfSm( " << intfId_ << " )::processPkt");
  pkt->beginOffsetIs(0);
  const Kiln::Ptr<PktMetaData> record = pktHelper()->newPktMetaData(pkt, intfId_, true);
  const std::uint32_t pktId = record->pktId();
  KILN_TRACE(trace(), 6, "Received packet(" << pktId << "): " << pkt->frontBytes() << " at "
                                            << static_cast<const void*>(pkt.get()));
  KILN_TRACE(trace(), 9, "Packet bytes(" << pktId << "): " << HexBytes{pkt->bytes()});

  auto drop = [&](const char* expr, const auto& value, CounterId id) {
    CFM_DROP_TRACE(trace(), 5, pktId, expr, value);
    record->incrPktCounter(id);
  };

  if (!pamSm_->defaultMipConfigured()) {
    record->incrPktCounter(CounterId::inErrorMipNotConfigured_);
    return;
  }

  if (pkt->offsetBytes() < sizeof(Lumen::EthHdr)) {
    return drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorEthHdrTooShort_);
  }
  auto* ethHdr = reinterpret_cast<Lumen::EthHdr*>(pkt->offsetFront());
  pkt->beginOffsetInc(std::int16_t(sizeof(Lumen::EthHdr)));
  record->ethHdrIs(ethHdr);
  if (!ethHdr->src().isUnicast()) {
    return drop("srcMac", ethHdr->src(), CounterId::inErrorSrcMacNotUnicast_);
  }

  // An interface without switchport settings is no bridge port: treated as a routed one.
  const auto& brConfig = pamSm_->brConfig();
  const auto port = brConfig ? brConfig->switchIntfConfig(intfId_) : nullptr;
  if (!port || port->mode() == Bridging::switchIntfModeRouted) {
    return drop("intfId()", intfId_, CounterId::inErrorIntfModeExcluded_);
  }

  std::uint16_t typeOrLen = ethHdr->typeOrLen();
  std::uint16_t outerVid = 0;
  std::uint16_t innerVid = 0;
  // Takes the tag at the begin offset into `vid`; false when the frame is too short for it.
  auto takeTag = [&](std::uint16_t& vid, const char* traceText) {
    if (pkt->offsetBytes() < sizeof(Lumen::Eth8021QHdr)) return false;
    auto* tag = reinterpret_cast<Lumen::Eth8021QHdr*>(pkt->offsetFront());
    pkt->beginOffsetInc(std::int16_t(sizeof(Lumen::Eth8021QHdr)));
    vid = tag->tagControl().vlanId();
    KILN_TRACE(trace(), 9, traceText << vid);
    record->eth8021QHdrEnq(tag);
    typeOrLen = tag->typeOrLen();
    return true;
  };
  const std::uint16_t tpid = port->tpid() ? port->tpid() : dot1QTpid;
  // Only 0x8100 announces an inner tag, whatever the port's outer TPID.
  if (typeOrLen == tpid && (!takeTag(outerVid, "outerVid = ") ||
                            (typeOrLen == dot1QTpid && !takeTag(innerVid, "innerVid = ")))) {
    return drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorVlanTagTooShort_);
  }

  std::uint16_t brVlan = port->portVlan().value();
  if (outerVid != 0 && port->mode() == Bridging::switchIntfModeTrunk) {
    const auto mapped = port->ingressVlanXlate({outerVid, innerVid});
    if (!mapped.isNone()) {
      brVlan = mapped.vlan;
      KILN_TRACE(trace(), 9, "mapped brVlan = " << brVlan);
    } else if (innerVid == 0) {
      brVlan = outerVid;
      KILN_TRACE(trace(), 9, "single tagged brVlan = " << brVlan);
    } else if (const auto single = port->ingressVlanXlate({outerVid, 0}); !single.isNone()) {
      brVlan = single.vlan;
      KILN_TRACE(trace(), 9, "single mapped brVlan = " << brVlan);
    } else {
      brVlan = outerVid;
      KILN_TRACE(trace(), 9, "double tagged brVlan = " << brVlan);
    }
  }
  KILN_TRACE(trace(), 7, "Bridging vlan = " << brVlan);
  // 4095 is reserved: a frame that resolves to it belongs to no VLAN either.
  if (brVlan == 0 || brVlan > Lumen::VlanId::max) {
    return drop("brVlan", brVlan, CounterId::inErrorNoBridgingVlan_);
  }
  record->vlanIs(Lumen::VlanId(brVlan));

  if (typeOrLen != cfmEtherType) {
    return drop("typeOrLen", typeOrLen, CounterId::inErrorNotCfmEtherType_);
  }
  if (pkt->offsetBytes() < sizeof(CFMCommonHeader)) {
    return drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorCfmHdrTooShort_);
  }
  auto* cfmHdr = reinterpret_cast<CFMCommonHeader*>(pkt->offsetFront());
  record->cfmHdrIs(cfmHdr);
  const std::uint8_t opCode = cfmHdr->opCode();
  if (opCode < CFMCommonHeader::opCodeMin || opCode > CFMCommonHeader::opCodeMax) {
    return drop("opCode", opCode, CounterId::inErrorUnsupportedOpCode_);
  }
  record->opCodeIs(Cfm::OpCode(opCode));
  record->incrPktCounter(CounterId::in_);

  const Cfm::CfmMulticastEthAddr group(ethHdr->dst());
  if (group.opCode() != Cfm::opCodeNone) {
    if (group.opCode() != opCode) {
      KILN_TRACE(trace(), 5, "Multicast address corresponds to " << group.opCode()
                                 << " but opCode field is " << Cfm::OpCode(opCode));
      return record->incrPktCounter(CounterId::inErrorDstMacOpCodeMismatch_);
    }
    if (group.mdLevel().value() != cfmHdr->mdLevel()) {
      KILN_TRACE(trace(), 5, "Multicast address corresponds to mdLevel " << group.mdLevel()
                                 << "but CfmHdr mdLevel is " << cfmHdr->mdLevel());
      return record->incrPktCounter(CounterId::inErrorDstMacMdLevelMismatch_);
    }
  }

  const auto& config = pamSm_->config();
  const auto mdConfig = config ? config->mdConfig(Cfm::MdLevel(cfmHdr->mdLevel())) : nullptr;
  if (!mdConfig || !mdConfig->defaultMip()) {
    return drop("cfmHdr->mdLevel()", cfmHdr->mdLevel(), CounterId::inErrorNoMpAtMdLevel_);
  }
  if (cfmHdr->firstTlvOffset() > pkt->offsetBytes()) {
    return drop("cfmHdr->firstTlvOffset()", cfmHdr->firstTlvOffset(),
                CounterId::inErrorFirstTlvOffsetTooLarge_);
  }
  if (cfmHdr->firstTlvOffset() < firstTlvOffsetMin(opCode)) {
    return drop("cfmHdr->firstTlvOffset()", cfmHdr->firstTlvOffset(),
                CounterId::inErrorFirstTlvOffsetTooSmall_);
  }

  const Cfm::Protocol protocol = Cfm::protocolOf(Cfm::OpCode(opCode));
  const auto slot = pamSm_->protocolPktCollection()->protocolPktIs(protocol);
  if (!slot) return drop("protocol", protocol, CounterId::inErrorNoProtocolHandler_);
  slot->pktMetaDataIs(record);
  slot->readableCountInc(1);
  slot->pktMetaDataIs(nullptr);
}

// ---- PamSm

class PamSm::CollectionReactor : public Interface::EthDevPamCollection::NotifieeConst {
 public:
  CollectionReactor(Kiln::PtrConst<Interface::EthDevPamCollection> collection, PamSm& sm)
      : Interface::EthDevPamCollection::NotifieeConst(std::move(collection)), sm_(sm) {}
  void onIntfPam(Lumen::IntfId intf) override { sm_.handlePam(intf); }

 private:
  PamSm& sm_;
};

PamSm::PamSm(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
             Kiln::Ptr<ProtocolPktCollection> protocolPktCollection, Kiln::Ptr<PktHelper> pktHelper,
             Kiln::PtrConst<Config> config, Kiln::PtrConst<Bridging::Config> brConfig)
    : Kiln::StateMachine("pamSm"),
      pamCollection_(Kiln::validPtr(std::move(pamCollection))),
      protocolPktCollection_(Kiln::validPtr(std::move(protocolPktCollection))),
      pktHelper_(Kiln::validPtr(std::move(pktHelper))),
      config_(std::move(config)),
      brConfig_(std::move(brConfig)),
      collectionReactor_(std::make_unique<CollectionReactor>(pamCollection_, *this)) {
  handleInitialized();
}

PamSm::~PamSm() = default;

Kiln::Ptr<PamSm> pamSmFactory(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                              Kiln::Ptr<ProtocolPktCollection> protocolPktCollection,
                              Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Config> config,
                              Kiln::PtrConst<Bridging::Config> brConfig) {
  return Kiln::make<PamSm>(std::move(pamCollection), std::move(protocolPktCollection),
                           std::move(pktHelper), std::move(config), std::move(brConfig));
}

void PamSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "PamSm::handleInitialized");
  KILN_ASSERT(!initialized());
  std::vector<Lumen::IntfId> intfs;
  for (const auto& [intf, pam] : pamCollection_->intfPam()) intfs.push_back(intf);
  for (auto intf : intfs) handlePam(intf);
  initializedIs(true);
}

void PamSm::doPrepareToDie() {
  collectionReactor_.reset();
  pamIntfSm_.delAll();
}

void PamSm::hasNotificationActiveIs(bool active) {
  if (collectionReactor_) collectionReactor_->hasNotificationActiveIs(active);
  for (const auto& [intf, sm] : pamIntfSm_) sm->hasNotificationActiveIs(active);
}

bool PamSm::defaultMipConfigured() const {
  if (!config_) return false;
  for (const auto& [level, mdConfig] : config_->mdConfig()) {
    if (mdConfig->defaultMip()) return true;
  }
  return false;
}

void PamSm::handlePam(Lumen::IntfId intf) {
  KILN_TRACE(trace(), 8, "PamSm::handlePam( " << intf << " )");
  const auto pam = pamCollection_->intfPam(intf);
  if (!pam) {
    pamIntfSmDel(intf);
    return;
  }
  auto ethPam = Kiln::ptrCast<Interface::EthDevPam>(pam);
  KILN_ASSERT(ethPam);
  pamIntfSmIs(intf, ethPam);
}

Kiln::Ptr<PamIntfSm> PamSm::pamIntfSmIs(Lumen::IntfId intf, Kiln::Ptr<Interface::EthDevPam> pam) {
  return pamIntfSm_.instantiate(
      intf,
      [&](const PamIntfSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_pam", pam, sm.pam()));
      },
      [&] { return pamIntfSmFactory(intf, pam, this); });
}

}  // namespace CfmAgent
