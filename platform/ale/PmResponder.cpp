#include "platform/ale/PmResponder.h"

#include <algorithm>
#include <cstring>

#include "platform/cfm/L2.h"

namespace SoftAle {

Cfm::PmTime pmTimeNow() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return Cfm::PmTime::of(t);
}

namespace {

// The fixed part a PDU of this opcode needs, header included; 0 for one not answered here.
std::size_t fixedBytes(std::uint8_t opCode) {
  switch (opCode) {
    case Cfm::opCodeDmm:
      return sizeof(Cfm::DmPdu);
    case Cfm::opCodeSlm:
      return sizeof(Cfm::SlPdu);
    case Cfm::opCode1Dm:
      return sizeof(Cfm::OneDmPdu);
    default:
      return 0;
  }
}

}  // namespace

PmResponder::PmResponder(Cfm::MdLevel level, Cfm::MepId mepId)
    : level_(level), mepId_(mepId), buffer_(maxFrameBytes) {
  tests_.reserve(maxTests);
}

void PmResponder::senderIs(const Lumen::EthAddr& mac, const Bridging::EgressTags& tags) {
  mac_ = mac;
  tags_ = tags;
}

std::span<const std::uint8_t> PmResponder::answer(const CfmFrame& frame, Cfm::PmTime rxTime) {
  const auto* header = Lumen::overlayAt<Cfm::PmHeader>(frame.pdu, 0);
  const std::size_t fixed = header ? fixedBytes(header->opCode()) : 0;
  // The first TLV offset counts from the end of the header: the TLVs may not start inside
  // the fixed part, nor past the end of the frame.
  if (fixed == 0 || frame.pdu.size() < fixed || sizeof(Cfm::PmHeader) + header->firstTlvOffset() < fixed ||
      sizeof(Cfm::PmHeader) + header->firstTlvOffset() > frame.pdu.size()) {
    ++counters_.tooShort;
    return {};
  }
  if (header->opCode() == Cfm::opCode1Dm) {
    ++counters_.oneDmIn;
    return {};
  }
  const bool dmm = header->opCode() == Cfm::opCodeDmm;
  ++(dmm ? counters_.dmmIn : counters_.slmIn);
  const std::size_t l2 = Cfm::l2Bytes(tags_);
  if (l2 + frame.pdu.size() > buffer_.size()) {
    ++counters_.tooLarge;
    return {};
  }
  const std::span<std::uint8_t> out(buffer_.data(), l2 + frame.pdu.size());
  Cfm::writeL2(out, frame.src, mac_, tags_);
  std::memcpy(out.data() + l2, frame.pdu.data(), frame.pdu.size());
  if (dmm) {
    auto* dm = Lumen::overlayAt<Cfm::DmPdu>(out, l2);
    dm->opCodeIs(Cfm::opCodeDmr);
    dm->rxTimeStampfIs(rxTime);
    dm->rxTimeStampbIs({});
    dm->txTimeStampbIs(pmTimeNow());
  } else {
    auto* sl = Lumen::overlayAt<Cfm::SlPdu>(out, l2);
    sl->opCodeIs(Cfm::opCodeSlr);
    sl->responderMepIdIs(mepId_.value());
    sl->txFcbIs(nextTxFcb(sl->sourceMepId(), sl->testId()));
  }
  lastReply_ = dmm ? &counters_.dmrOut : &counters_.slrOut;
  txStampAt_ = dmm ? l2 + 20 : 0;  // TxTimeStampb: after the header and two timestamps
  return out;
}

void PmResponder::replySent(bool sent) {
  if (lastReply_) ++(sent ? *lastReply_ : counters_.notSent);
  lastReply_ = nullptr;
}

std::uint32_t PmResponder::nextTxFcb(std::uint16_t sourceMepId, std::uint32_t testId) {
  const std::uint64_t heard = counters_.slmIn;
  auto it = std::find_if(tests_.begin(), tests_.end(), [&](const Test& t) {
    return t.sourceMepId == sourceMepId && t.testId == testId;
  });
  if (it == tests_.end()) {
    if (tests_.size() < maxTests) {
      it = tests_.insert(tests_.end(), Test{sourceMepId, testId});
    } else {
      it = std::min_element(tests_.begin(), tests_.end(),
                            [](const Test& a, const Test& b) { return a.heard < b.heard; });
      *it = Test{sourceMepId, testId};
    }
  }
  it->heard = heard;
  return ++it->slrs;
}

}  // namespace SoftAle
