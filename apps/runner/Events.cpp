#include "apps/runner/Events.h"

#include <charconv>
#include <iomanip>
#include <sstream>

#include "apps/runner/Names.h"
#include "apps/runner/StateJson.h"

namespace Runner {

using nlohmann::json;

json eventJson(const SoftAle::Event& event) {
  json out = {
      {"event", std::string(SoftAle::stringValue(event.kind))},
      {"time", event.time},
      {"mdLevel", std::to_string(event.mdLevel.value())},
      {"maName", nameText(event.maName.stringValue())},
      {"mepId", std::to_string(event.mepId.value())},
  };
  if (!event.remoteMepId.isNone()) out["remoteMepId"] = std::to_string(event.remoteMepId.value());
  if (event.defect != Cfm::MepDefect::none) out["defect"] = Cfm::stringValue(event.defect);
  if (event.kind == SoftAle::EventKind::pmThresholdCrossed) {
    // Delays in milliseconds, as an operator sets and reads them; losses in percent.
    const bool delay = event.pmFigure.starts_with("delay");
    const double scale = delay ? 1e-6 : 1;
    out["session"] = event.pmSession;
    out["figure"] = std::string(event.pmFigure);
    out["value"] = event.pmValue * scale;
    out["threshold"] = event.pmThreshold * scale;
    out["unit"] = delay ? "ms" : "%";
  }
  return out;
}

namespace {

std::string field(const json& event, const char* key) {
  const auto it = event.find(key);
  return it != event.end() && it->is_string() ? it->get<std::string>() : "?";
}

}  // namespace

std::string eventMessage(const json& event) {
  if (!event.is_object()) return "?";
  const std::string kind = field(event, "event");
  const std::string mep =
      "MEP " + field(event, "mdLevel") + "/" + field(event, "maName") + "/" + field(event, "mepId");
  const std::string defect = field(event, "defect");
  const std::string remote = "remote MEP " + field(event, "remoteMepId");
  if (kind == "mepCreated") return mep + " created";
  if (kind == "mepRemoved") return mep + " removed";
  if (kind == "defectRaised") return mep + ": defect " + defect + " raised";
  if (kind == "defectCleared") return mep + ": defect " + defect + " cleared";
  if (kind == "faultAlarmRaised") return mep + ": fault alarm raised (" + defect + ")";
  if (kind == "faultAlarmCleared") return mep + ": fault alarm cleared";
  if (kind == "remoteMepFailed") return mep + ": " + remote + " failed";
  if (kind == "remoteMepOk") return mep + ": " + remote + " ok";
  if (kind == "pmThresholdCrossed") {
    const auto number = [&](const char* key) {
      const auto it = event.find(key);
      if (it == event.end() || !it->is_number()) return std::string("?");
      std::ostringstream text;
      text << std::fixed << std::setprecision(3) << it->get<double>();
      return text.str();
    };
    const std::string unit = field(event, "unit") == "%" ? "%" : " " + field(event, "unit");
    return mep + ": pm session " + field(event, "session") + ": " + field(event, "figure") + " " + number("value") +
           unit + " over its threshold " + number("threshold") + unit;
  }
  return mep + ": " + kind;
}

std::string eventText(const json& event) {
  const json time = event.is_object() ? event.value("time", json()) : json();
  return utcTime(time) + " " + eventMessage(event);
}

std::optional<MepName> mepNameOf(std::string_view text) {
  const auto first = text.find('/');
  const auto last = text.rfind('/');
  if (first == std::string_view::npos || first == last) return std::nullopt;
  const auto number = [](std::string_view digits, unsigned min, unsigned max) -> std::optional<std::string> {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value < min || value > max) {
      return std::nullopt;
    }
    return std::to_string(value);
  };
  const auto level = number(text.substr(0, first), 0, 7);
  const auto mepId = number(text.substr(last + 1), Cfm::MepId::min, Cfm::MepId::max);
  const std::string_view ma = text.substr(first + 1, last - first - 1);
  if (!level || !mepId || ma.empty()) return std::nullopt;
  return MepName{*level, std::string(ma), *mepId};
}

bool eventIsFor(const json& event, const MepName& mep) {
  return event.is_object() && field(event, "mdLevel") == mep.mdLevel && field(event, "maName") == mep.maName &&
         field(event, "mepId") == mep.mepId;
}

}  // namespace Runner
