#pragma once
// The software ALE layer's events as the operator meets them: one JSON object each on the
// control socket (`cfmctl monitor --json`), one line of text each in cfmctl and the log.
//
//   {"event": "faultAlarmRaised", "time": 1796625001.25, "mdLevel": "3", "maName": "ma1",
//    "mepId": "100", "defect": "remoteCcm"}
//
// "remoteMepId" is there for a remote MEP's events, "defect" for a defect's and an alarm's.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/ale/Events.h"

namespace Runner {

nlohmann::json eventJson(const SoftAle::Event& event);
// "2026-12-07 06:30:01.250 UTC MEP 3/ma1/100: fault alarm raised (remoteCcm)".
std::string eventText(const nlohmann::json& event);
// The text without its time, as the log has it (the journal stamps its own).
std::string eventMessage(const nlohmann::json& event);

// One local MEP as an operator names it: "LEVEL/MA/ID", the MA name as the state export
// writes it (so an MA name with a slash still parses: the level is before the first slash,
// the MEP id after the last).
struct MepName {
  std::string mdLevel;
  std::string maName;
  std::string mepId;
  bool operator==(const MepName&) const = default;
};
// None when `text` is not of that form, or the level or MEP id is out of range.
std::optional<MepName> mepNameOf(std::string_view text);
bool eventIsFor(const nlohmann::json& event, const MepName& mep);

}  // namespace Runner
