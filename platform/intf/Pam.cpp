#include "platform/intf/Pam.h"

#include <algorithm>

#include "platform/kiln/EventLoop.h"

namespace Interface {

Pam::Pam(IntfId intfId) : Kiln::Entity(intfId.stringValue()), intfId_(intfId) {}

Pam::~Pam() = default;

Kiln::Ptr<Lumen::Pkt> Pam::rxPkt() {
  if (rxQueue_.empty()) return nullptr;
  Kiln::Ptr<Lumen::Pkt> pkt = std::move(rxQueue_.front());
  rxQueue_.pop_front();
  ++takenSinceNotify_;
  return pkt;
}

bool Pam::txPkt(const Kiln::Ptr<Lumen::Pkt>& pkt) {
  const bool sent =
      !closed_ && device_ && pkt &&
      device_->transmit({pkt->offsetFront(), pkt->offsetBytes()});
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
  while (rxQueue_.size() > rxQueueLimit_) {
    rxQueue_.pop_front();
    ++counters_.rxQueueDrops;
  }
}

void Pam::rxFrame(std::span<const std::uint8_t> frame, bool offerLater) {
  if (closed_) return;
  if (frame.size() > Lumen::Pkt::maxBytes) {
    ++counters_.rxTruncated;
    return;
  }
  if (rxQueue_.size() >= rxQueueLimit_) {
    ++counters_.rxQueueDrops;
    if (!headDrop_) return;
    rxQueue_.pop_front();
  }
  auto pkt = Lumen::pktManager().newPkt();
  pkt->bytesIs(frame, false, pktReuse_);
  rxQueue_.push_back(std::move(pkt));
  ++counters_.rxFrames;
  if (offerLater) scheduleReadable();
}

void Pam::offerReadable() {
  Kiln::Ptr<Pam> self(this);  // the reader may let go of this pam
  for (std::size_t offers = rxQueue_.size(); offers > 0 && !closed_ && !rxQueue_.empty();
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
  if (closed_ || rxQueue_.empty()) return;
  takenSinceNotify_ = 0;
  notifieeList_.notify(&NotifieeConst::onReadableCount);
  // Offer the rest on the next round only to a reader that is reading.
  if (takenSinceNotify_ > 0) scheduleReadable();
}

void Pam::close() {
  closed_ = true;
  device_.reset();
  rxQueue_.clear();
}

Kiln::Ptr<Pam> EthDevPamCollection::intfPam(IntfId intf) const {
  auto it = intfPam_.find(intf);
  return it == intfPam_.end() ? nullptr : it->second;
}

void EthDevPamCollection::intfPamIs(IntfId intf, Kiln::Ptr<Pam> pam) {
  auto& slot = intfPam_[intf];
  if (slot == pam) return;
  slot = std::move(pam);
  notifieeList_.notify(&NotifieeConst::onIntfPam, intf);
}

void EthDevPamCollection::intfPamDel(IntfId intf) {
  if (intfPam_.erase(intf)) notifieeList_.notify(&NotifieeConst::onIntfPam, intf);
}

}  // namespace Interface
