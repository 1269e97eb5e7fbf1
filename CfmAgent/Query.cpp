#include "CfmAgent/Query.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "CfmAgent/CommandRequestHandler.h"

namespace CfmAgent {

namespace {

const std::string& field(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto it = fields.find(name);
  if (it == fields.end() || it->second.empty()) throw std::invalid_argument("missing " + name);
  return it->second;
}

Lumen::IntfId intfField(const std::map<std::string, std::string>& fields) {
  const std::string& name = field(fields, "intf");
  try {
    return Lumen::IntfId(name);
  } catch (const std::exception&) {
    throw std::invalid_argument("'" + name + "' is no interface name");
  }
}

Bridging::VlanId vlanField(const std::map<std::string, std::string>& fields) {
  const std::string& text = field(fields, "vlan");
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < Bridging::VlanId::min ||
      value > Bridging::VlanId::max) {
    throw std::invalid_argument("VLAN '" + text + "' is not a number from 1 to 4094");
  }
  return Bridging::VlanId(std::uint16_t(value));
}

Lumen::EthAddr macField(const std::map<std::string, std::string>& fields) {
  const std::string& text = field(fields, "target");
  const auto mac = Lumen::EthAddr::fromString(text);
  if (!mac) throw std::invalid_argument("'" + text + "' is no MAC address");
  return *mac;
}

const char* relayActionName(RelayAction action) {
  switch (action.value()) {
    case RelayAction::rlyHit: return "RlyHit";
    case RelayAction::rlyFdb: return "RlyFDB";
    case RelayAction::rlyMpdb: return "RlyMPDB";
  }
  return "none";
}

// One lookup's line: what it found, and whether that port could take the LTM.
std::string found(Lumen::IntfId intf, Lumen::IntfId ingress) {
  if (!intf) return "no entry";
  return intf.stringValue() + (intf == ingress ? " (the ingress port: not usable)" : "");
}

// The comma-separated items of field `name`; none when it is absent or empty.
std::vector<std::string> items(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto it = fields.find(name);
  if (it == fields.end() || it->second.empty()) return {};
  return commaFields(it->second);
}

unsigned number(const std::string& text, unsigned max, const std::string& what) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) {
    throw std::invalid_argument(what + " '" + text + "' is not a number from 0 to " + std::to_string(max));
  }
  return value;
}

constexpr std::pair<const char*, CounterClass> classNames[] = {
    {"in", CounterClass::counterClassIn_},
    {"inError", CounterClass::counterClassInError_},
    {"out", CounterClass::counterClassOut_},
    {"outError", CounterClass::counterClassOutError_},
    {"debug", CounterClass::counterClassDebug_},
};

}  // namespace

std::string counterSums(const CounterHelper& counterHelper, const std::map<std::string, std::string>& fields) {
  const auto by = fields.find("by");
  const bool byClass = by != fields.end() && by->second == "class";
  if (!byClass && (by == fields.end() || by->second != "id")) throw std::invalid_argument("sums are by class or by id");
  auto filter = counterFilterFactory();
  for (const auto& name : items(fields, "intf")) {
    try {
      filter->intfIs(Lumen::IntfId(name), true);
    } catch (const std::exception&) {
      throw std::invalid_argument("'" + name + "' is no interface name");
    }
  }
  for (const auto& level : items(fields, "level")) filter->mdLevelIs(Cfm::MdLevel(number(level, 8, "level")), true);
  for (const auto& op : items(fields, "opcode")) filter->opCodeIs(Cfm::OpCode(number(op, 255, "opcode")), true);
  for (const auto& name : items(fields, "class")) {
    const auto known = std::find_if(std::begin(classNames), std::end(classNames),
                                    [&](const auto& entry) { return name == entry.first; });
    if (known == std::end(classNames)) throw std::invalid_argument("'" + name + "' is no counter class");
    filter->counterClassIs(known->second, true);
  }
  for (const auto& name : items(fields, "id")) {
    const auto id = counterIdFromString(name);
    if (!id) throw std::invalid_argument("'" + name + "' is no counter");
    filter->counterIdIs(*id, true);
  }

  std::ostringstream out;
  if (byClass) {
    const auto sums = counterHelper.aggregateCounterClass(*filter);
    for (const auto& [cls, sum] : sums->counter()) {
      for (const auto& [name, known] : classNames) {
        if (known == cls) out << name << " " << sum << "\n";
      }
    }
  } else {
    const auto sums = counterHelper.aggregateCounterId(*filter);
    for (const auto& [id, sum] : sums->counter()) out << id << " " << sum << "\n";
  }
  return out.str();
}

std::string explainLinktrace(const LinktraceSm& sm, const std::map<std::string, std::string>& fields) {
  const Lumen::IntfId ingress = intfField(fields);
  const Bridging::VlanId vlan = vlanField(fields);
  const Lumen::EthAddr target = macField(fields);
  const bool useFdbOnly = fields.contains("fdbOnly") && fields.at("fdbOnly") == "true";
  const Lumen::EthAddr bridge = sm.brConfig() ? sm.brConfig()->bridgeMacAddr() : Lumen::EthAddr();

  std::ostringstream out;
  out << "LTM for " << target << " on " << ingress << " in VLAN " << vlan.value() << ", useFdbOnly "
      << (useFdbOnly ? "set" : "clear") << "; bridge MAC " << bridge << "\n";
  const auto line = [&](const char* what, const std::string& text) {
    out << "  " << what << std::string(20 - std::string_view(what).size(), ' ') << text << "\n";
  };
  if (!sm.pamCollection() || !sm.pamCollection()->intfPam(ingress)) {
    line("answer", "none: the agent has no packet socket on " + ingress.stringValue() + ", so it never sees the LTM");
    return out.str();
  }
  if (!target.isUnicast()) {
    line("answer", "none: the target is a group address (counted as inErrorLtmTargetMac)");
    return out.str();
  }
  if (target == bridge) {
    line("lookups", "none: the target is this bridge");
    line("relay action", relayActionName(RelayAction(RelayAction::rlyHit)));
    line("answer", "an LTR (FwdNo) to the originator on " + ingress.stringValue() + "; the LTM goes no further");
    return out.str();
  }

  // The filtering database's halves asked one by one to show each; the decision, and the
  // MIP CCM database's answer, are the relay's own.
  const Lumen::IntfId configured = sm.configuredHostLookup(target, vlan);
  line("configured hosts", found(configured, ingress));
  line("learned hosts", configured ? "not asked: a configured host decides"
                                   : found(sm.learnedHostLookup(target, vlan), ingress));
  const RelayDecision relay = sm.relayDecision(target, vlan, ingress, useFdbOnly);
  const bool fdbDecided = relay.relayAction == RelayAction(RelayAction::rlyFdb);
  line("MIP CCM database", relay.mipCcmDbAsked ? found(relay.egress, ingress)
                           : fdbDecided        ? "not asked: the filtering database gave a usable port"
                                               : "not asked: useFdbOnly is set");
  if (!relay.usable) {
    line("egress port", "none");
    line("answer", "none: no port other than " + ingress.stringValue() +
                       " leads to the target (counted as debugLtmNoEgressPort)");
    return out.str();
  }
  line("egress port", relay.egress.stringValue());
  line("relay action", relayActionName(relay.relayAction));
  line("answer", "the LTM relayed on " + relay.egress.stringValue() + " with its TTL one lower, then an LTR (FwdYes)");
  line("at TTL 1", "the LTR only (FwdNo), counted as debugLtmTtlExpired");
  return out.str();
}

}  // namespace CfmAgent
