#include "platform/ale/PmSession.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/cfm/L2.h"

namespace SoftAle {

namespace {

std::size_t fixedBytes(Cfm::PmKind kind) {
  switch (kind) {
    case Cfm::PmKind::dmm: return sizeof(Cfm::DmPdu);
    case Cfm::PmKind::slm: return sizeof(Cfm::SlPdu);
    default: return sizeof(Cfm::OneDmPdu);
  }
}

// The message's PDU from its common header on, when `frame` carries one of `opCode` with
// its fixed part whole.
template <class Pdu>
const Pdu* pduOf(const CfmFrame& frame, std::uint8_t opCode) {
  const auto* pdu = Lumen::overlayAt<Pdu>(frame.pdu, 0);
  return pdu && pdu->opCode() == opCode ? pdu : nullptr;
}

// Frames lost of `frames` sent when `arrived` came: none when more came than left (a
// duplicate counted at either end).
std::uint64_t lost(std::uint32_t frames, std::uint32_t arrived) { return arrived >= frames ? 0 : frames - arrived; }

}  // namespace

PmSession::PmSession(PmSessionSettings settings, Cfm::MdLevel level, Cfm::MepId mepId, double wallNow)
    : settings_(std::move(settings)), level_(level), mepId_(mepId), intervalStart_(wallNow) {
  intervalEnd_ = intervalEndAfter(wallNow);
  frame_.reserve(Cfm::l2Bytes({.count = 2}) + fixedBytes(settings_.kind) + 3 + settings_.dataBytes + 1);
}

double PmSession::intervalEndAfter(double wallTime) const {
  const double length = settings_.measurementInterval;
  return (std::floor(wallTime / length) + 1) * length;
}

void PmSession::build(const Lumen::EthAddr& dst, const Lumen::EthAddr& src, const Bridging::EgressTags& tags) {
  builtDst_ = dst;
  builtSrc_ = src;
  builtTags_ = tags;
  pduAt_ = Cfm::l2Bytes(tags);
  const std::size_t fixed = fixedBytes(settings_.kind);
  const std::size_t data = settings_.dataBytes;
  // Within the capacity reserved at construction: no allocation.
  frame_.assign(pduAt_ + fixed + (data ? 3 + data : 0) + 1, 0);
  Cfm::writeL2(frame_, dst, src, tags, settings_.priority);
  std::uint8_t* pdu = frame_.data() + pduAt_;
  switch (settings_.kind) {
    case Cfm::PmKind::dmm: new (pdu) Cfm::DmPdu(level_.value()); break;
    case Cfm::PmKind::slm: {
      auto* slm = new (pdu) Cfm::SlPdu(level_.value());
      slm->sourceMepIdIs(mepId_.value());
      slm->testIdIs(settings_.testId);
      break;
    }
    default: new (pdu) Cfm::OneDmPdu(level_.value()); break;
  }
  if (data) {
    std::uint8_t* tlv = pdu + fixed;
    tlv[0] = Cfm::tlvTypeData;
    tlv[1] = std::uint8_t(data >> 8);
    tlv[2] = std::uint8_t(data);
    for (std::size_t i = 0; i < data; ++i) tlv[3 + i] = std::uint8_t(i);
  }
  // The End TLV is the last byte, 0 already.
}

std::span<const std::uint8_t> PmSession::message(const Lumen::EthAddr& dst, const Lumen::EthAddr& src,
                                                 const Bridging::EgressTags& tags, Cfm::PmTime now) {
  if (frame_.empty() || dst != builtDst_ || src != builtSrc_ || tags != builtTags_) build(dst, src, tags);
  target_ = dst;
  const std::span<std::uint8_t> pdu(frame_.data() + pduAt_, frame_.size() - pduAt_);
  switch (settings_.kind) {
    case Cfm::PmKind::dmm:
      Lumen::overlayAt<Cfm::DmPdu>(pdu, 0)->txTimeStampfIs(now);
      unanswered_[nextUnanswered_++ % unanswered_.size()] = {now.ns(), {}};
      break;
    case Cfm::PmKind::slm: Lumen::overlayAt<Cfm::SlPdu>(pdu, 0)->txFcfIs(++txFcf_); break;
    default: Lumen::overlayAt<Cfm::OneDmPdu>(pdu, 0)->txTimeStampfIs(now); break;
  }
  return frame_;
}

void PmSession::messageSent(bool sent, Cfm::PmTime kernelSent) {
  if (sent) {
    ++sent_;
    if (settings_.kind == Cfm::PmKind::dmm) unanswered_[(nextUnanswered_ - 1) % unanswered_.size()].kernelSent = kernelSent;
    if (!kernelSent.isZero()) ++kernelSendTimes_;
  } else {
    ++notSent_;
    // Never left: no reply can answer it. An SLM's count is the frames that left.
    if (settings_.kind == Cfm::PmKind::dmm) unanswered_[--nextUnanswered_ % unanswered_.size()] = {};
    if (settings_.kind == Cfm::PmKind::slm) --txFcf_;
  }
}

bool PmSession::replyReceived(const CfmFrame& frame, Cfm::PmTime rxTime) {
  if (frame.src != target_) return false;
  if (settings_.kind == Cfm::PmKind::dmm) {
    const auto* dmr = pduOf<Cfm::DmPdu>(frame, Cfm::opCodeDmr);
    if (!dmr || dmr->txTimeStampf().isZero()) return false;
    const auto it = std::find_if(unanswered_.begin(), unanswered_.end(), [&](const Unanswered& u) {
      return u.txTimeStampf == dmr->txTimeStampf().ns();
    });
    if (it == unanswered_.end()) return false;
    Cfm::DmPdu times = *dmr;
    times.rxTimeStampbIs(rxTime);
    if (!it->kernelSent.isZero()) times.txTimeStampfIs(it->kernelSent);
    *it = {};
    delays_.add(Cfm::twoWayDelayNs(times));
    ++received_;
    return true;
  }
  if (settings_.kind != Cfm::PmKind::slm) return false;
  const auto* slr = pduOf<Cfm::SlPdu>(frame, Cfm::opCodeSlr);
  if (!slr || slr->sourceMepId() != mepId_.value() || slr->testId() != settings_.testId || slr->txFcf() == 0 ||
      slr->txFcf() > txFcf_) {
    return false;
  }
  ++received_;
  const LossMark mark{slr->txFcf(), slr->txFcb(), ++slrs_};
  if (!lossBase_) {
    lossBase_ = mark;
  } else if (!lossLast_ || mark.txFcf > lossLast_->txFcf) {
    lossLast_ = mark;
  } else {
    lossLast_->received = slrs_;  // a late reply: counted, the latest stays
  }
  return true;
}

void PmSession::oneWayReceived(Cfm::PmTime sent, Cfm::PmTime received) {
  ++received_;
  delays_.add(received.ns() - sent.ns());
}

Cfm::PmIntervalAleStatus PmSession::current() const {
  Cfm::PmIntervalAleStatus out;
  out.start = intervalStart_;
  out.sent = sent_;
  out.received = received_;
  out.delay = delays_.summary();
  if (lossBase_ && lossLast_) {
    // Unsigned differences: the counts may wrap past 2^32 - 1 during a session.
    const std::uint32_t forth = lossLast_->txFcf - lossBase_->txFcf;
    const std::uint32_t back = lossLast_->txFcb - lossBase_->txFcb;
    out.farEndFrames = forth;
    out.farEndLost = lost(forth, back);
    out.nearEndFrames = back;
    out.nearEndLost = lost(back, std::uint32_t(lossLast_->received - lossBase_->received));
  }
  return out;
}

void PmSession::roll(double wallNow, const std::function<void(const PmCrossing&)>& crossed) {
  if (wallNow < intervalEnd_) return;
  Cfm::PmIntervalAleStatus done = current();
  done.end = intervalEnd_;
  const auto& t = settings_.thresholds;
  const auto check = [&](std::string_view figure, const auto& limit, double value) {
    if (limit && value > double(*limit)) crossed({figure, value, double(*limit)});
  };
  if (done.delay.count > 0) {
    check("delayMax", t.delayMax, double(done.delay.max));
    check("delayP99", t.delayP99, double(done.delay.p99));
    check("delayVariation", t.delayVariation, double(done.delay.variation));
  }
  if (done.farEndFrames > 0) check("farEndLoss", t.farEndLoss, 100.0 * double(done.farEndLost) / double(done.farEndFrames));
  if (done.nearEndFrames > 0) {
    check("nearEndLoss", t.nearEndLoss, 100.0 * double(done.nearEndLost) / double(done.nearEndFrames));
  }
  history_.push_front(done);
  while (history_.size() > settings_.history) history_.pop_back();
  // A clock stepped forward by more than an interval skips the intervals it jumped over.
  intervalStart_ = intervalEnd_ > wallNow - settings_.measurementInterval ? intervalEnd_ : wallNow;
  intervalEnd_ = intervalEndAfter(std::max(wallNow, intervalStart_));
  sent_ = received_ = 0;
  delays_.clear();
  if (lossLast_) lossBase_ = lossLast_;
  lossLast_.reset();
}

void PmSession::report(Cfm::PmSessionAleStatus& out) const {
  out.name = settings_.name;
  out.kind = settings_.kind;
  out.targetMepId = settings_.targetMepId;
  out.targetMac = settings_.targetMac.value_or(target_);
  out.testId = settings_.kind == Cfm::PmKind::slm ? settings_.testId : 0;
  out.interval = settings_.kind == Cfm::PmKind::oneDmIn ? 0 : settings_.interval;
  out.noTarget = noTarget_;
  out.notSent = notSent_;
  out.kernelSendTimes = kernelSendTimes_;
  out.intervals.clear();
  out.intervals.push_back(current());
  out.intervals.insert(out.intervals.end(), history_.begin(), history_.end());
}

}  // namespace SoftAle
