// Writes a parsed configuration into the state database as a difference.
//
// The CFM configuration types notify their watchers on every write that changes a value or
// a collection; the agent's translation machines are those watchers. So each value is
// compared before it is written, entries the file no longer has are deleted, and entries it
// has are found rather than re-created: an unchanged configuration writes nothing, and a
// changed one reaches the machines as exactly the changes it holds.

#include <sstream>
#include <type_traits>

#include "apps/runner/Names.h"
#include "apps/runner/RunnerConfig.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"

namespace Runner {

namespace {

std::string vlanPairText(std::uint16_t vlan, std::uint16_t inner) {
  return std::to_string(vlan) + "/" + std::to_string(inner);
}

std::string boolText(bool value) { return value ? "true" : "false"; }

// The keys of `current` that `wanted` lacks; collected before any is deleted, since a
// deletion notifies and a watcher may look at the collection.
template <class Current, class Wanted>
auto staleKeys(const Current& current, const Wanted& wanted) {
  std::vector<std::remove_cvref_t<decltype(current.begin()->first)>> keys;
  for (const auto& entry : current) {
    if (!wanted.contains(entry.first)) keys.push_back(entry.first);
  }
  return keys;
}

class Applier {
 public:
  explicit Applier(Orbis::EntityManager& manager) : manager_(manager) {}

  std::vector<std::string> apply(const RunnerConfig& config) {
    // Every root is checked before the first write, so that a refusal leaves the
    // database as it was.
    checkRoot(bridgingConfigPath, "Bridging::Config");
    checkRoot(bridgingStatusPath, "Bridging::Status");
    checkRoot(cfmConfigPath, "CfmAgent::Config");
    checkRoot(aleStatusPath, "Cfm::AleStatus");

    bridgingConfig(config, *rootAt<Bridging::Config>(bridgingConfigPath, "Bridging::Config"));
    bridgingStatus(config, *rootAt<Bridging::Status>(bridgingStatusPath, "Bridging::Status"));
    cfmConfig(config, *rootAt<CfmAgent::Config>(cfmConfigPath, "CfmAgent::Config"));
    if (!config.softwareAle) aleStatus(config, *rootAt<Cfm::AleStatus>(aleStatusPath, "Cfm::AleStatus"));
    return std::move(log_);
  }

 private:
  void checkRoot(const std::string& path, const std::string& typeName) {
    const std::string present = manager_.typeName(path);
    if (!present.empty() && present != typeName) {
      throw ConfigError(path + " holds a " + present + ", not a " + typeName +
                        "; nothing was applied");
    }
  }

  template <class T>
  Kiln::Ptr<T> rootAt(const std::string& path, const std::string& typeName) {
    return Kiln::ptrCast<T>(manager_.entityIs(path, typeName));
  }

  void note(const std::string& line) { log_.push_back(line); }

  // Writes `wanted` with `set` when `current` differs, and notes it.
  template <class V, class Set>
  void update(const std::string& where, const std::string& attribute, const V& current,
              const V& wanted, Set&& set, const std::string& shownValue) {
    if (current == wanted) return;
    set(wanted);
    note(where + ": " + attribute + " " + shownValue);
  }

  // ---- Bridging ----

  template <class Table, class Set, class Del>
  void xlateTable(const std::string& where, const std::string& direction, const Table& current,
                  const Table& wanted, Set&& set, Del&& del) {
    for (const auto& key : staleKeys(current, wanted)) {
      del(key);
      note(where + ": " + direction + " translation " + vlanPairText(key.outerVlan, key.innerVlan) +
           " deleted");
    }
    for (const auto& [key, mapping] : wanted) {
      auto it = current.find(key);
      if (it != current.end() && it->second == mapping) continue;
      set(key, mapping);
      note(where + ": " + direction + " translation " + vlanPairText(key.outerVlan, key.innerVlan) +
           " -> " + vlanPairText(mapping.vlan, mapping.innerVlan));
    }
  }

  template <class Hosts, class Set, class Del>
  void hostTable(const std::string& where, const std::string& kind, const Hosts& current,
                 const std::map<EthAddr, IntfId>& wanted, Set&& set, Del&& del) {
    for (const auto& mac : staleKeys(current, wanted)) {
      del(mac);
      note(where + ": " + kind + " " + mac.stringValue() + " deleted");
    }
    for (const auto& [mac, intf] : wanted) {
      auto it = current.find(mac);
      if (it != current.end() && it->second.intf == intf) continue;
      set(mac, intf);
      note(where + ": " + kind + " " + mac.stringValue() + " on " + intf.stringValue());
    }
  }

  void bridgingConfig(const RunnerConfig& config, Bridging::Config& br) {
    const std::string root = bridgingConfigPath;
    update(
        root, "bridgeMac", br.bridgeMacAddr(), config.bridgeMac,
        [&](const EthAddr& v) { br.bridgeMacAddrIs(v); }, config.bridgeMac.stringValue());

    for (const auto& intf : staleKeys(br.switchIntfConfig(), config.switchports)) {
      br.switchIntfConfigDel(intf);
      note(root + ": switchport " + intf.stringValue() + " deleted");
    }
    for (const auto& [intf, wanted] : config.switchports) {
      const std::string where = root + ": switchport " + intf.stringValue();
      if (!br.switchIntfConfig(intf)) note(where + " created");
      auto port = br.switchIntfConfigIs(intf);
      update(
          where, "mode", port->mode(), wanted.mode,
          [&](Bridging::SwitchIntfMode v) { port->modeIs(v); }, switchIntfModeName(wanted.mode));
      update(
          where, "portVlan", port->portVlan(), wanted.portVlan,
          [&](Lumen::VlanIdOrNone v) { port->portVlanIs(v); },
          std::to_string(wanted.portVlan.value()));
      update(
          where, "tpid", port->tpid(), wanted.tpid, [&](std::uint16_t v) { port->tpidIs(v); },
          std::to_string(wanted.tpid));
      xlateTable(
          where, "ingress", port->ingressVlanXlate(), wanted.ingressVlanXlate,
          [&](auto key, auto mapping) { port->ingressVlanXlateIs(key, mapping); },
          [&](auto key) { port->ingressVlanXlateDel(key); });
      xlateTable(
          where, "egress", port->egressVlanXlate(), wanted.egressVlanXlate,
          [&](auto key, auto mapping) { port->egressVlanXlateIs(key, mapping); },
          [&](auto key) { port->egressVlanXlateDel(key); });
    }

    for (const auto& vlan : staleKeys(br.vlanConfig(), config.vlans)) {
      br.vlanConfigDel(vlan);
      note(root + ": vlan " + std::to_string(vlan.value()) + " deleted");
    }
    for (const auto& [vlan, wanted] : config.vlans) {
      const std::string where = root + ": vlan " + std::to_string(vlan.value());
      if (!br.vlanConfig(vlan)) note(where + " created");
      auto entry = br.vlanConfigIs(vlan);
      hostTable(
          where, "configured host", entry->configuredHost(), wanted.configuredHosts,
          [&](const EthAddr& mac, IntfId intf) { entry->configuredHostIs(mac, {intf}); },
          [&](const EthAddr& mac) { entry->configuredHostDel(mac); });
    }
  }

  void bridgingStatus(const RunnerConfig& config, Bridging::Status& br) {
    const std::string root = bridgingStatusPath;
    for (const auto& vlan : staleKeys(br.vlanStatus(), config.vlans)) {
      br.vlanStatusDel(vlan);
      note(root + ": vlan " + std::to_string(vlan.value()) + " deleted");
    }
    for (const auto& [vlan, wanted] : config.vlans) {
      const std::string where = root + ": vlan " + std::to_string(vlan.value());
      if (!br.vlanStatus(vlan)) note(where + " created");
      auto entry = br.vlanStatusIs(vlan);
      hostTable(
          where, "learned host", entry->learnedHost(), wanted.learnedHosts,
          [&](const EthAddr& mac, IntfId intf) { entry->learnedHostIs(mac, {intf}); },
          [&](const EthAddr& mac) { entry->learnedHostDel(mac); });
    }
  }

  // ---- CFM configuration ----

  void profile(const std::string& where, CfmAgent::CfmProfile& profile, const Profile& wanted) {
    update(
        where, "ccmInterval", profile.ccmTxInterval(), wanted.ccmInterval,
        [&](Cfm::CcmTxInterval v) { profile.ccmTxIntervalIs(v); },
        ccmIntervalName(wanted.ccmInterval));
    update(
        where, "ccmEnable", profile.ccmEnable(), wanted.ccmEnable,
        [&](bool v) { profile.ccmEnableIs(v); }, boolText(wanted.ccmEnable));
  }

  void cfmConfig(const RunnerConfig& config, CfmAgent::Config& cfm) {
    const std::string root = cfmConfigPath;
    // New and changed profiles go first and deleted ones last, so that an association
    // that names a profile finds it in place and none falls back to the default on the way.
    for (const auto& [name, wanted] : config.profiles) {
      const std::string where = root + ": profile " + name.stringValue();
      if (!cfm.cfmProfile(name)) note(where + " created");
      profile(where, *cfm.cfmProfileIs(name), wanted);
    }
    profile(root + ": default profile", *cfm.defaultCfmProfile(), config.defaultProfile);

    for (const auto& level : staleKeys(cfm.mdConfig(), config.domains)) {
      cfm.mdConfigDel(level);
      note(root + ": domain " + std::to_string(level.value()) + " deleted");
    }
    for (const auto& [level, wanted] : config.domains) {
      const std::string where = root + ": domain " + std::to_string(level.value());
      if (!cfm.mdConfig(level)) note(where + " created");
      domain(where, *cfm.mdConfigIs(level), wanted);
    }

    for (const auto& name : staleKeys(cfm.cfmProfile(), config.profiles)) {
      cfm.cfmProfileDel(name);
      note(root + ": profile " + name.stringValue() + " deleted");
    }

    const std::string limits = root + ": limits";
    const Limits& wanted = config.limits;
    update(
        limits, "ccmDatabaseEntries", cfm.ccmDbEntryLimit(), wanted.ccmDatabaseEntries,
        [&](std::uint32_t v) { cfm.ccmDbEntryLimitIs(v); }, std::to_string(wanted.ccmDatabaseEntries));
    update(
        limits, "mipCcmDatabaseEntries", cfm.mipCcmDbEntryLimit(), wanted.mipCcmDatabaseEntries,
        [&](std::uint32_t v) { cfm.mipCcmDbEntryLimitIs(v); },
        std::to_string(wanted.mipCcmDatabaseEntries));
  }

  void domain(const std::string& where, CfmAgent::MdConfig& md, const Domain& wanted) {
    update(
        where, "name", md.mdName(), wanted.name,
        [&](const Cfm::MdNameWithFormat& v) { md.mdNameIs(v); },
        nameText(wanted.name.name.stringValue()) + " (" + mdNameFormatName(wanted.name.format) +
            ")");
    update(
        where, "defaultMip", md.defaultMip(), wanted.defaultMip,
        [&](bool v) { md.defaultMipIs(v); }, boolText(wanted.defaultMip));
    for (const auto& name : staleKeys(md.maConfig(), wanted.associations)) {
      md.maConfigDel(name);
      note(where + ": association " + nameText(name.stringValue()) + " deleted");
    }
    for (const auto& [name, ma] : wanted.associations) {
      const std::string maWhere = where + ": association " + nameText(name.stringValue());
      if (!md.maConfig(name)) note(maWhere + " created");
      association(maWhere, *md.maConfigIs(name), ma);
    }
  }

  void association(const std::string& where, CfmAgent::MaConfig& ma, const Association& wanted) {
    update(
        where, "name", ma.maName(), wanted.name,
        [&](const Cfm::MaNameWithFormat& v) { ma.maNameIs(v); },
        nameText(wanted.name.name.stringValue()) + " (" + maNameFormatName(wanted.name.format) +
            ")");
    update(
        where, "direction", ma.direction(), wanted.direction,
        [&](Cfm::MepDirection v) { ma.directionIs(v); }, directionName(wanted.direction));
    update(
        where, "primaryVlan", ma.primaryVlanId(), wanted.primaryVlan,
        [&](Lumen::VlanIdOrNone v) { ma.primaryVlanIdIs(v); },
        std::to_string(wanted.primaryVlan.value()));
    update(
        where, "profile", ma.cfmProfileName(), wanted.profile,
        [&](const Cfm::CfmProfileName& v) { ma.cfmProfileNameIs(v); },
        wanted.profile.stringValue().empty() ? "(default)" : wanted.profile.stringValue());
    for (const auto& id : staleKeys(ma.localMepConfig(), wanted.localMeps)) {
      ma.localMepConfigDel(id);
      note(where + ": local MEP " + std::to_string(id.value()) + " deleted");
    }
    for (const auto& [id, mepWanted] : wanted.localMeps) {
      const std::string mepWhere = where + ": local MEP " + std::to_string(id.value());
      if (!ma.localMepConfig(id)) note(mepWhere + " created");
      localMep(mepWhere, *ma.localMepConfigIs(id), mepWanted);
    }
  }

  void localMep(const std::string& where, CfmAgent::LocalMepConfig& mep, const LocalMep& wanted) {
    update(
        where, "interface", mep.intfId(), wanted.intf, [&](IntfId v) { mep.intfIdIs(v); },
        wanted.intf.stringValue());
    for (const auto& id : staleKeys(mep.remoteMepConfig(), wanted.remoteMeps)) {
      mep.remoteMepConfigDel(id);
      note(where + ": remote MEP " + std::to_string(id.value()) + " deleted");
    }
    for (const auto& [id, value] : wanted.remoteMeps) {
      auto it = mep.remoteMepConfig().find(id);
      if (it != mep.remoteMepConfig().end() && it->second == value) continue;
      mep.remoteMepConfigIs(id, value);
      note(where + ": remote MEP " + std::to_string(id.value()) + " " + boolText(value));
    }
  }

  // ---- ALE status ----

  void aleStatus(const RunnerConfig& config, Cfm::AleStatus& ale) {
    const std::string root = aleStatusPath;
    for (const auto& level : staleKeys(ale.mdStatus(), config.aleStatus)) {
      ale.mdStatusDel(level);
      note(root + ": level " + std::to_string(level.value()) + " deleted");
    }
    for (const auto& [level, defaultMip] : config.aleStatus) {
      const std::string where = root + ": level " + std::to_string(level.value());
      if (!ale.mdStatus(level)) note(where + " created");
      auto md = ale.mdStatusIs(level);
      update(
          where, "defaultMip", md->defaultMip(), defaultMip, [&](bool v) { md->defaultMipIs(v); },
          boolText(defaultMip));
    }
  }

  Orbis::EntityManager& manager_;
  std::vector<std::string> log_;
};

}  // namespace

std::vector<std::string> apply(const RunnerConfig& config, Orbis::EntityManager& manager) {
  return Applier(manager).apply(config);
}

std::vector<std::string> alarmSettingChanges(const RunnerConfig& before, const RunnerConfig& after) {
  const auto was = alarmSettings(before);
  const auto seconds = [](double value) {
    std::ostringstream text;
    text << value << "s";
    return text.str();
  };
  std::vector<std::string> lines;
  for (const auto& [key, now] : alarmSettings(after)) {
    const auto it = was.find(key);
    const SoftAle::AlarmSettings then = it == was.end() ? SoftAle::AlarmSettings{} : it->second;
    const auto& [level, ma, mep] = key;
    const std::string where = "faultAlarm: domain " + std::to_string(level.value()) + ": association " +
                              nameText(ma.stringValue()) + ": local MEP " + std::to_string(mep.value()) + ": ";
    if (now.lowestAlarmPri != then.lowestAlarmPri) {
      lines.push_back(where + "lowestAlarmPri " + Cfm::stringValue(now.lowestAlarmPri));
    }
    if (now.fngAlarmTime != then.fngAlarmTime) lines.push_back(where + "fngAlarmTime " + seconds(now.fngAlarmTime));
    if (now.fngResetTime != then.fngResetTime) lines.push_back(where + "fngResetTime " + seconds(now.fngResetTime));
  }
  return lines;
}

std::vector<std::string> pmSessionChanges(const RunnerConfig& before, const RunnerConfig& after) {
  const auto was = pmSessions(before), now = pmSessions(after);
  std::vector<std::string> lines;
  const auto where = [](const SoftAle::MepKey& key) {
    const auto& [level, ma, mep] = key;
    return "pmSession: domain " + std::to_string(level.value()) + ": association " + nameText(ma.stringValue()) +
           ": local MEP " + std::to_string(mep.value()) + ": ";
  };
  const auto find = [](const auto& sessions, const SoftAle::MepKey& key, const std::string& name)
      -> const SoftAle::PmSessionSettings* {
    const auto it = sessions.find(key);
    if (it == sessions.end()) return nullptr;
    for (const auto& s : it->second) {
      if (s.name == name) return &s;
    }
    return nullptr;
  };
  for (const auto& [key, sessions] : was) {
    for (const auto& s : sessions) {
      if (!find(now, key, s.name)) lines.push_back(where(key) + s.name + " stopped");
    }
  }
  for (const auto& [key, sessions] : now) {
    for (const auto& s : sessions) {
      const auto* then = find(was, key, s.name);
      if (!then) lines.push_back(where(key) + s.name + " started");
      if (then && *then != s) lines.push_back(where(key) + s.name + " changed, started anew");
    }
  }
  return lines;
}

}  // namespace Runner
