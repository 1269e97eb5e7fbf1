// The tables cfmctl prints, made from the state JSON alone: cfmctl holds no entities, and a
// table shows exactly what `--json` would.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>

#include "apps/runner/Names.h"
#include "apps/runner/StateJson.h"
#include "platform/types/CfmCounters.h"

namespace Runner {

using nlohmann::json;

namespace {

// Runs of digits compare as numbers, so that Ethernet2 comes before Ethernet10 and level
// "10" after level "9".
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && digit(a[ie])) ++ie;
      while (je < b.size() && digit(b[je])) ++je;
      std::string_view na(a.data() + i, ie - i), nb(b.data() + j, je - j);
      while (na.size() > 1 && na[0] == '0') na.remove_prefix(1);
      while (nb.size() > 1 && nb[0] == '0') nb.remove_prefix(1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The members of an object section in natural key order; none for anything else.
std::vector<std::pair<std::string, const json*>> sorted(const json& object) {
  std::vector<std::pair<std::string, const json*>> members;
  if (!object.is_object()) return members;
  for (const auto& [key, value] : object.items()) members.emplace_back(key, &value);
  std::sort(members.begin(), members.end(),
            [](const auto& a, const auto& b) { return naturalLess(a.first, b.first); });
  return members;
}

const json& section(const json& state, const char* name) {
  static const json empty = json::object();
  return state.is_object() && state.contains(name) ? state.at(name) : empty;
}

std::string text(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_null()) return "-";
  return value.dump();
}

std::string field(const json& object, const char* name) {
  return object.is_object() && object.contains(name) ? text(object.at(name)) : "-";
}

std::string levelText(const std::string& level) {
  return level == std::to_string(Cfm::MdLevel::invalid) ? "-" : level;
}

std::string opCodeText(const std::string& opCode) {
  static const std::map<std::string, std::string> names = {
      {"0", "-"}, {"1", "1 CCM"}, {"2", "2 LBR"}, {"3", "3 LBM"}, {"4", "4 LTR"}, {"5", "5 LTM"},
  };
  auto it = names.find(opCode);
  return it == names.end() ? opCode : it->second;
}

// Counter names in the order of their identifiers (in, in-errors, out, ...); a name the
// agent does not know goes last.
std::uint64_t counterOrder(const std::string& name) {
  if (auto id = CfmAgent::counterIdFromString(name)) return std::uint32_t(*id);
  const bool number = !name.empty() && std::all_of(name.begin(), name.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
  return number && name.size() < 10 ? std::stoull(name) : ~std::uint64_t(0);
}


class Table {
 public:
  struct Column {
    std::string title;
    bool right = false;
  };
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
  void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

  std::string render() const {
    std::vector<std::size_t> width(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      width[c] = columns_[c].title.size();
      for (const auto& r : rows_) width[c] = std::max(width[c], r[c].size());
    }
    std::string out;
    auto line = [&](const std::function<std::string(std::size_t)>& cell) {
      std::string l;
      for (std::size_t c = 0; c < columns_.size(); ++c) {
        const std::string v = cell(c);
        const std::string pad(width[c] - v.size(), ' ');
        l += (c ? "  " : "") + (columns_[c].right ? pad + v : v + pad);
      }
      while (!l.empty() && l.back() == ' ') l.pop_back();
      out += l + "\n";
    };
    line([&](std::size_t c) { return columns_[c].title; });
    line([&](std::size_t c) { return std::string(width[c], '-'); });
    for (const auto& r : rows_) line([&](std::size_t c) { return r[c]; });
    if (rows_.empty()) out += "(none)\n";
    return out;
  }

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

// "Entries: 3 of 65536", above a database's table; nothing when the state does not say.
std::string fillLine(const json& state, const char* database) {
  const json& fill = section(section(state, "databaseFill"), database);
  if (!fill.is_object() || !fill.contains("entries") || !fill.contains("limit")) return "";
  const json &entries = fill.at("entries"), &limit = fill.at("limit");
  const bool full = entries.is_number() && limit.is_number() && entries >= limit;
  return "Entries: " + text(entries) + " of " + text(limit) +
         (full ? " (full: new ones are not learnt)" : "") + "\n";
}

}  // namespace

std::string utcTime(const json& seconds) {
  if (!seconds.is_number()) return "-";
  const double value = seconds.get<double>();
  const std::time_t whole = std::time_t(std::floor(value));
  std::tm tm{};
  gmtime_r(&whole, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", int((value - double(whole)) * 1000) % 1000);
  return std::string(date) + millis + " UTC";
}

std::string showCounters(const json& state) {
  Table table({{"Interface"}, {"Level"}, {"Opcode"}, {"Counter"}, {"Value", true}});
  for (const auto& [intf, levels] : sorted(section(state, "counters"))) {
    for (const auto& [level, opCodes] : sorted(*levels)) {
      for (const auto& [opCode, counters] : sorted(*opCodes)) {
        auto names = sorted(*counters);
        std::stable_sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
          return counterOrder(a.first) < counterOrder(b.first);
        });
        for (const auto& [name, value] : names) {
          // A frame's provisional count leaves a 0 behind once it moves to its opcode:
          // bookkeeping, not something counted.
          if (*value == 0) continue;
          table.row({intf, levelText(level), opCodeText(opCode), name, text(*value)});
        }
      }
    }
  }
  return table.render();
}

std::string showCounterSums(const json& sums, const std::string& key) {
  Table table({{key == "class" ? "Class" : "Counter"}, {"Sum", true}});
  for (const auto& entry : sums) table.row({entry.value(key, ""), text(entry.value("sum", json()))});
  return table.render();
}

std::string showCcmDatabase(const json& state) {
  Table table({{"Level"},
               {"MA name"},
               {"MEP", true},
               {"VLAN", true},
               {"Interface"},
               {"Source MAC"},
               {"Last CCM"}});
  for (const auto& [level, mas] : sorted(section(state, "ccmDatabase"))) {
    for (const auto& [ma, meps] : sorted(*mas)) {
      for (const auto& [mep, info] : sorted(*meps)) {
        table.row(
            {level, ma, mep, field(*info, "vlanId"), field(*info, "intf"), field(*info, "srcMac"),
             utcTime(info->is_object() ? info->value("lastCcmReceivedTime", json()) : json())});
      }
    }
  }
  return fillLine(state, "ccmDatabase") + table.render();
}

std::string showMipCcmDatabase(const json& state) {
  Table table({{"VLAN", true}, {"Source MAC"}, {"Interface"}});
  for (const auto& [vlan, macs] : sorted(section(state, "mipCcmDatabase"))) {
    for (const auto& [mac, intf] : sorted(*macs)) table.row({vlan, mac, text(*intf)});
  }
  return fillLine(state, "mipCcmDatabase") + table.render();
}

std::string showAleConfig(const json& state) {
  std::string out;
  for (const auto& [level, md] : sorted(section(state, "aleConfig"))) {
    out += "MD level " + level + ": name " + field(*md, "mdName") + " (" +
           field(*md, "mdNameFormat") + "), default MIP " + field(*md, "defaultMip") + "\n";
    const json& mas = md->is_object() ? md->value("maConfig", json::object()) : json::object();
    for (const auto& [key, ma] : sorted(mas)) {
      const json interval = ma->is_object() ? ma->value("ccmTxInterval", json()) : json();
      out += "  MA " + key + ": name " + field(*ma, "maName") + " (" + field(*ma, "maNameFormat") +
             "), direction " + field(*ma, "direction") + ", primary VLAN " +
             field(*ma, "primaryVlanId") + ", CCM " +
             (field(*ma, "ccmEnable") == "yes" ? "enabled" : "disabled") + " every " +
             (interval.is_number() ? ccmIntervalName(Cfm::CcmTxInterval(interval.get<double>()))
                                   : std::string("-")) +
             "\n";
      const json& meps =
          ma->is_object() ? ma->value("localMepConfig", json::object()) : json::object();
      for (const auto& [mep, info] : sorted(meps)) {
        std::string remotes;
        const json& list =
            info->is_object() ? info->value("remoteMepConfig", json::object()) : json::object();
        for (const auto& [remote, value] : sorted(list)) {
          remotes += (remotes.empty() ? "" : ", ") + remote +
                     (value->is_boolean() && value->get<bool>() ? "" : " (off)");
        }
        out += "    MEP " + mep + " on " + field(*info, "intfId") + ", remote MEPs " +
               (remotes.empty() ? "none" : remotes) + "\n";
      }
    }
  }
  return out.empty() ? "(none)\n" : out;
}

namespace {

// Calls `row(level, ma, mep, info)` for every local MEP the ALE layer reports.
void forEachMep(const json& state,
                const std::function<void(const std::string&, const std::string&, const std::string&, const json&)>& row) {
  for (const auto& [level, mas] : sorted(section(state, "aleMeps"))) {
    for (const auto& [ma, meps] : sorted(*mas)) {
      for (const auto& [mep, info] : sorted(*meps)) row(level, ma, mep, *info);
    }
  }
}

}  // namespace

std::string showMeps(const json& state) {
  Table table({{"Level", true}, {"MA"}, {"MEP", true}, {"Interface"}, {"FNG state"}, {"Fault alarm"},
               {"Highest defect"}, {"Defects"}, {"RDI"}, {"CCMs sent", true}, {"Seq errors", true},
               {"Error CCMs", true}, {"Xcon CCMs", true}});
  forEachMep(state, [&](const std::string& level, const std::string& ma, const std::string& mep, const json& info) {
    std::string defects;
    if (info.is_object() && info.value("defects", json()).is_array()) {
      for (const auto& d : info.at("defects")) defects += (defects.empty() ? "" : " ") + text(d);
    }
    table.row({level, ma, mep, field(info, "intfId"), field(info, "fngState"), field(info, "faultAlarm"),
               field(info, "highestPrDefect"), defects.empty() ? "-" : defects, field(info, "presentRdi"),
               field(info, "cciSentCcms"), field(info, "ccmSequenceErrors"), field(info, "errorCcms"),
               field(info, "xconCcms")});
  });
  return table.render();
}

std::string showRemoteMeps(const json& state) {
  Table table({{"Level", true}, {"MA"}, {"MEP", true}, {"Remote MEP", true}, {"State"}, {"Since"},
               {"Flaps", true}, {"Last CCM"}, {"CCMs", true}, {"RDI"}, {"MAC"}, {"Port status", true},
               {"Interface status", true}});
  const auto time = [](const json& r, const char* key) {
    const json t = r.is_object() ? r.value(key, json()) : json();
    return t.is_number() && t.get<double>() > 0 ? utcTime(t) : "-";
  };
  forEachMep(state, [&](const std::string& level, const std::string& ma, const std::string& mep, const json& info) {
    const json& remotes = info.is_object() ? info.value("remoteMeps", json::object()) : json::object();
    for (const auto& [remote, r] : sorted(remotes)) {
      table.row({level, ma, mep, remote, field(*r, "rMepState"), time(*r, "rMepFailedOkTime"), field(*r, "flaps"),
                 time(*r, "lastCcmTime"), field(*r, "ccmsReceived"), field(*r, "rdi"), field(*r, "macAddress"),
                 field(*r, "portStatusTlv"), field(*r, "interfaceStatusTlv")});
    }
  });
  return table.render();
}

std::string showPm(const json& state) {
  Table table({{"Level", true}, {"MA"}, {"MEP", true}, {"Session"}, {"Kind"}, {"Target"}, {"Interval"},
               {"Sent", true}, {"Received", true}, {"Delay min/avg/max ms", true}, {"p50 ms", true},
               {"p99 ms", true}, {"Variation ms", true}, {"Far-end loss", true}, {"Near-end loss", true}});
  const auto ms = [](const json& delay, const char* key) {
    const json v = delay.is_object() ? delay.value(key, json()) : json();
    if (!v.is_number()) return std::string("-");
    char out[32];
    std::snprintf(out, sizeof out, "%.3f", v.get<double>() / 1e6);
    return std::string(out);
  };
  const auto loss = [](const json& i, const char* key) {
    const json l = i.value(key, json());
    if (!l.is_object() || !l.value("percent", json()).is_number()) return std::string("-");
    char out[64];
    std::snprintf(out, sizeof out, "%.2f%% of %s", l.at("percent").get<double>(), text(l.value("frames", json())).c_str());
    return std::string(out);
  };
  for (const auto& [level, mas] : sorted(section(state, "pm"))) {
    for (const auto& [ma, meps] : sorted(*mas)) {
      for (const auto& [mep, sessions] : sorted(*meps)) {
        for (const auto& [name, s] : sorted(*sessions)) {
          const json intervals = s->is_object() ? s->value("intervals", json::array()) : json::array();
          std::string target = field(*s, "targetMepId");
          if (target == "-") target = field(*s, "targetMac");
          // The current interval and the last one completed: the rest is for --json.
          for (std::size_t n = 0; n < std::min<std::size_t>(2, intervals.size()); ++n) {
            const json& i = intervals[n];
            if (!i.is_object()) continue;
            const json delay = i.value("delayNs", json());
            const std::string end = utcTime(i.value("end", json()));
            const std::string when = n == 0 ? "current" : end.size() > 19 ? "to " + end.substr(11, 8) : "-";
            table.row({level, ma, mep, name, field(*s, "kind"), target, when, field(i, "sent"), field(i, "received"),
                       delay.is_object() ? ms(delay, "min") + "/" + ms(delay, "mean") + "/" + ms(delay, "max") : "-",
                       ms(delay, "p50"), ms(delay, "p99"), ms(delay, "variation"), loss(i, "farEndLoss"),
                       loss(i, "nearEndLoss")});
          }
        }
      }
    }
  }
  return table.render();
}

std::string showStatus(const json& state) {
  Table table({{"Level"}, {"Default MIP"}});
  for (const auto& [level, md] : sorted(section(state, "mdStatus"))) {
    table.row({level, field(*md, "defaultMip")});
  }
  return table.render();
}

std::string showSockets(const json& state) {
  Table table({{"Interface"},
               {"MTU", true},
               {"Rx frames", true},
               {"Rx queue drops", true},
               {"Rx truncated", true},
               {"Rx kernel drops", true},
               {"Tx frames", true},
               {"Tx errors", true}});
  for (const auto& [intf, socket] : sorted(section(state, "sockets"))) {
    table.row({intf, field(*socket, "mtu"), field(*socket, "rxFrames"), field(*socket, "rxQueueDrops"),
               field(*socket, "rxTruncated"), field(*socket, "rxKernelDrops"),
               field(*socket, "txFrames"), field(*socket, "txErrors")});
  }
  return table.render();
}

std::string showBridging(const json& state) {
  const json& bridging = section(state, "bridging");
  std::string out = "Bridge MAC " + field(bridging, "bridgeMac") + "\n";
  Table ports({{"Interface"}, {"Device"}, {"Mode"}, {"Port VLAN", true}});
  const json& switchports = bridging.is_object() ? bridging.value("switchports", json::object()) : json::object();
  for (const auto& [intf, port] : sorted(switchports)) {
    ports.row({intf, field(*port, "device"), field(*port, "mode"), field(*port, "portVlan")});
  }
  Table hosts({{"VLAN", true}, {"MAC address"}, {"Interface"}, {"Type"}});
  const json& byVlan = bridging.is_object() ? bridging.value("hosts", json::object()) : json::object();
  for (const auto& [vlan, byMac] : sorted(byVlan)) {
    for (const auto& [mac, host] : sorted(*byMac)) hosts.row({vlan, mac, field(*host, "intf"), field(*host, "type")});
  }
  return out + ports.render() + hosts.render();
}

}  // namespace Runner
