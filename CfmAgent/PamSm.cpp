#include "CfmAgent/PamSm.h"

#include <iomanip>
#include <ostream>
#include <span>
#include <vector>

#include "platform/cfm/L2.h"
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

// One frame on its way through the stages of processPkt.
struct PamIntfSm::RxFrame {
  const Kiln::Ptr<Lumen::Pkt>& pkt;
  Kiln::Ptr<PktMetaData> record;
  Kiln::Ptr<Bridging::SwitchIntfConfig> port = nullptr;
  // The type-or-length after the last header taken.
  std::uint16_t typeOrLen = 0;

  // Every drop but the two group-address ones: one trace and one count, here. False, so
  // that a stage ends with `return frame.drop(...)`.
  template <class Value>
  bool drop(const char* expr, const Value& value, CounterId id) const {
    record->drop(trace(), id, expr, value);
    return false;
  }
};

void PamIntfSm::processPkt(const Kiln::Ptr<Lumen::Pkt>& pkt) {
  KILN_TRACE(trace(), 8, "PamIntfSm( " << intfId_ << " )::processPkt");
  pkt->beginOffsetIs(0);
  RxFrame frame{pkt, pktHelper()->newPktMetaData(pkt, intfId_, true)};
  const auto& record = frame.record;
  KILN_TRACE(trace(), 6, "Received packet(" << record->pktId() << "): " << pkt->frontBytes()
                                            << " at " << static_cast<const void*>(pkt.get()));
  KILN_TRACE(trace(), 9, "Packet bytes(" << record->pktId() << "): " << HexBytes{pkt->bytes()});

  // Not traced: with no default MIP anywhere, every frame on every interface ends here.
  if (!pamSm_->defaultMipConfigured()) {
    return record->incrPktCounter(CounterId::inErrorMipNotConfigured_);
  }
  if (!processEthHdr(frame) || !processVlanTags(frame) || !processCfmHdr(frame)) return;

  const Cfm::Protocol protocol = Cfm::protocolOf(record->opCode());
  const auto slot = pamSm_->protocolPktCollection()->protocolPktIs(protocol);
  if (!slot) {
    frame.drop("protocol", protocol, CounterId::inErrorNoProtocolHandler_);
    return;
  }
  slot->pktMetaDataIs(record);
  slot->readableCountInc(1);
  slot->pktMetaDataIs(nullptr);
}

bool PamIntfSm::processEthHdr(RxFrame& frame) {
  const auto& pkt = frame.pkt;
  auto* ethHdr = Lumen::overlayAt<Lumen::EthHdr>(pkt->offsetSpan(), 0);
  if (!ethHdr) {
    return frame.drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorEthHdrTooShort_);
  }
  pkt->beginOffsetInc(std::int16_t(sizeof(Lumen::EthHdr)));
  frame.record->ethHdrIs(ethHdr);
  if (!ethHdr->src().isUnicast()) {
    return frame.drop("srcMac", ethHdr->src(), CounterId::inErrorSrcMacNotUnicast_);
  }

  // An interface without switchport settings is no bridge port: treated as a routed one.
  const auto& brConfig = pamSm_->brConfig();
  frame.port = brConfig ? brConfig->switchIntfConfig(intfId_) : nullptr;
  if (!frame.port || frame.port->mode() == Bridging::switchIntfModeRouted) {
    return frame.drop("intfId()", intfId_, CounterId::inErrorIntfModeExcluded_);
  }
  return true;
}

bool PamIntfSm::processVlanTags(RxFrame& frame) {
  const auto& pkt = frame.pkt;
  const auto& port = *frame.port;
  // The begin offset is past the Ethernet header, which processEthHdr checked.
  const auto front = pkt->frontSpan();
  const Cfm::TagWalk tags =
      Cfm::walkTags(front, pkt->beginOffset() - sizeof(Lumen::EthHdr), Bridging::outerTpid(port));
  for (std::size_t i = 0; i < tags.count; ++i) {
    pkt->beginOffsetInc(std::int16_t(sizeof(Lumen::Eth8021QHdr)));
    KILN_TRACE(trace(), 9, (i == 0 ? "outerVid = " : "innerVid = ") << tags.vids[i]);
    frame.record->eth8021QHdrEnq(Lumen::overlayAt<Lumen::Eth8021QHdr>(front, tags.at[i]));
  }
  if (tags.truncated) {
    return frame.drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorVlanTagTooShort_);
  }
  frame.typeOrLen = tags.typeOrLen;

  const auto [brVlan, rule] = Bridging::ingressVlan(port, tags.outerVid(), tags.innerVid());
  static constexpr const char* ruleText[] = {"", "mapped brVlan = ", "single tagged brVlan = ",
                                             "single mapped brVlan = ", "double tagged brVlan = "};
  if (rule != Bridging::IngressRule::portVlan) KILN_TRACE(trace(), 9, ruleText[unsigned(rule)] << brVlan);
  KILN_TRACE(trace(), 7, "Bridging vlan = " << brVlan);
  // 4095 is reserved: a frame that resolves to it belongs to no VLAN either.
  if (brVlan == 0 || brVlan > Lumen::VlanId::max) {
    return frame.drop("brVlan", brVlan, CounterId::inErrorNoBridgingVlan_);
  }
  frame.record->vlanIs(Lumen::VlanId(brVlan));
  return true;
}

bool PamIntfSm::processCfmHdr(RxFrame& frame) {
  const auto& pkt = frame.pkt;
  const auto& record = frame.record;
  if (frame.typeOrLen != Lumen::ethTypeCfm) {
    return frame.drop("typeOrLen", frame.typeOrLen, CounterId::inErrorNotCfmEtherType_);
  }
  // The begin offset stays at the header: the engines read their PDUs from there.
  auto* cfmHdr = Lumen::overlayAt<CFMCommonHeader>(pkt->offsetSpan(), 0);
  if (!cfmHdr) {
    return frame.drop("offsetBytes", pkt->offsetBytes(), CounterId::inErrorCfmHdrTooShort_);
  }
  record->cfmHdrIs(cfmHdr);
  const std::uint8_t opCode = cfmHdr->opCode();
  if (opCode < CFMCommonHeader::opCodeMin || opCode > CFMCommonHeader::opCodeMax) {
    return frame.drop("opCode", opCode, CounterId::inErrorUnsupportedOpCode_);
  }
  record->opCodeIs(Cfm::OpCode(opCode));
  record->incrPktCounter(CounterId::in_);

  const Cfm::CfmMulticastEthAddr group(record->ethHdr()->dst());
  if (group.opCode() != Cfm::opCodeNone) {
    if (group.opCode() != opCode) {
      KILN_TRACE(trace(), 5, "Multicast address corresponds to " << group.opCode()
                                 << " but opCode field is " << Cfm::OpCode(opCode));
      record->incrPktCounter(CounterId::inErrorDstMacOpCodeMismatch_);
      return false;
    }
    if (group.mdLevel().value() != cfmHdr->mdLevel()) {
      KILN_TRACE(trace(), 5, "Multicast address corresponds to mdLevel " << group.mdLevel()
                                 << "but CfmHdr mdLevel is " << cfmHdr->mdLevel());
      record->incrPktCounter(CounterId::inErrorDstMacMdLevelMismatch_);
      return false;
    }
  }

  const auto& config = pamSm_->config();
  const auto mdConfig = config ? config->mdConfig(Cfm::MdLevel(cfmHdr->mdLevel())) : nullptr;
  if (!mdConfig || !mdConfig->defaultMip()) {
    return frame.drop("cfmHdr->mdLevel()", cfmHdr->mdLevel(), CounterId::inErrorNoMpAtMdLevel_);
  }
  if (cfmHdr->firstTlvOffset() > pkt->offsetBytes()) {
    return frame.drop("cfmHdr->firstTlvOffset()", cfmHdr->firstTlvOffset(),
                      CounterId::inErrorFirstTlvOffsetTooLarge_);
  }
  if (cfmHdr->firstTlvOffset() < minFirstTlvOffset(opCode)) {
    return frame.drop("cfmHdr->firstTlvOffset()", cfmHdr->firstTlvOffset(),
                      CounterId::inErrorFirstTlvOffsetTooSmall_);
  }
  return true;
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
