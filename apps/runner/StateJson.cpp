#include "apps/runner/StateJson.h"

#include "apps/runner/Names.h"
#include "platform/intf/IntfStatus.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmStatus.h"

namespace Runner {

using nlohmann::json;

namespace {

std::string decimal(unsigned value) { return std::to_string(value); }
std::string level(Cfm::MdLevel l) { return decimal(l.value()); }
std::string mep(Cfm::MepId id) { return decimal(id.value()); }

json counters(const CfmAgent::Counter* counter) {
  json out = json::object();
  if (!counter) return out;
  for (const auto& [intf, intfCounter] : counter->intfCounter()) {
    json& byLevel = out[intf.stringValue()] = json::object();
    for (const auto& [mdLevel, mdCounter] : intfCounter->mdCounter()) {
      json& byOpCode = byLevel[level(mdLevel)] = json::object();
      for (const auto& [opCode, opCodeCounter] : mdCounter->opCodeCounter()) {
        json& byName = byOpCode[decimal(opCode)] = json::object();
        for (const auto& [id, value] : opCodeCounter->counter()) {
          byName[CfmAgent::stringValue(id)] = value;
        }
      }
    }
  }
  return out;
}

json ccmDatabase(const CfmAgent::CcmDb* db) {
  json out = json::object();
  if (!db) return out;
  for (const auto& [mdLevel, md] : db->ccmMd()) {
    json& byName = out[level(mdLevel)] = json::object();
    for (const auto& [maName, ma] : md->ccmMa()) {
      json& byMep = byName[nameText(maName.stringValue())] = json::object();
      for (const auto& [mepId, info] : ma->ccmMepInfo()) {
        byMep[mep(mepId)] = {
            {"vlanId", info->vlanId().value()},
            {"intf", info->intf().stringValue()},
            {"srcMac", info->srcMac().stringValue()},
            {"lastCcmReceivedTime", info->lastCcmReceivedTime()},
        };
      }
    }
  }
  return out;
}

json mipCcmDatabase(const CfmAgent::MipCcmDb* db) {
  json out = json::object();
  if (!db) return out;
  for (const auto& [vlanId, vlan] : db->vlan()) {
    json& byMac = out[decimal(vlanId.value())] = json::object();
    for (const auto& [mac, intf] : vlan->entry()) byMac[mac.stringValue()] = intf.stringValue();
  }
  return out;
}

// How full each database is against the limit the agent applies: the configuration's, or
// the agent's default before one is written.
json databaseFill(const CfmAgent::Status* status, const CfmAgent::Config* config) {
  json out = json::object();
  if (!status) return out;
  if (const auto db = status->ccmDb()) {
    out["ccmDatabase"] = {
        {"entries", db->entryCount()},
        {"limit", config ? config->ccmDbEntryLimit() : CfmAgent::Config::defaultCcmDbEntryLimit}};
  }
  if (const auto db = status->mipCcmDb()) {
    out["mipCcmDatabase"] = {
        {"entries", db->entryCount()},
        {"limit", config ? config->mipCcmDbEntryLimit() : CfmAgent::Config::defaultMipCcmDbEntryLimit}};
  }
  return out;
}

json aleConfig(const Cfm::AleConfig* ale) {
  json out = json::object();
  if (!ale) return out;
  for (const auto& [mdLevel, md] : ale->mdConfig()) {
    json mas = json::object();
    for (const auto& [key, ma] : md->maConfig()) {
      json meps = json::object();
      for (const auto& [mepId, localMep] : ma->localMepConfig()) {
        json remotes = json::object();
        for (const auto& [remote, value] : localMep->remoteMepConfig())
          remotes[mep(remote)] = value;
        meps[mep(mepId)] = {
            {"intfId", localMep->intfId().stringValue()},
            {"remoteMepConfig", std::move(remotes)},
        };
      }
      mas[nameText(key.stringValue())] = {
          {"maName", nameText(ma->maName().name.stringValue())},
          {"maNameFormat", maNameFormatName(ma->maName().format)},
          {"direction", directionName(ma->direction())},
          {"primaryVlanId", ma->primaryVlanId().value()},
          {"ccmEnable", ma->ccmEnable()},
          {"ccmTxInterval", ma->ccmTxInterval().value()},
          {"localMepConfig", std::move(meps)},
      };
    }
    out[level(mdLevel)] = {
        {"mdName", nameText(md->mdName().name.stringValue())},
        {"mdNameFormat", mdNameFormatName(md->mdName().format)},
        {"defaultMip", md->defaultMip()},
        {"maConfig", std::move(mas)},
    };
  }
  return out;
}

// What the agent counted on one interface at one level for one opcode.
std::uint64_t agentCount(const CfmAgent::Counter* counter, Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                         Cfm::OpCode op, CfmAgent::CounterId id) {
  const auto byIntf = counter ? counter->intfCounter(intf) : nullptr;
  const auto byLevel = byIntf ? byIntf->mdCounter(mdLevel) : nullptr;
  const auto byOp = byLevel ? byLevel->opCodeCounter(op) : nullptr;
  return byOp ? byOp->counter(id) : 0;
}

// What the ALE layer reports of the local MEPs and their remote MEPs, under the names of
// IEEE 802.1Q's CFM management model where it has one. The loopback and linktrace figures
// are the agent's, which answers those frames: its counts of the MEP's interface and level.
json aleMeps(const Cfm::AleStatus* ale, const CfmAgent::Counter* counter) {
  json out = json::object();
  if (!ale) return out;
  using CfmAgent::CounterId;
  for (const auto& [mdLevel, md] : ale->mdStatus()) {
    json mas = json::object();
    for (const auto& [key, ma] : md->maStatus()) {
      json meps = json::object();
      for (const auto& [mepId, local] : ma->localMepStatus()) {
        json defects = json::array();
        for (auto d = unsigned(Cfm::MepDefect::rdiCcm); d <= unsigned(Cfm::MepDefect::xconCcm); ++d) {
          if (local->defects & (1u << d)) defects.push_back(Cfm::stringValue(Cfm::MepDefect(d)));
        }
        json remotes = json::object();
        for (const auto& remote : local->remoteMepStatus) {
          remotes[mep(remote.mepId)] = {
              {"rMepState", Cfm::stringValue(remote.state)},
              {"rMepFailedOkTime", remote.since},
              {"flaps", remote.flaps},
              {"lastCcmTime", remote.lastCcmTime},
              {"ccmsReceived", remote.ccmsReceived},
              {"sequenceErrors", remote.sequenceErrors},
              {"rdi", remote.rdi},
              {"macAddress", remote.macAddr.stringValue()},
              {"portStatusTlv", remote.portStatus},
              {"interfaceStatusTlv", remote.interfaceStatus},
          };
        }
        const auto count = [&, intfId = local->intfId, level = mdLevel](Cfm::OpCode op, CounterId id) {
          return agentCount(counter, intfId, level, op, id);
        };
        meps[mep(mepId)] = {
            {"intfId", local->intfId.stringValue()},
            {"fngState", Cfm::stringValue(local->fngState)},
            {"faultAlarm", local->faultAlarm ? Cfm::stringValue(local->faultAlarmDefect) : "none"},
            {"lowPrDef", Cfm::stringValue(local->lowestAlarmPri)},
            {"fngAlarmTime", local->fngAlarmTime},
            {"fngResetTime", local->fngResetTime},
            {"highestPrDefect", Cfm::stringValue(local->highestDefect)},
            {"defects", std::move(defects)},
            {"presentRdi", local->rdiSent},
            {"cciSentCcms", local->ccmsSent},
            {"ccmSequenceErrors", local->ccmSequenceErrors},
            {"errorCcms", local->errorCcms},
            {"xconCcms", local->xconCcms},
            {"lbrIn", count(Cfm::opCodeLbr, CounterId::in_)},
            {"lbrOut", count(Cfm::opCodeLbr, CounterId::out_)},
            {"unexpLtrIn", count(Cfm::opCodeLtr, CounterId::in_)},
            {"pmResponder",
             {{"dmmIn", local->pm.dmmIn}, {"dmrOut", local->pm.dmrOut}, {"slmIn", local->pm.slmIn},
              {"slrOut", local->pm.slrOut}, {"oneDmIn", local->pm.oneDmIn}, {"tooShort", local->pm.tooShort},
              {"tooLarge", local->pm.tooLarge}, {"notSent", local->pm.notSent}}},
            {"remoteMeps", std::move(remotes)},
        };
      }
      mas[nameText(key.stringValue())] = std::move(meps);
    }
    if (!mas.empty()) out[level(mdLevel)] = std::move(mas);
  }
  return out;
}

json pmInterval(const Cfm::PmIntervalAleStatus& i) {
  json out = {{"start", i.start}, {"end", i.end > 0 ? json(i.end) : json()}, {"sent", i.sent}, {"received", i.received}};
  if (const Cfm::DelaySummary& d = i.delay; d.count > 0) {
    out["delayNs"] = {{"count", d.count}, {"min", d.min}, {"max", d.max}, {"mean", d.mean},
                      {"p50", d.p50},     {"p99", d.p99}, {"variation", d.variation}};
  }
  const auto loss = [](std::uint64_t frames, std::uint64_t lost) {
    return json{{"frames", frames}, {"lost", lost}, {"percent", frames ? 100.0 * double(lost) / double(frames) : 0.0}};
  };
  if (i.farEndFrames > 0 || i.nearEndFrames > 0) {
    out["farEndLoss"] = loss(i.farEndFrames, i.farEndLost);
    out["nearEndLoss"] = loss(i.nearEndFrames, i.nearEndLost);
  }
  return out;
}

// The measurement sessions of the local MEPs, by level, association, MEP and session name.
json pmSessions(const Cfm::AleStatus* ale) {
  json out = json::object();
  if (!ale) return out;
  for (const auto& [mdLevel, md] : ale->mdStatus()) {
    json mas = json::object();
    for (const auto& [key, ma] : md->maStatus()) {
      json meps = json::object();
      for (const auto& [mepId, local] : ma->localMepStatus()) {
        json sessions = json::object();
        for (const auto& s : local->pmSessions) {
          json intervals = json::array();
          for (const auto& i : s.intervals) intervals.push_back(pmInterval(i));
          json session = {{"kind", Cfm::stringValue(s.kind)},
                          {"targetMac", s.targetMac.isZero() ? json() : json(s.targetMac.stringValue())},
                          {"noTarget", s.noTarget},
                          {"notSent", s.notSent},
                          {"kernelSendTimes", s.kernelSendTimes},
                          {"intervals", std::move(intervals)}};
          if (!s.targetMepId.isNone()) session["targetMepId"] = mep(s.targetMepId);
          if (s.kind == Cfm::PmKind::slm) session["testId"] = s.testId;
          if (s.interval > 0) session["interval"] = s.interval;
          sessions[s.name] = std::move(session);
        }
        if (!sessions.empty()) meps[mep(mepId)] = std::move(sessions);
      }
      if (!meps.empty()) mas[nameText(key.stringValue())] = std::move(meps);
    }
    if (!mas.empty()) out[level(mdLevel)] = std::move(mas);
  }
  return out;
}

json mdStatus(const CfmAgent::Status* status) {
  json out = json::object();
  if (!status) return out;
  for (const auto& [mdLevel, md] : status->mdStatus()) {
    out[level(mdLevel)] = {{"defaultMip", md->defaultMip()}};
  }
  return out;
}

json sockets(const std::vector<Kiln::PtrConst<Interface::Pam>>& pams) {
  json out = json::object();
  for (const auto& pam : pams) {
    if (!pam || pam->closed()) continue;
    const auto c = pam->counters();
    out[pam->intfId().stringValue()] = {
        {"mtu", pam->mtu()},
        {"rxFrames", c.rxFrames},       {"rxQueueDrops", c.rxQueueDrops},
        {"rxTruncated", c.rxTruncated}, {"rxKernelDrops", c.rxKernelDrops},
        {"txFrames", c.txFrames},       {"txErrors", c.txErrors},
    };
  }
  return out;
}

// What the switch bridges with: the bridge MAC, each switchport's mode, port VLAN and kernel
// device, and the hosts of each VLAN, configured or learned.
json bridging(const Bridging::Config* config, const Bridging::Status* status,
              const Interface::AllIntfStatusDir* intfs) {
  json out = json::object();
  if (config) {
    out["bridgeMac"] = config->bridgeMacAddr().stringValue();
    json& ports = out["switchports"] = json::object();
    for (const auto& [intf, port] : config->switchIntfConfig()) {
      json& p = ports[intf.stringValue()] = {{"mode", switchIntfModeName(port->mode())},
                                             {"portVlan", port->portVlan().value()}};
      const auto device = intfs ? intfs->intfStatus(intf) : Kiln::Ptr<Interface::IntfStatus>();
      if (device && !device->deviceName().empty()) p["device"] = device->deviceName();
    }
  }
  if (!config && !status) return out;
  json& hosts = out["hosts"] = json::object();
  if (config) {
    for (const auto& [vlan, entry] : config->vlanConfig()) {
      json& byMac = hosts[decimal(vlan.value())] = json::object();
      for (const auto& [mac, host] : entry->configuredHost()) {
        byMac[mac.stringValue()] = {{"intf", host.intf.stringValue()}, {"type", "configured"}};
      }
    }
  }
  if (status) {
    for (const auto& [vlan, entry] : status->vlanStatus()) {
      json& byMac = hosts[decimal(vlan.value())];
      if (!byMac.is_object()) byMac = json::object();
      for (const auto& [mac, host] : entry->learnedHost()) {
        // A configured entry wins over a learned one, as in the relay's lookup.
        if (!byMac.contains(mac.stringValue())) {
          byMac[mac.stringValue()] = {{"intf", host.intf.stringValue()}, {"type", "learned"}};
        }
      }
    }
  }
  return out;
}

template <class T>
Kiln::Ptr<T> rootAt(const Orbis::EntityManager& manager, std::string_view path) {
  return Kiln::ptrCast<T>(manager.entity(path));
}

}  // namespace

json stateJson(const Orbis::EntityManager& manager, const std::vector<Kiln::PtrConst<Interface::Pam>>& pams,
               const std::set<std::string>& only) {
  const auto status = rootAt<CfmAgent::Status>(manager, "cfm/status");
  const auto ale = rootAt<Cfm::AleConfig>(manager, "cfm/aleConfig");
  json out = json::object();
  // A section is made only when asked for: full databases take a thousand times the memory
  // of the counters as JSON, and a poll of the counters must not pay for them.
  const auto add = [&](const char* key, auto&& make) {
    if (only.empty() || only.contains(key)) out[key] = make();
  };
  add("counters", [&] { return counters(status ? status->counter().get() : nullptr); });
  add("ccmDatabase", [&] { return ccmDatabase(status ? status->ccmDb().get() : nullptr); });
  add("mipCcmDatabase", [&] { return mipCcmDatabase(status ? status->mipCcmDb().get() : nullptr); });
  add("databaseFill",
      [&] { return databaseFill(status.get(), rootAt<CfmAgent::Config>(manager, "cfm/config").get()); });
  add("aleConfig", [&] { return aleConfig(ale.get()); });
  add("mdStatus", [&] { return mdStatus(status.get()); });
  add("aleMeps", [&] {
    return aleMeps(rootAt<Cfm::AleStatus>(manager, "cfm/aleStatus").get(), status ? status->counter().get() : nullptr);
  });
  add("pm", [&] { return pmSessions(rootAt<Cfm::AleStatus>(manager, "cfm/aleStatus").get()); });
  add("sockets", [&] { return sockets(pams); });
  add("bridging", [&] {
    return bridging(rootAt<Bridging::Config>(manager, "bridging/config").get(),
                    rootAt<Bridging::Status>(manager, "bridging/status").get(),
                    rootAt<Interface::AllIntfStatusDir>(manager, "interface/status/all").get());
  });
  return out;
}

}  // namespace Runner
