#include "platform/intf/Pam.h"

#include <algorithm>

#include "platform/cfm/L2.h"
#include "platform/cfm/PmWire.h"
#include "platform/kiln/EventLoop.h"

namespace Interface {

Pam::Pam(IntfId intfId) : Kiln::Entity(intfId.stringValue()), intfId_(intfId) {}

Pam::~Pam() = default;

Kiln::Ptr<Lumen::Pkt> Pam::popOldest() {
  Kiln::Ptr<Lumen::Pkt> pkt = std::move(rxRing_[rxHead_]);
  rxHead_ = (rxHead_ + 1) % rxRing_.size();
  --rxCount_;
  return pkt;
}

Kiln::Ptr<Lumen::Pkt> Pam::rxPkt() {
  if (rxCount_ == 0) return nullptr;
  ++takenSinceNotify_;
  return popOldest();
}

bool Pam::txPkt(const Kiln::Ptr<Lumen::Pkt>& pkt) {
  if (!pkt) {
    ++counters_.txErrors;
    return false;
  }
  return txFrame({pkt->offsetFront(), pkt->offsetBytes()}, {});
}

bool Pam::txFrame(std::span<const std::uint8_t> frame, const TxTiming& timing) {
  const bool sent = !closed_ && device_ && device_->transmit(frame, timing);
  ++(sent ? counters_.txFrames : counters_.txErrors);
  return sent;
}

Pam::Counters Pam::counters() const {
  Counters counters = counters_;
  if (device_) {
    const auto losses = device_->rxLosses();
    counters.rxTruncated += losses.truncated;
    counters.rxKernelDrops += losses.kernelDrops;
    // Counted as sent when the device took them; the kernel refused them later.
    const std::uint64_t late = std::min(device_->txLateErrors(), counters.txFrames);
    counters.txFrames -= late;
    counters.txErrors += late;
  }
  return counters;
}

void Pam::rxQueueLimitIs(std::uint32_t limit) {
  rxQueueLimit_ = limit ? limit : 1;
  while (rxCount_ > rxQueueLimit_) {
    popOldest();
    ++counters_.rxQueueDrops;
  }
  std::vector<Kiln::Ptr<Lumen::Pkt>> ring(rxQueueLimit_);
  for (std::size_t i = 0; i < rxCount_; ++i) {
    ring[i] = std::move(rxRing_[(rxHead_ + i) % rxRing_.size()]);
  }
  rxRing_ = std::move(ring);
  rxHead_ = 0;
}

namespace {

Pam::RxTap& rxTap() {
  static Pam::RxTap tap;
  return tap;
}

// A CCM, or one of the Y.1731 frames a MEP answers or measures with (DMM, SLM, 1DM, DMR,
// SLR): found by the group address, else by the opcode after at most two tags, a handful
// of byte reads.
bool forTheAle(std::span<const std::uint8_t> frame) {
  if (frame.size() < 14) return false;
  if (Cfm::groupClassOf(frame.first<6>()) == Cfm::GroupClass::ccm) return true;
  std::size_t at = 12;
  for (int tags = 0; tags < 2 && frame.size() >= at + 6; ++tags) {
    const std::uint16_t type = std::uint16_t(frame[at] << 8 | frame[at + 1]);
    if (std::find(Lumen::outerTpids.begin(), Lumen::outerTpids.end(), type) == Lumen::outerTpids.end()) break;
    at += 4;
  }
  if (frame.size() < at + 4 || (frame[at] << 8 | frame[at + 1]) != Lumen::ethTypeCfm) return false;
  const std::uint8_t opCode = frame[at + 3];
  return opCode == Cfm::opCodeDmm || opCode == Cfm::opCodeSlm || opCode == Cfm::opCode1Dm ||
         opCode == Cfm::opCodeDmr || opCode == Cfm::opCodeSlr;
}

}  // namespace

void Pam::rxTapIs(RxTap tap) { rxTap() = std::move(tap); }

void Pam::rxFrame(std::span<const std::uint8_t> frame, bool offerLater, const timespec* rxTime) {
  if (closed_) return;
  if (rxTap() && forTheAle(frame)) {
    timespec at = rxTime ? *rxTime : timespec{};
    if (at.tv_sec == 0 && at.tv_nsec == 0) ::clock_gettime(CLOCK_REALTIME, &at);
    rxTap()(intfId_, frame, at);
  }
  if (frame.size() > Lumen::Pkt::maxBytes) {
    ++counters_.rxTruncated;
    return;
  }
  if (rxCount_ >= rxQueueLimit_) {
    ++counters_.rxQueueDrops;
    if (!headDrop_) return;
    popOldest();
  }
  auto pkt = Lumen::pktManager().newPkt();
  pkt->bytesIs(frame, false, pktReuse_);
  rxRing_[(rxHead_ + rxCount_) % rxRing_.size()] = std::move(pkt);
  ++rxCount_;
  ++counters_.rxFrames;
  if (offerLater) scheduleReadable();
}

void Pam::offerReadable() {
  Kiln::Ptr<Pam> self(this);  // the reader may let go of this pam
  for (std::size_t offers = rxCount_; offers > 0 && !closed_ && rxCount_ > 0;
       --offers) {
    takenSinceNotify_ = 0;
    notifieeList_.notify(&NotifieeConst::onReadableCount);
    if (takenSinceNotify_ == 0) return;
  }
}

void Pam::scheduleReadable() {
  if (readableScheduled_ || closed_) return;
  readableScheduled_ = true;
  Kiln::Ptr<Pam> self(this);
  Kiln::eventLoop().defer([self] { self->notifyReadable(); });
}

void Pam::notifyReadable() {
  readableScheduled_ = false;
  if (closed_ || rxCount_ == 0) return;
  takenSinceNotify_ = 0;
  notifieeList_.notify(&NotifieeConst::onReadableCount);
  // Offer the rest on the next round only to a reader that is reading.
  if (takenSinceNotify_ > 0) scheduleReadable();
}

void Pam::close() {
  closed_ = true;
  device_.reset();
  while (rxCount_ > 0) popOldest();
}

Kiln::Ptr<Pam> EthDevPamCollection::intfPam(IntfId intf) const {
  return Kiln::Ptr<Pam>(byIntf_.find(intf.denseIndex()));
}

void EthDevPamCollection::intfPamIs(IntfId intf, Kiln::Ptr<Pam> pam) {
  auto& slot = intfPam_[intf];
  if (slot == pam) return;
  byIntf_.set(intf.denseIndex(), pam.get());
  slot = std::move(pam);
  notifieeList_.notify(&NotifieeConst::onIntfPam, intf);
}

void EthDevPamCollection::intfPamDel(IntfId intf) {
  byIntf_.set(intf.denseIndex(), nullptr);
  if (intfPam_.erase(intf)) notifieeList_.notify(&NotifieeConst::onIntfPam, intf);
}

}  // namespace Interface
