#pragma once
// ITU-T Y.1731's performance monitoring PDUs that a Linux host can answer and measure:
// delay measurement (DMM and DMR, two-way; 1DM, one-way) and synthetic loss measurement
// (SLM and SLR). Loss measurement with data-frame counters (LMM, LMR) is not here: it
// needs per-MEP counts of service frames that a Linux host does not keep.
//
// The agent does not speak these opcodes (its common header refuses any above 5 and its
// receive path drops them); the software ALE layer and cfmtool do, through these overlays.
// Each is the common header with its own fixed part; all are packed and laid over received
// bytes only once the frame is known to hold them.

#include <cstdint>
#include <ctime>

#include "platform/cfm/Wire.h"
#include "platform/lumen/Eth.h"

namespace Cfm {

inline constexpr std::uint8_t opCode1Dm = 45;
inline constexpr std::uint8_t opCodeDmr = 46;
inline constexpr std::uint8_t opCodeDmm = 47;
inline constexpr std::uint8_t opCodeSlr = 54;
inline constexpr std::uint8_t opCodeSlm = 55;

// A time as Y.1731 carries it: IEEE 1588's, seconds and nanoseconds since the epoch (PTP's
// is TAI, a Linux host's CLOCK_REALTIME is UTC; both ends of a measurement read the same
// kind of clock, and two-way delay takes differences of one end's own readings only).
struct PmTime {
  std::uint32_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  static constexpr PmTime of(const timespec& t) {
    return {std::uint32_t(t.tv_sec), std::uint32_t(t.tv_nsec)};
  }
  constexpr bool isZero() const { return seconds == 0 && nanoseconds == 0; }
  // In nanoseconds. Seconds wrap every 136 years; differences of nearby times stay right.
  constexpr std::int64_t ns() const { return std::int64_t(seconds) * 1'000'000'000 + nanoseconds; }
  constexpr bool operator==(const PmTime&) const = default;
};

#pragma pack(push, 1)

class PmTimestamp {
 public:
  constexpr PmTime value() const { return {seconds_.value(), nanoseconds_.value()}; }
  constexpr void valueIs(PmTime t) {
    seconds_.valueIs(t.seconds);
    nanoseconds_.valueIs(t.nanoseconds);
  }

 private:
  Lumen::NetU32 seconds_;
  Lumen::NetU32 nanoseconds_;
};

// The common header as Y.1731's opcodes use it: the same four bytes as CFMCommonHeader,
// without its limit to IEEE 802.1ag's opcodes.
class PmHeader {
 public:
  constexpr PmHeader(std::uint8_t mdLevel, std::uint8_t opCode, std::uint8_t firstTlvOffset) {
    mdLevelField_.mdLevelIs(mdLevel);
    opCode_.valueIs(opCode);
    firstTlvOffset_.valueIs(firstTlvOffset);
  }
  constexpr std::uint8_t mdLevel() const { return mdLevelField_.mdLevel(); }
  constexpr std::uint8_t version() const { return mdLevelField_.version(); }
  constexpr std::uint8_t opCode() const { return opCode_.value(); }
  constexpr std::uint8_t flag() const { return flag_.value(); }
  constexpr std::uint8_t firstTlvOffset() const { return firstTlvOffset_.value(); }
  constexpr void mdLevelIs(std::uint8_t level) { mdLevelField_.mdLevelIs(level); }
  constexpr void opCodeIs(std::uint8_t opCode) { opCode_.valueIs(opCode); }
  constexpr void flagIs(std::uint8_t flag) { flag_.valueIs(flag); }

 private:
  MdLevelVersion mdLevelField_;
  Lumen::NetU8 opCode_;
  Lumen::NetU8 flag_;
  Lumen::NetU8 firstTlvOffset_;
};

// DMM and DMR: the initiator's send time, the responder's receive and send times, and a
// field the initiator fills on receipt (zero on the wire). The responder turns a DMM into
// its DMR in place.
class DmPdu : public PmHeader {
 public:
  static constexpr std::uint8_t firstTlvOffsetDm = 32;
  constexpr explicit DmPdu(std::uint8_t mdLevel, std::uint8_t opCode = opCodeDmm)
      : PmHeader(mdLevel, opCode, firstTlvOffsetDm) {}

  constexpr PmTime txTimeStampf() const { return txTimeStampf_.value(); }
  constexpr PmTime rxTimeStampf() const { return rxTimeStampf_.value(); }
  constexpr PmTime txTimeStampb() const { return txTimeStampb_.value(); }
  constexpr PmTime rxTimeStampb() const { return rxTimeStampb_.value(); }
  constexpr void txTimeStampfIs(PmTime t) { txTimeStampf_.valueIs(t); }
  constexpr void rxTimeStampfIs(PmTime t) { rxTimeStampf_.valueIs(t); }
  constexpr void txTimeStampbIs(PmTime t) { txTimeStampb_.valueIs(t); }
  constexpr void rxTimeStampbIs(PmTime t) { rxTimeStampb_.valueIs(t); }

 private:
  PmTimestamp txTimeStampf_;
  PmTimestamp rxTimeStampf_;
  PmTimestamp txTimeStampb_;
  PmTimestamp rxTimeStampb_;
};

// 1DM: the sender's send time and a field the receiver fills (zero on the wire).
class OneDmPdu : public PmHeader {
 public:
  static constexpr std::uint8_t firstTlvOffset1Dm = 16;
  constexpr explicit OneDmPdu(std::uint8_t mdLevel) : PmHeader(mdLevel, opCode1Dm, firstTlvOffset1Dm) {}

  constexpr PmTime txTimeStampf() const { return txTimeStampf_.value(); }
  constexpr void txTimeStampfIs(PmTime t) { txTimeStampf_.valueIs(t); }

 private:
  PmTimestamp txTimeStampf_;
  PmTimestamp rxTimeStampf_;  // the receiver's, never sent
};

// SLM and SLR: the initiator's MEP id, the responder's (zero in an SLM), the test id that
// keeps concurrent tests apart, and the two ends' counts of the test's frames: TxFCf the
// SLMs the initiator sent, TxFCb the SLRs the responder sent (zero in an SLM). The responder
// turns an SLM into its SLR in place.
class SlPdu : public PmHeader {
 public:
  static constexpr std::uint8_t firstTlvOffsetSl = 16;
  constexpr explicit SlPdu(std::uint8_t mdLevel, std::uint8_t opCode = opCodeSlm)
      : PmHeader(mdLevel, opCode, firstTlvOffsetSl) {}

  constexpr std::uint16_t sourceMepId() const { return sourceMepId_.value(); }
  constexpr std::uint16_t responderMepId() const { return responderMepId_.value(); }
  constexpr std::uint32_t testId() const { return testId_.value(); }
  constexpr std::uint32_t txFcf() const { return txFcf_.value(); }
  constexpr std::uint32_t txFcb() const { return txFcb_.value(); }
  constexpr void sourceMepIdIs(std::uint16_t id) { sourceMepId_.valueIs(id); }
  constexpr void responderMepIdIs(std::uint16_t id) { responderMepId_.valueIs(id); }
  constexpr void testIdIs(std::uint32_t id) { testId_.valueIs(id); }
  constexpr void txFcfIs(std::uint32_t count) { txFcf_.valueIs(count); }
  constexpr void txFcbIs(std::uint32_t count) { txFcb_.valueIs(count); }

 private:
  Lumen::NetU16 sourceMepId_;
  Lumen::NetU16 responderMepId_;
  Lumen::NetU32 testId_;
  Lumen::NetU32 txFcf_;
  Lumen::NetU32 txFcb_;
};

#pragma pack(pop)

static_assert(sizeof(PmHeader) == 4 && alignof(PmHeader) == 1);
static_assert(sizeof(DmPdu) == sizeof(PmHeader) + DmPdu::firstTlvOffsetDm);
static_assert(sizeof(OneDmPdu) == sizeof(PmHeader) + OneDmPdu::firstTlvOffset1Dm);
static_assert(sizeof(SlPdu) == sizeof(PmHeader) + SlPdu::firstTlvOffsetSl);
// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  SlPdu p(5, opCodeSlr);
  p.sourceMepIdIs(0x0102);
  p.responderMepIdIs(0x0304);
  p.testIdIs(0x05060708);
  p.txFcfIs(0x090a0b0c);
  p.txFcbIs(0x0d0e0f10);
  return wireBytes(p) == std::array<std::uint8_t, 20>{0xa0, 54, 0, 16, 1, 2, 3, 4, 5, 6,
                                                      7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}());
static_assert([] {
  DmPdu p(1, opCodeDmr);
  p.txTimeStampfIs({0x01020304, 0x05060708});
  p.rxTimeStampbIs({0x11121314, 0x15161718});
  const auto b = wireBytes(p);
  return b[0] == 0x20 && b[1] == 46 && b[3] == 32 && b[4] == 1 && b[11] == 8 && b[12] == 0 &&
         b[28] == 0x11 && b[35] == 0x18;
}());

// Two-way frame delay from a DMR's four times (Y.1731): the round trip less the time the
// responder held the frame, when it says so; without its times (zero), the whole round trip.
constexpr std::int64_t twoWayDelayNs(const DmPdu& dmr) {
  const std::int64_t roundTrip = dmr.rxTimeStampb().ns() - dmr.txTimeStampf().ns();
  if (dmr.rxTimeStampf().isZero() || dmr.txTimeStampb().isZero()) return roundTrip;
  return roundTrip - (dmr.txTimeStampb().ns() - dmr.rxTimeStampf().ns());
}

}  // namespace Cfm
