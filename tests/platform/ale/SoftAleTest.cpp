// The layer's events in real time: one MEP at 100 ms with short alarm times, its remote MEP
// heard, silent, and heard again, then the MEP removed. Each wait ends on the event awaited.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/ale/CcmFrame.h"
#include "platform/ale/SoftAle.h"
#include "platform/intf/IntfStatus.h"
#include "platform/types/Bridging.h"

namespace {

using SoftAle::EventKind;
using Cfm::MepDefect;

const Lumen::IntfId kIntf("Ethernet1");

std::string describe(const SoftAle::Event& e) {
  std::string text(SoftAle::stringValue(e.kind));
  if (!e.remoteMepId.isNone()) text += " " + std::to_string(e.remoteMepId.value());
  if (e.defect != MepDefect::none) text += " " + Cfm::stringValue(e.defect);
  return text;
}

TEST(SoftAleLayer, EventsFollowTheRemoteMepAndTheAlarm) {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  auto db = Kiln::make<Orbis::EntityManager>(loop);
  auto bridging = Kiln::ptrCast<Bridging::Config>(db->entityIs("bridging/config", "Bridging::Config"));
  auto intfs = Kiln::ptrCast<Interface::AllIntfStatusDir>(
      db->entityIs("interface/status/all", "Interface::AllIntfStatusDir", "AllIntfStatusDir"));
  auto ale = Kiln::ptrCast<Cfm::AleConfig>(db->entityIs("cfm/aleConfig", "Cfm::AleConfig"));
  bridging->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
  auto port = bridging->switchIntfConfigIs(kIntf);
  port->modeIs(Bridging::switchIntfModeAccess);
  port->portVlanIs(Lumen::VlanIdOrNone(10));
  intfs->intfStatusIs(kIntf, "dev0");
  auto md = ale->mdConfigIs(Cfm::MdLevel(5));
  md->mdNameIs({Cfm::MdName("md"), Cfm::mdNameFormatCharacterString});
  const Cfm::MaNameWithFormat name{Cfm::MaName("ma"), Cfm::maNameFormatCharacterString};
  auto ma = md->maConfigIs(name.name);
  ma->maNameIs(name);
  ma->primaryVlanIdIs(Lumen::VlanIdOrNone(10));
  ma->ccmEnableIs(true);
  ma->ccmTxIntervalIs(Cfm::ccmTxIntervals[2]);
  auto mep = ma->localMepConfigIs(Cfm::MepId(1));
  mep->intfIdIs(kIntf);
  mep->remoteMepConfigIs(Cfm::MepId(2), true);
  SoftAle::Maid maid;
  Cfm::maidIs(maid, md->mdName(), name);
  SoftAle::CcmTemplate remote(SoftAle::CcmSender{Lumen::EthAddr(2, 0, 0, 0, 0, 2), Cfm::MdLevel(5), Cfm::MepId(2),
                                                 maid, Cfm::ccmTxIntervals[2], {}, SoftAle::portStatusUp,
                                                 SoftAle::interfaceStatusUp});

  std::string events;
  std::size_t count = 0;
  const SoftAle::MepKey key{Cfm::MdLevel(5), name.name, Cfm::MepId(1)};
  SoftAle::Layer layer(
      loop, db, [](Lumen::IntfId, std::span<const std::uint8_t>, const Interface::TxTiming&) { return true; },
      [&](const SoftAle::Event& e) {
        EXPECT_EQ(std::tie(e.mdLevel, e.maName, e.mepId), std::tie(std::get<0>(key), std::get<1>(key), std::get<2>(key)));
        events += describe(e) + ", ", ++count;
      },
      {{key, {Cfm::LowestAlarmPri::macRemErrXcon, 0.05, 0.05}}});
  std::uint32_t sequence = 1;
  // Until `until` events came; the remote MEP speaks every millisecond or so while `talking`.
  const auto awaitEvents = [&](std::size_t until, bool talking) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count < until && std::chrono::steady_clock::now() < end) {
      if (talking) layer.frameReceived(kIntf, remote.frame(sequence++, false));
      loop.runOnce(1);
    }
  };
  layer.frameReceived(kIntf, remote.frame(sequence++, false));
  awaitEvents(5, false);  // silent: failed after 350 ms, the alarm 50 ms later
  awaitEvents(8, true);   // heard: ok at once, the alarm cleared 50 ms later
  ma->localMepConfigDel(Cfm::MepId(1));
  layer.configChanged();
  EXPECT_EQ(events, "mepCreated, remoteMepOk 2, remoteMepFailed 2, defectRaised remoteCcm, faultAlarmRaised remoteCcm, "
                    "remoteMepOk 2, defectCleared remoteCcm, faultAlarmCleared remoteCcm, mepRemoved, ");
}

}  // namespace
