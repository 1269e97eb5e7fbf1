#include "platform/ale/SoftAle.h"

#include <linux/if.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <optional>
#include <system_error>
#include <tuple>

#include "platform/ale/CcmFrame.h"
#include "platform/ale/MepMonitor.h"
#include "platform/ale/PmResponder.h"
#include "platform/intf/IntfStatus.h"
#include "platform/kiln/Clock.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"

namespace SoftAle {

namespace {

// The longest the layer sleeps without looking at the configuration's write count.
constexpr double kConfigLookSeconds = 1.0;
// How often at most a MEP's measurement results are written while replies come: the
// percentiles are read off a histogram, not worth doing for every reply.
constexpr double kPmReportSeconds = 1.0;
// The senders whose 1DMs a MEP measures at once, and how long one must have been silent
// before a new sender takes its place.
constexpr std::size_t kOneWaySenders = 16;
constexpr double kOneWayQuietSeconds = 60;
// The longest a frame is believed to have waited for the layer; a kernel stamp older than
// that is from before the wall clock was stepped.
constexpr double kLongestWaitSeconds = 1.0;

double monotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Event eventOf(const MepKey& key, EventKind kind) {
  Event event;
  event.kind = kind;
  event.time = Kiln::now();
  std::tie(event.mdLevel, event.maName, event.mepId) = key;
  return event;
}

double seconds(Cfm::PmTime t) { return double(t.seconds) + double(t.nanoseconds) * 1e-9; }

}  // namespace

double arrivalOf(Cfm::PmTime rxTime, double monotonic, Cfm::PmTime wall) {
  const double waited = seconds(wall) - seconds(rxTime);
  // A stamp from the future, or from before a step of the wall clock, says nothing.
  return waited > 0 && waited < kLongestWaitSeconds ? monotonic - waited : monotonic;
}

namespace {

template <class T>
Kiln::Ptr<T> rootAt(const Orbis::EntityManager& db, std::string_view path) {
  return Kiln::ptrCast<T>(db.entity(path));
}

std::uint64_t portKey(Lumen::IntfId intf, std::uint16_t vlan) { return std::uint64_t(intf.denseIndex()) << 16 | vlan; }

constexpr double kNever = std::numeric_limits<double>::infinity();

}  // namespace

// One local MEP: what it sends and what watches its remote MEPs.
struct Layer::Mep {
  using Key = MepKey;
  Mep(Key key, MepMonitor monitor, AlarmSettings alarms)
      : key(std::move(key)),
        monitor(std::move(monitor)),
        fng(alarms),
        pm(std::get<0>(this->key), std::get<2>(this->key)) {}

  Key key;
  MepMonitor monitor;
  Fng fng;
  PmResponder pm;
  std::uint8_t defects = 0;  // as the last events told them
  std::optional<CcmTemplate> ccm;
  Lumen::IntfId intf;
  std::uint16_t vlan = 0;
  bool ccmEnable = false;
  double interval = 1;
  double nextSend = 0;
  std::uint32_t timer = 0;
  double due = kNever;          // its timer's deadline
  double sessionsDue = kNever;  // the earliest its sessions wait for
  std::uint32_t sequence = 1;
  Kiln::Ptr<Cfm::LocalMepAleStatus> status;
  // What its PM messages carry in front of the PDU.
  Lumen::EthAddr mac;
  Bridging::EgressTags tags;
  struct Session {
    std::unique_ptr<PmSession> pm;
    double nextSend = 0;
  };
  std::vector<Session> sessions;
  struct OneWay {
    std::unique_ptr<PmSession> pm;
    double heard = 0;
  };
  std::vector<OneWay> oneWay;
  bool pmChanged = false;  // results not yet written
  double pmReportAt = 0;   // not before then
};

Layer::Layer(Kiln::EventLoop& loop, Kiln::Ptr<Orbis::EntityManager> db, Transmit transmit, EventSink events,
             std::map<MepKey, AlarmSettings> alarmSettings,
             std::map<MepKey, std::vector<PmSessionSettings>> pmSessions)
    : loop_(loop),
      db_(std::move(db)),
      transmit_(std::move(transmit)),
      wheel_(monotonicNow()),
      events_(std::move(events)),
      alarmSettings_(std::move(alarmSettings)),
      pmSessions_(std::move(pmSessions)) {
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  loop_.fdIs(timerFd_, EPOLLIN, [this](std::uint32_t) {
    std::uint64_t expiries;
    while (::read(timerFd_, &expiries, sizeof expiries) > 0) {
    }
    timerFired();
  });
  configChanged();
}

Layer::~Layer() {
  loop_.fdDel(timerFd_);
  ::close(timerFd_);
}

void Layer::configChanged() {
  configWrites_ = ~std::uint64_t(0);
  run();
}

void Layer::timerFired() {
  if (wakeEarly_ > 0) {
    // Woken early on purpose: the rest on the clock. Not for the configuration's look,
    // which is not due at a deadline of the wheel's.
    const double due = wheel_.next();
    for (double left = due - monotonicNow(); left > 0 && left <= 2 * wakeEarly_; left = due - monotonicNow()) {
    }
  }
  run();
}

void Layer::arm(double deadline) {
  armed_ = deadline;
  deadline -= wakeEarly_;
  itimerspec when{};
  const double whole = std::floor(deadline);
  when.it_value.tv_sec = time_t(whole);
  when.it_value.tv_nsec = long((deadline - whole) * 1e9);
  if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
  ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void Layer::deviceStateIs(const std::string& device, std::optional<std::uint8_t> operState) {
  if (operState) {
    deviceStates_[device] = *operState;
  } else {
    deviceStates_.erase(device);
  }
}

// The ifOperStatus of RFC 2863, which Linux reports with the same states numbered
// differently. Linux says "unknown" of devices whose drivers do not track the state, and
// carries traffic on them: those count as up.
std::uint8_t Layer::interfaceStatusOf(Lumen::IntfId intf) const {
  const auto status = intfs_ ? intfs_->intfStatus(intf) : Kiln::Ptr<Interface::IntfStatus>();
  if (!status) return interfaceStatusNotPresent;
  const auto it = deviceStates_.find(status->deviceName());
  switch (it == deviceStates_.end() ? std::uint8_t(IF_OPER_UP) : it->second) {
    case IF_OPER_NOTPRESENT: return interfaceStatusNotPresent;
    case IF_OPER_DOWN: return interfaceStatusDown;
    case IF_OPER_LOWERLAYERDOWN: return interfaceStatusLowerLayerDown;
    case IF_OPER_TESTING: return interfaceStatusTesting;
    case IF_OPER_DORMANT: return interfaceStatusDormant;
    default: return interfaceStatusUp;
  }
}

void Layer::run() {
  reconcile();
  if (!intfs_) intfs_ = rootAt<Interface::AllIntfStatusDir>(*db_, "interface/status/all");
  const double now = monotonicNow();
  due_.clear();
  for (const std::uint32_t timer : wheel_.expire(now)) due_.push_back(meps_[timer].get());
  // After a stall, CCMs that came in time may still wait in the sockets: they are read
  // before a remote MEP (or a defect) is timed out for want of them, which the next read
  // would undo (a flap). Only then: a tick that only sends goes first, before the frames
  // that wait.
  if (receivePending_ && std::any_of(due_.begin(), due_.end(), [now](const Mep* mep) {
        return mep->monitor.nextDeadline() <= std::max(now, mep->due);
      })) {
    receivePending_();
  }
  // One interface's CCMs at a time, so that they leave together; in the same order each
  // time, so that a MEP's place in the batch, which delays its CCM by the sends before it,
  // does not move from one CCM to the next and stretch one gap while shrinking another.
  std::sort(due_.begin(), due_.end(), [](const Mep* a, const Mep* b) {
    return std::pair(a->intf.denseIndex(), a->timer) < std::pair(b->intf.denseIndex(), b->timer);
  });
  for (std::size_t i = 0; i < due_.size();) {
    const Lumen::IntfId intf = due_[i]->intf;
    if (transmitBatch_) transmitBatch_(intf, true);
    for (; i < due_.size() && due_[i]->intf == intf; ++i) step(*due_[i], now);
    if (transmitBatch_) transmitBatch_(intf, false);
  }
  arm(std::min(wheel_.next(), now + kConfigLookSeconds));
}

void Layer::step(Mep& mep, double wake) {
  // Taken up to a wheel slot before it is due, it runs as at its due time.
  const double now = std::max(wake, mep.due);
  bool changed = mep.monitor.tick(now);
  changed = noteChanges(mep, now) || changed;
  if (mep.ccmEnable && mep.nextSend <= now) {
    // The interface's status as of this CCM: its device may have gone, come back or changed.
    mep.ccm->interfaceStatusIs(interfaceStatusOf(mep.intf));
    const auto frame = mep.ccm->frame(mep.sequence++, mep.monitor.presentRdi());
    if (transmit_(mep.intf, frame, {})) ++mep.status->ccmsSent;
    // On time from the schedule, not from when the timer fired; a MEP that fell a whole
    // interval behind starts again from now rather than sending a burst.
    mep.nextSend += mep.interval;
    if (mep.nextSend <= now) mep.nextSend = now + mep.interval;
  }
  if (changed) report(mep, now);
  mep.sessionsDue = runSessions(mep, now);
  schedule(mep);
}

void Layer::schedule(Mep& mep) {
  mep.due = std::min({mep.monitor.nextDeadline(), mep.fng.nextDeadline(), mep.sessionsDue,
                      mep.ccmEnable ? mep.nextSend : kNever});
  wheel_.set(mep.timer, mep.due);
}

void Layer::reconcile() {
  const auto config = rootAt<Cfm::AleConfig>(*db_, "cfm/aleConfig");
  const std::uint64_t writes = config ? config->writes() : 0;
  if (writes == configWrites_) return;
  configWrites_ = writes;

  bridging_ = rootAt<Bridging::Config>(*db_, "bridging/config");
  const auto& bridging = bridging_;
  auto status = rootAt<Cfm::AleStatus>(*db_, "cfm/aleStatus");
  if (!status) status = Kiln::ptrCast<Cfm::AleStatus>(db_->entityIs("cfm/aleStatus", "Cfm::AleStatus"));

  std::map<Mep::Key, std::unique_ptr<Mep>> old;
  std::vector<const Mep*> created;
  for (auto& mep : meps_) old.emplace(mep->key, std::move(mep));
  meps_.clear();
  const double now = monotonicNow();
  const Cfm::AleConfig::MdConfigs noDomains;
  for (const auto& [level, md] : config ? config->mdConfig() : noDomains) {
    // Acknowledged as a switch's hardware would: the default MIP is what it was told.
    status->mdStatusIs(level)->defaultMipIs(md->defaultMip());
    for (const auto& [maKey, ma] : md->maConfig()) {
      if (ma->direction() != Cfm::mepDirectionDown) continue;
      Maid maid;
      // Names no CCM can carry: the agent's configuration check refuses them.
      if (Cfm::maidIs(maid, md->mdName(), ma->maName()) != Cfm::MaidFault::none) continue;
      for (const auto& [mepId, mepConfig] : ma->localMepConfig()) {
        const auto port = bridging ? bridging->switchIntfConfig(mepConfig->intfId()) : nullptr;
        if (!port || ma->primaryVlanId().isNone()) continue;
        std::vector<Cfm::MepId> remotes;
        for (const auto& [remote, on] : mepConfig->remoteMepConfig()) {
          if (on) remotes.push_back(remote);
        }
        Mep::Key key{level, maKey, mepId};
        auto it = old.find(key);
        std::unique_ptr<Mep> mep;
        if (it != old.end() && it->second->monitor.maid() == maid) {
          mep = std::move(it->second);
          old.erase(it);
          mep->monitor.remoteMepIdsIs(remotes, now);
          mep->monitor.ccmIntervalIs(ma->ccmTxInterval(), now);
        } else {
          mep = std::make_unique<Mep>(key, MepMonitor(level, mepId, maid, ma->ccmTxInterval(), remotes, now),
                                      alarmSettingsOf(key));
          created.push_back(mep.get());
        }
        mep->intf = mepConfig->intfId();
        mep->vlan = ma->primaryVlanId().value();
        mep->interval = ma->ccmTxInterval().value();
        if (!mep->ccmEnable && ma->ccmEnable()) mep->nextSend = now;
        mep->ccmEnable = ma->ccmEnable() && mep->interval > 0;
        mep->ccm.emplace(CcmSender{bridging->bridgeMacAddr(), level, mepId, maid, ma->ccmTxInterval(),
                                   Bridging::egressTags(*port, Lumen::VlanId(mep->vlan)), portStatusUp,
                                   interfaceStatusUp});
        mep->mac = bridging->bridgeMacAddr();
        mep->tags = Bridging::egressTags(*port, Lumen::VlanId(mep->vlan));
        mep->pm.senderIs(mep->mac, mep->tags);
        mep->status = status->mdStatusIs(level)->maStatusIs(maKey)->localMepStatusIs(mepId);
        mep->status->intfId = mep->intf;
        syncSessions(*mep, now);
        meps_.push_back(std::move(mep));
      }
    }
  }
  // What no longer runs leaves the status with the MEP, and a domain no longer configured
  // with its level.
  std::vector<Cfm::MdLevel> goneLevels;
  for (const auto& [level, md] : status->mdStatus()) {
    if (!config || !config->mdConfig(level)) goneLevels.push_back(level);
  }
  for (auto level : goneLevels) status->mdStatusDel(level);
  for (const auto& [key, mep] : old) {
    const auto& [level, maKey, mepId] = key;
    if (auto md = status->mdStatus(level)) {
      if (auto ma = md->maStatus(maKey)) {
        ma->localMepStatusDel(mepId);
        if (ma->localMepStatus().empty()) md->maStatusDel(maKey);
      }
    }
  }
  for (const auto& [key, mep] : old) emit(*mep, EventKind::mepRemoved);
  for (const Mep* mep : created) emit(*mep, EventKind::mepCreated);
  // Timers are places in the list: every MEP's is set anew, on a wheel of its own.
  wheel_ = TimerWheel(now);
  byPort_.clear();
  for (std::uint32_t timer = 0; timer < meps_.size(); ++timer) {
    Mep& mep = *meps_[timer];
    // A shorter list or interval may have failed remote MEPs or cleared defects at once.
    noteChanges(mep, now);
    report(mep, now);
    mep.timer = timer;
    byPort_[portKey(mep.intf, mep.vlan)].push_back(&mep);
  }
  for (auto& mep : meps_) schedule(*mep);
}

void Layer::alarmSettingsIs(std::map<MepKey, AlarmSettings> settings) {
  alarmSettings_ = std::move(settings);
  const double now = monotonicNow();
  for (auto& mep : meps_) {
    if (mep->fng.settings() == alarmSettingsOf(mep->key)) continue;
    mep->fng.settingsIs(alarmSettingsOf(mep->key), now);
    noteChanges(*mep, now);
    report(*mep, now);
    schedule(*mep);
  }
  run();
}

void Layer::pmSessionsIs(std::map<MepKey, std::vector<PmSessionSettings>> sessions) {
  pmSessions_ = std::move(sessions);
  const double now = monotonicNow();
  for (auto& mep : meps_) {
    syncSessions(*mep, now);
    schedule(*mep);
  }
  run();
}

void Layer::syncSessions(Mep& mep, double now) {
  const auto it = pmSessions_.find(mep.key);
  const std::size_t count = it == pmSessions_.end() ? 0 : it->second.size();
  // Unchanged: nothing to do, the common case of every configuration change.
  if (count == mep.sessions.size() &&
      (count == 0 || std::equal(it->second.begin(), it->second.end(), mep.sessions.begin(),
                                [](const auto& settings, const auto& s) { return s.pm->settings() == settings; }))) {
    return;
  }
  std::vector<Mep::Session> old = std::move(mep.sessions);
  mep.sessions.clear();
  const auto& [level, maName, mepId] = mep.key;
  for (std::size_t i = 0; i < count; ++i) {
    const PmSessionSettings& settings = it->second[i];
    auto same = std::find_if(old.begin(), old.end(), [&](const auto& s) { return s.pm && s.pm->settings() == settings; });
    if (same != old.end()) {
      mep.sessions.push_back(std::move(*same));
    } else {
      mep.sessions.push_back({std::make_unique<PmSession>(settings, level, mepId, seconds(pmTimeNow())), now});
    }
  }
  reportSessions(mep, now);
  mep.sessionsDue = now;
}

double Layer::runSessions(Mep& mep, double now) {
  double next = std::numeric_limits<double>::infinity();
  if (mep.sessions.empty() && mep.oneWay.empty()) return next;
  const double wallNow = seconds(pmTimeNow());
  for (auto& s : mep.sessions) {
    PmSession& pm = *s.pm;
    const PmSessionSettings& settings = pm.settings();
    if (s.nextSend <= now) {
      std::optional<Lumen::EthAddr> target = settings.targetMac;
      if (const RemoteMep* remote = target ? nullptr : mep.monitor.remoteMep(settings.targetMepId);
          remote && remote->lastCcmTime) {
        target = remote->mac;
      }
      if (target) {
        const auto message = pm.message(*target, mep.mac, mep.tags, pmTimeNow());
        // A DMM's send time is the kernel's, kept here; a 1DM carries the time it leaves.
        timespec sentAt{};
        Interface::TxTiming timing;
        if (settings.kind == Cfm::PmKind::dmm) timing.sentAt = &sentAt;
        if (settings.kind == Cfm::PmKind::oneDm) timing.stampAt = pm.txStampAt();
        const bool sent = transmit_(mep.intf, message, timing);
        pm.messageSent(sent, Cfm::PmTime::of(sentAt));
      } else {
        pm.noTarget();
      }
      mep.pmChanged = true;
      // As the CCMs: on time from the schedule, with no burst after falling behind.
      s.nextSend += settings.interval;
      if (s.nextSend <= now) s.nextSend = now + settings.interval;
    }
    next = std::min(next, s.nextSend);
  }
  const auto roll = [&](PmSession& pm) {
    if (wallNow >= pm.nextRoll()) {
      pm.roll(wallNow, [&](const PmCrossing& crossing) {
        if (!events_) return;
        Event event = eventOf(mep.key, EventKind::pmThresholdCrossed);
        event.pmSession = pm.settings().name;
        event.pmFigure = crossing.figure;
        event.pmValue = crossing.value;
        event.pmThreshold = crossing.threshold;
        events_(event);
      });
      mep.pmChanged = true;
      mep.pmReportAt = now;
    }
    // The wall clock's end, on the monotonic clock the timer runs on.
    next = std::min(next, now + (pm.nextRoll() - wallNow));
  };
  for (auto& s : mep.sessions) roll(*s.pm);
  for (auto& w : mep.oneWay) roll(*w.pm);
  if (mep.pmChanged && mep.pmReportAt <= now) reportSessions(mep, now);
  if (mep.pmChanged) next = std::min(next, mep.pmReportAt);
  return next;
}

void Layer::reportSessions(Mep& mep, double now) {
  auto& out = mep.status->pmSessions;
  out.resize(mep.sessions.size() + mep.oneWay.size());
  std::size_t i = 0;
  for (const auto& s : mep.sessions) s.pm->report(out[i++]);
  for (const auto& w : mep.oneWay) w.pm->report(out[i++]);
  mep.pmChanged = false;
  mep.pmReportAt = now + kPmReportSeconds;
}

PmSession* Layer::oneWayFrom(Mep& mep, const Lumen::EthAddr& sender, double now) {
  for (auto& w : mep.oneWay) {
    if (w.pm->settings().targetMac == sender) {
      w.heard = now;
      return w.pm.get();
    }
  }
  PmSessionSettings settings;
  settings.name = "1dm-in from " + sender.stringValue();
  settings.kind = Cfm::PmKind::oneDmIn;
  settings.targetMac = sender;
  const auto& [level, maName, mepId] = mep.key;
  auto made = std::make_unique<PmSession>(std::move(settings), level, mepId, seconds(pmTimeNow()));
  if (mep.oneWay.size() < kOneWaySenders) {
    mep.oneWay.push_back({std::move(made), now});
    return mep.oneWay.back().pm.get();
  }
  auto quiet = std::min_element(mep.oneWay.begin(), mep.oneWay.end(),
                                [](const auto& a, const auto& b) { return a.heard < b.heard; });
  if (now - quiet->heard < kOneWayQuietSeconds) return nullptr;
  *quiet = {std::move(made), now};
  return quiet->pm.get();
}

AlarmSettings Layer::alarmSettingsOf(const MepKey& key) const {
  const auto it = alarmSettings_.find(key);
  return it == alarmSettings_.end() ? AlarmSettings() : it->second;
}

void Layer::emit(const Mep& mep, EventKind kind, Cfm::MepDefect defect, Cfm::MepId remote) {
  if (!events_) return;
  Event event = eventOf(mep.key, kind);
  event.remoteMepId = remote;
  event.defect = defect;
  events_(event);
}

bool Layer::noteChanges(Mep& mep, double now) {
  bool changed = false;
  for (const Cfm::MepId id : mep.monitor.stateChanges()) {
    // The state it has now: one that failed and came back between two calls reads ok twice.
    const RemoteMep* remote = mep.monitor.remoteMep(id);
    if (!remote) continue;
    if (remote->state == Cfm::RemoteMepState::failed) emit(mep, EventKind::remoteMepFailed, {}, id);
    if (remote->state == Cfm::RemoteMepState::ok) emit(mep, EventKind::remoteMepOk, {}, id);
    changed = true;
  }
  mep.monitor.stateChangesClear();
  const std::uint8_t defects = mep.monitor.defects().bits();
  if (defects != mep.defects) {
    // Clears first, then raises from the highest priority down: the events read in the
    // order that matters to whoever acts on them.
    for (auto d = unsigned(Cfm::MepDefect::xconCcm); d >= unsigned(Cfm::MepDefect::rdiCcm); --d) {
      const bool was = mep.defects & (1u << d), is = defects & (1u << d);
      if (was && !is) emit(mep, EventKind::defectCleared, Cfm::MepDefect(d));
    }
    for (auto d = unsigned(Cfm::MepDefect::xconCcm); d >= unsigned(Cfm::MepDefect::rdiCcm); --d) {
      const bool was = mep.defects & (1u << d), is = defects & (1u << d);
      if (!was && is) emit(mep, EventKind::defectRaised, Cfm::MepDefect(d));
    }
    mep.defects = defects;
    changed = true;
  }
  const Cfm::MepDefect alarmDefect = mep.fng.alarmDefect();
  const Cfm::FngState fngState = mep.fng.state();
  switch (mep.fng.update(mep.monitor.highestDefect(), now)) {
    case Fng::Change::raised:
      emit(mep, EventKind::faultAlarmRaised, mep.fng.alarmDefect());
      break;
    case Fng::Change::cleared:
      emit(mep, EventKind::faultAlarmCleared, alarmDefect);
      break;
    case Fng::Change::none:
      break;
  }
  return changed || mep.fng.state() != fngState;
}

void Layer::frameReceived(Lumen::IntfId intf, std::span<const std::uint8_t> frame, Cfm::PmTime rxTime) {
  // A MEP runs only where the bridging configuration gave its port one.
  if (meps_.empty()) return;
  const auto port = bridging_->switchIntfConfig(intf);
  if (!port) return;
  const auto frameRead = cfmFrameOf(frame, Bridging::outerTpid(*port));
  if (!frameRead.value) return;
  const CfmFrame& cfm = *frameRead.value;
  const std::uint16_t vlan = Bridging::ingressVlan(*port, cfm.outerVid, cfm.innerVid).vlan;
  const auto* header = Lumen::overlayAt<Cfm::PmHeader>(cfm.pdu, 0);
  if (header && header->opCode() != Cfm::opCodeCcm) return pmReceived(intf, vlan, cfm, header->mdLevel(), rxTime);
  const auto ccm = parseCcm(cfm.pdu, cfm.src).value;
  if (!ccm) return;
  const auto meps = byPort_.find(portKey(intf, vlan));
  if (meps == byPort_.end()) return;
  // When it came, not when it was read: a CCM that waited in the ring behind a burst of
  // sends still renewed its remote MEP from then.
  const double now = arrivalOf(rxTime, monotonicNow(), pmTimeNow());
  double deadline = armed_;
  for (Mep* mep : meps->second) {
    const bool rdiBefore = mep->monitor.presentRdi();
    const CcmResult result = mep->monitor.ccmReceived(*ccm, now);
    if (isError(result)) ++mep->status->errorCcms;
    if (isXcon(result)) ++mep->status->xconCcms;
    noteChanges(*mep, now);
    // Accepted: the id is a listed remote MEP's, so a valid one.
    report(*mep, now, result == CcmResult::accepted ? Cfm::MepId(ccm->mepId) : Cfm::MepId());
    // A defect raised: the next CCM carries RDI at once rather than an interval later.
    if (!rdiBefore && mep->monitor.presentRdi() && mep->ccmEnable) mep->nextSend = now;
    // The remote MEP's timeout moved on; a first CCM may have given the monitor its first.
    schedule(*mep);
    deadline = std::min(deadline, mep->due);
  }
  if (deadline < armed_) arm(deadline);
}

void Layer::pmReceived(Lumen::IntfId intf, std::uint16_t vlan, const CfmFrame& frame, std::uint8_t level,
                       Cfm::PmTime rxTime) {
  const auto meps = byPort_.find(portKey(intf, vlan));
  if (meps == byPort_.end()) return;
  const bool group = frame.dst == Cfm::ccmGroupAddr(Cfm::MdLevel(level));
  for (Mep* mep : meps->second) {
    // The MEP's own CCM rules: its port, its VLAN, its level, its address or its level's
    // group. A frame of another level is another MEP's or passes through.
    if (std::get<0>(mep->key).value() != level) continue;
    if (!group && frame.dst != bridging_->bridgeMacAddr()) continue;
    const std::uint8_t opCode = Lumen::overlayAt<Cfm::PmHeader>(frame.pdu, 0)->opCode();
    if (opCode == Cfm::opCodeDmr || opCode == Cfm::opCodeSlr) {
      // Replies come to the MEP's own address, to the session whose message they answer.
      if (group) continue;
      for (auto& s : mep->sessions) {
        if (s.pm->replyReceived(frame, rxTime)) {
          noteResults(*mep);
          return;
        }
      }
      continue;
    }
    const std::uint64_t oneDms = mep->pm.counters().oneDmIn;
    const auto reply = mep->pm.answer(frame, rxTime);
    if (!reply.empty()) mep->pm.replySent(transmit_(intf, reply, {.stampAt = mep->pm.txStampAt()}));
    mep->status->pm = mep->pm.counters();
    if (mep->pm.counters().oneDmIn != oneDms) {
      const auto* oneDm = Lumen::overlayAt<Cfm::OneDmPdu>(frame.pdu, 0);
      if (PmSession* pm = oneWayFrom(*mep, frame.src, monotonicNow())) {
        pm->oneWayReceived(oneDm->txTimeStampf(), rxTime);
        noteResults(*mep);
      }
    }
    // Two MEPs of one port, VLAN and level share the bridge's address: the first answers,
    // as one port answers once.
    return;
  }
}

void Layer::noteResults(Mep& mep) {
  mep.pmChanged = true;
  const double now = monotonicNow();
  if (mep.pmReportAt <= now) {
    reportSessions(mep, now);
  } else if (mep.pmReportAt < mep.due) {
    mep.sessionsDue = std::min(mep.sessionsDue, mep.pmReportAt);
    schedule(mep);
    if (mep.due < armed_) arm(mep.due);
  }
}

namespace {

Cfm::RemoteMepAleStatus remoteStatus(const RemoteMep& remote, double now, double wallNow) {
  Cfm::RemoteMepAleStatus out;
  out.mepId = remote.mepId;
  out.state = remote.state;
  out.lastCcmTime = remote.lastCcmTime ? wallNow - (now - *remote.lastCcmTime) : 0;
  out.ccmsReceived = remote.ccmsReceived;
  out.sequenceErrors = remote.sequenceErrors;
  out.rdi = remote.rdi;
  out.macAddr = remote.mac;
  out.portStatus = remote.portStatus.value_or(0);
  out.interfaceStatus = remote.interfaceStatus.value_or(0);
  out.since = wallNow - (now - remote.since);
  out.flaps = remote.flaps;
  return out;
}

}  // namespace

void Layer::report(Mep& mep, double now, Cfm::MepId heard) {
  auto& status = *mep.status;
  status.rdiSent = mep.monitor.presentRdi();
  status.defects = mep.monitor.defects().bits();
  status.highestDefect = mep.monitor.highestDefect();
  status.ccmSequenceErrors = mep.monitor.sequenceErrors();
  const auto& alarms = mep.fng.settings();
  status.lowestAlarmPri = alarms.lowestAlarmPri;
  status.fngAlarmTime = alarms.fngAlarmTime;
  status.fngResetTime = alarms.fngResetTime;
  status.fngState = mep.fng.state();
  status.faultAlarm = mep.fng.alarm();
  status.faultAlarmDefect = mep.fng.alarmDefect();
  const double wallNow = Kiln::now();
  const auto& remotes = mep.monitor.remoteMeps();
  // A CCM changes one remote MEP: its entry alone is rewritten (both lists are by MEP id).
  if (const RemoteMep* remote = heard.isNone() ? nullptr : mep.monitor.remoteMep(heard);
      remote && status.remoteMepStatus.size() == remotes.size()) {
    status.remoteMepStatus[std::size_t(remote - remotes.data())] = remoteStatus(*remote, now, wallNow);
    return;
  }
  status.remoteMepStatus.clear();
  for (const auto& r : remotes) status.remoteMepStatus.push_back(remoteStatus(r, now, wallNow));
}

}  // namespace SoftAle
