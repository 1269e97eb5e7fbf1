#pragma once
// The record of one CFM frame (PktMetaData) and the per-protocol hand-off slots through
// which the receive path gives frames to the protocol engines.

#include <array>
#include <bitset>
#include <cstdint>
#include <span>

#include "CfmAgent/CfmPdu.h"
#include "CfmAgent/CounterHelper.h"
#include "platform/intf/Pam.h"
#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"
#include "platform/kiln/Pooled.h"
#include "platform/kiln/Trace.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/Pkt.h"
#include "platform/lumen/Types.h"

namespace CfmAgent {

// One per frame: pooled.
class PktMetaData : public Kiln::Entity, public Kiln::Pooled<PktMetaData> {
 public:
  PktMetaData(std::uint32_t pktId, Kiln::Ptr<Lumen::Pkt> pkt, Lumen::IntfId intf, bool ingress,
              Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
              Kiln::Ptr<PktCounterHelper> pktCounterHelper);

  std::uint32_t pktId() const { return pktId_; }
  const Kiln::Ptr<Lumen::Pkt>& pkt() const { return pkt_; }
  void pktIs(Kiln::Ptr<Lumen::Pkt> pkt) { pkt_ = std::move(pkt); }
  Lumen::IntfId intf() const { return intf_; }
  bool ingress() const { return ingress_; }
  void ingressIs(bool ingress) { ingress_ = ingress; }
  const Kiln::Ptr<Interface::EthDevPamCollection>& pamCollection() const { return pamCollection_; }
  const Kiln::Ptr<PktCounterHelper>& pktCounterHelper() const { return pktCounterHelper_; }
  std::uint8_t* pktFront() const { return pktFront_; }
  std::uint32_t pktBytes() const { return pktBytes_; }

  // Pointers into the frame: valid while `pkt` (or `tlvPkt`) holds its buffer.
  Lumen::EthHdr* ethHdr() const { return ethHdr_; }
  void ethHdrIs(Lumen::EthHdr* hdr) { ethHdr_ = hdr; }
  // Frames carry at most two tags and a handful of TLVs: both queues live in the record.
  using TagQueue = Kiln::LinkQueue<Lumen::Eth8021QHdr*, std::uint32_t, Kiln::SmallVector<Lumen::Eth8021QHdr*, 2>>;
  using TlvQueue = Kiln::LinkQueue<std::uint8_t*, std::uint32_t, Kiln::SmallVector<std::uint8_t*, 8>>;

  const TagQueue& eth8021QHdr() const { return eth8021QHdr_; }
  void eth8021QHdrEnq(Lumen::Eth8021QHdr* tag) { eth8021QHdr_.enq(tag); }
  CFMCommonHeader* cfmHdr() const { return cfmHdr_; }
  void cfmHdrIs(CFMCommonHeader* hdr) { cfmHdr_ = hdr; }

  Cfm::OpCode opCode() const { return opCode_; }
  void opCodeIs(Cfm::OpCode op) { opCode_ = op; }
  Lumen::VlanId vlan() const { return vlan_; }
  void vlanIs(Lumen::VlanId vlan) { vlan_ = vlan; }
  bool sendPktCopy() const { return sendPktCopy_; }
  void sendPktCopyIs(bool copy) { sendPktCopy_ = copy; }

  const Kiln::Ptr<Lumen::Pkt>& tlvPkt() const { return tlvPkt_; }
  void tlvPktIs(Kiln::Ptr<Lumen::Pkt> pkt) { tlvPkt_ = std::move(pkt); }
  bool tlvParseDone() const { return tlvParseDone_; }
  void tlvParseDoneIs(bool done) { tlvParseDone_ = done; }
  bool tlvParseError() const { return tlvParseError_; }
  void tlvParseErrorIs(bool error) { tlvParseError_ = error; }
  // Every TLV the walk passed, in frame order, the End TLV included.
  const TlvQueue& tlvQ() const { return tlvQ_; }
  void tlvQEnq(std::uint8_t* tlv) { tlvQ_.enq(tlv); }
  bool initialized() const { return initialized_; }

  // The first TLV of `type`, whole (header and value; the End TLV's one byte), or empty.
  // Walks the chain only as far as needed and never twice over the same bytes; malformed
  // chains are counted once.
  std::span<std::uint8_t> tlv(TlvType type);
  // Makes a TLV of a frame being built visible to tlv(), under its own type.
  void tlvIs(std::span<std::uint8_t> tlv);
  // Hides a received frame's TLV type from tlv() from now on.
  void tlvDel(TlvType type);

  void incrPktCounter(CounterId id);
  // Where a check refuses the frame: the drop trace "PktId: <id> Expr: <expr> Value:
  // <value>" on `handle` at `level`, then the count under `id`. A U8 value streams as one
  // raw character, wider values in decimal. Debug counts of frames that go on use it too.
  template <class Value>
  void drop(const Kiln::TraceHandle& handle, CounterId id, const char* expr, const Value& value,
            unsigned level = 5) {
    KILN_TRACE(handle, level, "PktId: " << pktId_ << " Expr: " << expr << " Value: " << value);
    incrPktCounter(id);
  }
  // Sends an outgoing frame on the socket of `intf`, counting out or outErrorNoPam.
  void sendPkt();

 private:
  void handleInitialized();

  std::uint32_t pktId_;
  Kiln::Ptr<Lumen::Pkt> pkt_;
  Lumen::IntfId intf_;
  bool ingress_;
  Kiln::Ptr<Interface::EthDevPamCollection> pamCollection_;
  Kiln::Ptr<PktCounterHelper> pktCounterHelper_;
  std::uint8_t* pktFront_ = nullptr;
  std::uint32_t pktBytes_ = 0;
  Lumen::EthHdr* ethHdr_ = nullptr;
  TagQueue eth8021QHdr_;
  CFMCommonHeader* cfmHdr_ = nullptr;
  Cfm::OpCode opCode_ = Cfm::opCodeNone;
  Lumen::VlanId vlan_;
  bool sendPktCopy_ = false;
  Kiln::Ptr<Lumen::Pkt> tlvPkt_;
  bool tlvParseDone_ = false;
  bool tlvParseError_ = false;
  TlvQueue tlvQ_;
  // One slot per type code: a lookup is an index, and the engines' lookups allocate
  // nothing. Null: not cached. Most frames never ask for a TLV, so the index is cleared on
  // first use, not with every record.
  std::uint8_t*& tlvC(TlvType type);
  // An indexed TLV with its length.
  static std::span<std::uint8_t> tlvSpan(std::uint8_t* tlv);
  static constexpr std::size_t tlvTypes = std::size_t(1) << (8 * sizeof(TlvType));
  bool tlvIndexReady_ = false;
  std::array<std::uint8_t*, tlvTypes> tlvC_;
  std::bitset<tlvTypes> deletedTlv_;
  bool initialized_ = false;
};

Kiln::Ptr<PktMetaData> pktMetaDataFactory(std::uint32_t pktId, Kiln::Ptr<Lumen::Pkt> pkt,
                                          Lumen::IntfId intf, bool ingress,
                                          Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                                          Kiln::Ptr<PktCounterHelper> pktCounterHelper);

// The slot through which one protocol's engine receives frames. The engine reacts to
// onReadableCount synchronously, while the slot holds the frame.
class ProtocolPkt : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<ProtocolPkt> {
   public:
    using Kiln::Notifiee<ProtocolPkt>::Notifiee;
    virtual void onPktMetaData() {}
    virtual void onReadableCount() {}
  };

  explicit ProtocolPkt(Cfm::Protocol protocol);
  Cfm::Protocol protocol() const { return protocol_; }
  const Kiln::Ptr<PktMetaData>& pktMetaData() const { return pktMetaData_; }
  void pktMetaDataIs(Kiln::Ptr<PktMetaData> record);
  std::uint32_t readableCount() const { return readableCount_; }
  std::uint32_t readableCountInc(std::uint32_t n);
  void readableCountIs(std::uint32_t n);

  Kiln::NotifieeList<ProtocolPkt>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::Protocol protocol_;
  Kiln::Ptr<PktMetaData> pktMetaData_;
  std::uint32_t readableCount_ = 0;
  mutable Kiln::NotifieeList<ProtocolPkt> notifieeList_;
};

Kiln::Ptr<ProtocolPkt> protocolPktFactory(Cfm::Protocol protocol);

class ProtocolPktCollection : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<ProtocolPktCollection> {
   public:
    using Kiln::Notifiee<ProtocolPktCollection>::Notifiee;
    virtual void onProtocolPkt(Cfm::Protocol) {}
  };

  ProtocolPktCollection() : Kiln::Entity("protocolPktCollection") {}

  Kiln::Ptr<ProtocolPkt> protocolPkt(Cfm::Protocol protocol) const { return byProtocol_[protocol]; }
  // The slot of `protocol`, made on first use; never null.
  Kiln::Ptr<ProtocolPkt> protocolPktIs(Cfm::Protocol protocol);
  void protocolPktDel(Cfm::Protocol protocol);
  void protocolPktDelAll();
  const Kiln::Collection<Cfm::Protocol, ProtocolPkt>& protocolPkt() const { return protocolPkt_; }

  Kiln::NotifieeList<ProtocolPktCollection>& notifieeList() const { return notifieeList_; }

 private:
  Kiln::Collection<Cfm::Protocol, ProtocolPkt> protocolPkt_;
  // The members again, indexed: every received frame looks up its slot.
  std::array<ProtocolPkt*, std::size_t(1) << (8 * sizeof(Cfm::Protocol))> byProtocol_{};
  mutable Kiln::NotifieeList<ProtocolPktCollection> notifieeList_;
};

}  // namespace CfmAgent
