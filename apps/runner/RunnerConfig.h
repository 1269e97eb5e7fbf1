#pragma once
// The runner's configuration: what cfmagentd and `cfmctl config apply` seed the state
// database with. A JSON file (docs/configuration.md) is parsed and fully validated into
// the plain model below; only a model that passed validation is ever applied, so a bad
// file changes nothing.
//
// Applying is a diff against the state database: an unchanged value is not written and an
// absent entry is deleted, so the agent's state machines see exactly the changes an
// operator made, as they would from any other writer of the database.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/runner/JsonReader.h"
#include "platform/ale/Fng.h"
#include "platform/ale/PmSession.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/lumen/Types.h"
#include "platform/orbis/EntityManager.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmTypes.h"

namespace Runner {

using Lumen::EthAddr;
using Lumen::IntfId;

struct Switchport {
  Bridging::SwitchIntfMode mode = Bridging::switchIntfModeAccess;
  Lumen::VlanIdOrNone portVlan;
  // 0 means 0x8100.
  std::uint16_t tpid = 0;
  std::map<Bridging::VlanXlateKey, Bridging::VlanXlateMapping> ingressVlanXlate;
  // Includes the identity entries of a trunk's allowed VLANs.
  std::map<Bridging::VlanXlateKey, Bridging::VlanXlateMapping> egressVlanXlate;
  bool operator==(const Switchport&) const = default;
};

// Every VLAN listed gets a bridging VLAN configuration and a bridging VLAN status, even
// with no hosts.
struct Vlan {
  std::map<EthAddr, IntfId> configuredHosts;
  std::map<EthAddr, IntfId> learnedHosts;
  bool operator==(const Vlan&) const = default;
};

// The fault alarm settings an association or a MEP gives; the agent's configuration has no
// place for them, so they stay here for the software ALE layer. A setting left out comes
// from the level above: the MEP's association, then the standard's default.
struct FaultAlarm {
  std::optional<Cfm::LowestAlarmPri> lowestAlarmPri;
  std::optional<double> fngAlarmTime;  // seconds
  std::optional<double> fngResetTime;
  bool operator==(const FaultAlarm&) const = default;
};

struct LocalMep {
  IntfId intf;
  // False: configured, but left out of the ALE layer's list.
  std::map<Cfm::MepId, bool> remoteMeps;
  FaultAlarm faultAlarm;
  // Its Y.1731 measurement sessions, which the software ALE layer runs; like the fault
  // alarm settings they have no place in the agent's configuration.
  std::vector<SoftAle::PmSessionSettings> pmSessions;
  bool operator==(const LocalMep&) const = default;
};

struct Association {
  Cfm::MaNameWithFormat name;
  Cfm::MepDirection direction = Cfm::mepDirectionDown;
  Lumen::VlanIdOrNone primaryVlan;
  // Empty: the configuration's default profile.
  Cfm::CfmProfileName profile;
  std::map<Cfm::MepId, LocalMep> localMeps;
  FaultAlarm faultAlarm;
  bool operator==(const Association&) const = default;
};

struct Domain {
  Cfm::MdNameWithFormat name;
  bool defaultMip = false;
  // Keyed by the name's bytes.
  std::map<Cfm::MaName, Association> associations;
  bool operator==(const Domain&) const = default;
};

struct Profile {
  Cfm::CcmTxInterval ccmInterval{1.0};
  bool ccmEnable = true;
  bool operator==(const Profile&) const = default;
};

// Entries each CCM database may hold; the agent's defaults when the file gives none.
struct Limits {
  std::uint32_t ccmDatabaseEntries = CfmAgent::Config::defaultCcmDbEntryLimit;
  std::uint32_t mipCcmDatabaseEntries = CfmAgent::Config::defaultMipCcmDbEntryLimit;
  bool operator==(const Limits&) const = default;
};

struct RunnerConfig {
  EthAddr bridgeMac;
  // Interface -> kernel device. The runner gives an interface a status entry only while
  // its device exists, so this map is not written by apply().
  std::map<IntfId, std::string> interfaces;
  // The MTU an interface's device has where no kernel reports it (a replay); live, the
  // device's own MTU counts. Absent: 1500.
  std::map<IntfId, std::uint32_t> mtus;
  std::map<IntfId, Switchport> switchports;
  std::map<Lumen::VlanId, Vlan> vlans;
  std::map<Cfm::MdLevel, Domain> domains;
  std::map<Cfm::CfmProfileName, Profile> profiles;
  Profile defaultProfile;
  // The ALE layer's defaultMip per domain level.
  std::map<Cfm::MdLevel, bool> aleStatus;
  Limits limits;
  // The software ALE layer runs beside the agent and reports the ALE status itself: the
  // file's aleStatus is not applied. Chosen when cfmagentd starts (--ale), not by the file:
  // live runs have it unless told otherwise, replays never.
  bool softwareAle = false;
  // A Linux bridge that gives the bridging instead of the file (bridge MAC, interfaces,
  // switchports, hosts), with the interfaces of its ports where the naming rule does not
  // suit and the VLAN of every port when the bridge does not filter VLANs. Empty: the file
  // gives the bridging.
  std::string bridge;
  std::map<std::string, IntfId> bridgePorts;  // port device -> interface
  Lumen::VlanId bridgeVlan{1};

  // The kernel device of an interface; "" when it is not in the map.
  std::string deviceName(IntfId intf) const;
  bool operator==(const RunnerConfig&) const = default;
};

// Reads and validates `file`. Throws ConfigError, naming `file` as given.
RunnerConfig parse(const std::string& file);
// The same for text already read; `fileName` is only used in messages.
RunnerConfig parseText(std::string_view text, const std::string& fileName);
// The same with the bridging taken from the Linux bridge `bridge` whatever the file
// names; a file that also gives bridging of its own is refused.
RunnerConfig parseText(std::string_view text, const std::string& fileName, const std::string& bridge);
RunnerConfig parse(const std::string& file, const std::string& bridge);

// The fault alarm settings of every local MEP, each resolved from its MEP, its association
// and the defaults.
std::map<SoftAle::MepKey, SoftAle::AlarmSettings> alarmSettings(const RunnerConfig& config);

// The measurement sessions of every local MEP that has any.
std::map<SoftAle::MepKey, std::vector<SoftAle::PmSessionSettings>> pmSessions(const RunnerConfig& config);

// The state-database paths and type names the configuration is written to.
inline constexpr const char* bridgingConfigPath = "bridging/config";
inline constexpr const char* bridgingStatusPath = "bridging/status";
inline constexpr const char* cfmConfigPath = "cfm/config";
inline constexpr const char* aleStatusPath = "cfm/aleStatus";

// Writes the difference between `config` and the state database, creating the four roots
// when absent. Returns one line per write, in order ("cfm/config: domain 3:
// defaultMip true"); empty when the database already held the configuration. Throws
// ConfigError, before writing anything, when a root path holds an entity of another type.
std::vector<std::string> apply(const RunnerConfig& config, Orbis::EntityManager& manager);
// What apply() cannot see, the database holding none of it: one line per alarm setting of
// a MEP in `after` that resolves otherwise than in `before` (a new MEP's against the
// defaults), as "faultAlarm: domain 3: association ma1: local MEP 100: lowestAlarmPri xcon".
std::vector<std::string> alarmSettingChanges(const RunnerConfig& before, const RunnerConfig& after);
// The same for measurement sessions: one line per session started, changed (which starts
// it anew) or stopped, as "pmSession: domain 3: association ma1: local MEP 100: delay
// started".
std::vector<std::string> pmSessionChanges(const RunnerConfig& before, const RunnerConfig& after);

}  // namespace Runner
