#pragma once
// The agent's state as JSON (docs/state.md): what cfmagentd writes at the end of a replay
// and serves to `cfmctl show --json`, and what cfmctl turns into tables.
//
// Every key is a string: MD levels, opcodes, MEP ids and VLANs in decimal, interfaces by
// name, MAC addresses as aa:bb:cc:dd:ee:ff, MA and MD names through nameText(). A root
// that is not in the database gives an empty section, not an error, so the export works
// before the agent has mounted anything.

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/intf/Pam.h"
#include "platform/orbis/EntityManager.h"

namespace Runner {

// counters, ccmDatabase, mipCcmDatabase, databaseFill, aleConfig, mdStatus, aleMeps, pm and
// bridging from the database, and sockets from the counters of `sockets` (closed ones are left out);
// with `only`, just the sections it names.
nlohmann::json stateJson(const Orbis::EntityManager& manager,
                         const std::vector<Kiln::PtrConst<Interface::Pam>>& sockets = {},
                         const std::set<std::string>& only = {});

// Readable tables of one section each, from a state JSON as stateJson() makes it (a missing
// section reads as empty). Each ends with a newline.
std::string showCounters(const nlohmann::json& state);
std::string showCcmDatabase(const nlohmann::json& state);
std::string showMipCcmDatabase(const nlohmann::json& state);
std::string showAleConfig(const nlohmann::json& state);
std::string showMeps(const nlohmann::json& state);
std::string showRemoteMeps(const nlohmann::json& state);
// Each measurement session's current interval and the last it completed.
std::string showPm(const nlohmann::json& state);
std::string showStatus(const nlohmann::json& state);
std::string showSockets(const nlohmann::json& state);
std::string showBridging(const nlohmann::json& state);
// Seconds since the epoch as "2026-12-07 06:50:01.123 UTC"; "-" when not a number.
std::string utcTime(const nlohmann::json& seconds);
// Sums of counters as cfmctl gives them: [{"<key>": name, "sum": n}, ...] in the agent's
// order, `key` "class" or "counter".
std::string showCounterSums(const nlohmann::json& sums, const std::string& key);

}  // namespace Runner
