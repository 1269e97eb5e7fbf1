#pragma once
// The software ALE layer: on a Linux host, what a switch's hardware does with the CFM
// configuration the agent writes. It reads "cfm/aleConfig" and "bridging/config" from the
// state database, sends the CCMs of every local MEP whose association has CCMs enabled,
// watches the CCMs that come back for those MEPs, and writes what it learns into
// "cfm/aleStatus". It never calls the agent, and the agent never calls it.
//
// Only down MEPs run here: an up MEP faces the bridge's relay, which on Linux is the
// kernel's bridge, not a place this layer can send into or listen at. Up MEPs are left out
// of the status.
//
// Frames reach the layer through the packet-access sockets' tap (Interface::Pam::rxTapIs),
// which hands over only CCMs and Y.1731's performance frames, before the agent's queue: the
// agent still gets every frame, and the layer adds no socket and no pass over the rest.
// CCMs leave through whatever `Transmit` the runner gives it (the same sockets).
//
// Each MEP also answers DMM, SLM and 1DM (PmResponder) and runs the measurement sessions
// an operator gives it (PmSession), whose results go to the MEP's status.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/ale/Events.h"
#include "platform/ale/Fng.h"
#include "platform/ale/PmResponder.h"
#include "platform/ale/PmSession.h"
#include "platform/ale/TimerWheel.h"
#include "platform/kiln/EventLoop.h"
#include "platform/lumen/IntfId.h"
#include "platform/intf/IntfStatus.h"
#include "platform/intf/TxTiming.h"
#include "platform/orbis/EntityManager.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

// When a frame stamped `rxTime` by the kernel (on the wall clock) arrived, on the monotonic
// clock, given both clocks' readings now; now when the stamp cannot be right.
double arrivalOf(Cfm::PmTime rxTime, double monotonic, Cfm::PmTime wall);

class Layer {
 public:
  // Sends one frame (Ethernet header first) out of an interface, timed as `timing` says
  // (a DMR's TxTimeStampb written as it leaves, a DMM's kernel send time); false when it
  // could not.
  using Transmit =
      std::function<bool(Lumen::IntfId, std::span<const std::uint8_t>, const Interface::TxTiming& timing)>;

  // Frames sent between (intf, true) and (intf, false) may leave together, in one system
  // call: the layer sends one interface's CCMs of a tick at a time.
  using TransmitBatch = std::function<void(Lumen::IntfId, bool)>;

  // `events` hears of every event from the first MEP created on (platform/ale/Events.h).
  Layer(Kiln::EventLoop& loop, Kiln::Ptr<Orbis::EntityManager> db, Transmit transmit, EventSink events = {},
        std::map<MepKey, AlarmSettings> alarmSettings = {},
        std::map<MepKey, std::vector<PmSessionSettings>> pmSessions = {});
  ~Layer();
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  // Reads the configuration again at once; without this call a change is seen within a
  // second (the configuration tree carries no notifications, only a count of its writes).
  void configChanged();
  // A frame the sockets' tap handed over. `rxTime` is when it arrived, the kernel's
  // timestamp where there is one: a CCM renews its remote MEP from then, and a Y.1731
  // frame's answer carries it.
  void frameReceived(Lumen::IntfId intf, std::span<const std::uint8_t> frame, Cfm::PmTime rxTime = pmTimeNow());
  // A kernel device's operational state (IF_OPER_*, as rtnetlink reports it), for the
  // Interface Status TLVs of the MEPs on its interface; none when the device went. A device
  // never reported is up.
  void deviceStateIs(const std::string& device, std::optional<std::uint8_t> operState);

  // The fault alarm settings of the MEPs the map names; the others take the defaults. A
  // running MEP takes its new settings at once.
  void alarmSettingsIs(std::map<MepKey, AlarmSettings> settings);

  // The Y.1731 measurement sessions of the MEPs the map names; the others run none. A
  // session whose settings are unchanged runs on with its intervals; any other starts anew.
  void pmSessionsIs(std::map<MepKey, std::vector<PmSessionSettings>> sessions);

  void transmitBatchIs(TransmitBatch batch) { transmitBatch_ = std::move(batch); }
  // Hands over the frames the sockets hold (through frameReceived), before the layer decides
  // what has not come in time.
  void receivePendingIs(std::function<void()> receive) { receivePending_ = std::move(receive); }
  // Wakes this long before the earliest deadline and waits the rest on the clock, without
  // sleeping: a wake-up that comes late by less costs nothing. For a loop at a real-time
  // priority on a core of its own, where the wait takes no one's time. 0: off.
  void wakeEarlyIs(double seconds) { wakeEarly_ = seconds; }

  // The MEPs running now.
  std::size_t mepCount() const { return meps_.size(); }

 private:
  struct Mep;
  void reconcile();
  void timerFired();
  void run();
  // What is due of one MEP: its CCM, its remote MEPs' and defects' timeouts, its alarm and
  // its sessions.
  void step(Mep& mep, double wake);
  // Puts the MEP's timer at the earliest of what it waits for.
  void schedule(Mep& mep);
  void arm(double deadline);
  std::uint8_t interfaceStatusOf(Lumen::IntfId intf) const;
  // Writes the MEP's status; after a CCM accepted from `heard`, only that remote MEP's.
  void report(Mep& mep, double now, Cfm::MepId heard = Cfm::MepId());
  // A DMM, SLM or 1DM (or another opcode, which no MEP answers) of MD level `level`
  // received on `intf` in `vlan`.
  void pmReceived(Lumen::IntfId intf, std::uint16_t vlan, const CfmFrame& frame, std::uint8_t level,
                  Cfm::PmTime rxTime);
  // Raises the events of what changed in the MEP's remote MEPs, defects and alarm since the
  // last call; true when anything did.
  bool noteChanges(Mep& mep, double now);
  void emit(const Mep& mep, EventKind kind, Cfm::MepDefect defect = Cfm::MepDefect::none,
            Cfm::MepId remote = Cfm::MepId());
  AlarmSettings alarmSettingsOf(const MepKey& key) const;
  // Makes the MEP's sessions those configured for it, keeping the unchanged ones.
  void syncSessions(Mep& mep, double now);
  // Sends what is due, ends the intervals that are over, and writes the results when due;
  // returns the earliest time (monotonic) any of that is due next.
  double runSessions(Mep& mep, double now);
  void reportSessions(Mep& mep, double now);
  // A reply or 1DM was taken: the results are written now, or when next due.
  void noteResults(Mep& mep);
  // The session that measures the 1DMs `sender` sends the MEP; none when the MEP already
  // measures as many senders as it may and none of them has gone quiet.
  PmSession* oneWayFrom(Mep& mep, const Lumen::EthAddr& sender, double now);

  Kiln::EventLoop& loop_;
  Kiln::Ptr<Orbis::EntityManager> db_;
  Transmit transmit_;
  int timerFd_ = -1;
  double armed_ = 0;  // when the timer fires next (monotonic seconds)
  std::uint64_t configWrites_ = ~std::uint64_t(0);
  std::vector<std::unique_ptr<Mep>> meps_;  // a MEP's timer is its place here
  TimerWheel wheel_;
  std::vector<Mep*> due_;
  // The MEPs of each port and VLAN (portKey()): where a received frame goes.
  std::unordered_map<std::uint64_t, std::vector<Mep*>> byPort_;
  TransmitBatch transmitBatch_;
  std::function<void()> receivePending_;
  double wakeEarly_ = 0;
  // The bridging configuration read at the last walk, and the interfaces' status.
  Kiln::Ptr<Bridging::Config> bridging_;
  Kiln::Ptr<Interface::AllIntfStatusDir> intfs_;
  std::map<std::string, std::uint8_t, std::less<>> deviceStates_;
  EventSink events_;
  std::map<MepKey, AlarmSettings> alarmSettings_;
  std::map<MepKey, std::vector<PmSessionSettings>> pmSessions_;
};

}  // namespace SoftAle
