#include "apps/runner/Metrics.h"

#include <array>
#include <charconv>

#include "apps/runner/Names.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmCounters.h"
#include "platform/types/CfmStatus.h"

namespace Runner {

namespace {

template <class T>
Kiln::Ptr<T> rootAt(const Orbis::EntityManager& manager, std::string_view path) {
  return Kiln::ptrCast<T>(manager.entity(path));
}

void counters(const CfmAgent::Counter& tree, MetricsSnapshot& out) {
  for (const auto& [intf, byIntf] : tree.intfCounter()) {
    const auto index = std::uint32_t(out.intfs.size());
    out.intfs.push_back(intf.stringValue());
    for (const auto& [level, byLevel] : byIntf->mdCounter()) {
      for (const auto& [opCode, byOpCode] : byLevel->opCodeCounter()) {
        for (const auto& [id, value] : byOpCode->counter()) {
          out.counters.push_back({index, level.value(), opCode, std::uint8_t(id), value});
        }
      }
    }
  }
}

void meps(const Cfm::AleStatus& ale, MetricsSnapshot& out) {
  for (const auto& [level, md] : ale.mdStatus()) {
    for (const auto& [key, ma] : md->maStatus()) {
      for (const auto& [mepId, local] : ma->localMepStatus()) {
        MetricsSnapshot::Mep& mep = out.meps.emplace_back(MetricsSnapshot::Mep{
            level.value(), nameText(key.stringValue()), mepId.value(), local->intfId.stringValue(),
            local->faultAlarm, local->highestDefect, local->ccmsSent, local->ccmSequenceErrors, {}, {}});
        for (const auto& remote : local->remoteMepStatus) {
          mep.remoteMeps.push_back({remote.mepId.value(), remote.state == Cfm::RemoteMepState::ok, remote.flaps});
        }
        for (const auto& session : local->pmSessions) {
          // The current interval is first; a figure of one still filling is not a figure.
          if (session.intervals.size() < 2) continue;
          mep.pmSessions.push_back({session.name, session.kind, session.intervals[1]});
        }
      }
    }
  }
}

// The agent's counter names, by identifier.
const std::array<std::string, CfmAgent::counterIdSlots>& counterNames() {
  static const auto names = [] {
    std::array<std::string, CfmAgent::counterIdSlots> out;
    for (std::size_t id = 0; id < out.size(); ++id) out[id] = CfmAgent::stringValue(CfmAgent::CounterId(id));
    return out;
  }();
  return names;
}

// Writes families: their HELP and TYPE, then their samples. Counter families are named
// without "_total" and their samples with it, as OpenMetrics has them; the Prometheus text
// format names the family as its samples.
class Exposition {
 public:
  explicit Exposition(MetricsFormat format) : openMetrics_(format == MetricsFormat::openMetrics) {}

  void counter(std::string_view family, std::string_view help) { start(family, "counter", "_total", help); }
  void gauge(std::string_view family, std::string_view help) { start(family, "gauge", "", help); }
  void info(std::string_view family, std::string_view help) {
    start(family, openMetrics_ ? "info" : "gauge", "_info", help);
  }

  // A sample of the family last started: begin(), label()s, then value().
  void begin() {
    out_ += sample_;
    first_ = true;
  }
  void label(std::string_view name, std::string_view value) {
    out_ += first_ ? '{' : ',';
    first_ = false;
    out_ += name;
    out_ += "=\"";
    escape(value);
    out_ += '"';
  }
  void label(std::string_view name, unsigned value) {
    if (value < 10) {
      const char digit = char('0' + value);
      label(name, std::string_view(&digit, 1));
      return;
    }
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    label(name, std::string_view(digits, std::size_t(end - digits)));
  }
  // Label text made once and repeated (escaped already, with its leading separator).
  void raw(std::string_view text) {
    out_ += first_ ? '{' : ',';
    first_ = false;
    out_ += text.substr(1);
  }
  void value(std::uint64_t v) {
    close();
    char digits[24];
    out_.append(digits, std::size_t(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
    out_ += '\n';
  }
  void value(double v) {
    close();
    char digits[32];
    out_.append(digits, std::size_t(std::to_chars(digits, digits + sizeof digits, v).ptr - digits));
    out_ += '\n';
  }

  std::string& text() { return out_; }
  std::string finish() {
    if (openMetrics_) out_ += "# EOF\n";
    return std::move(out_);
  }
  void escape(std::string_view value) {
    for (const char c : value) {
      if (c == '\\') out_ += "\\\\";
      else if (c == '"') out_ += "\\\"";
      else if (c == '\n') out_ += "\\n";
      else out_ += c;
    }
  }

 private:
  void start(std::string_view family, const char* type, const char* suffix, std::string_view help) {
    sample_.assign(family).append(suffix);
    const std::string_view name = openMetrics_ ? family : std::string_view(sample_);
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  void close() { out_ += first_ ? " " : "} "; }

  bool openMetrics_;
  std::string out_;
  std::string sample_;
  bool first_ = true;
};

// `name="value"` with its leading separator, for Exposition::raw.
std::string labelText(std::string_view name, std::string_view value) {
  Exposition one(MetricsFormat::prometheus);
  one.begin();
  one.label(name, value);
  return one.text();
}

// One family of the agent's counters: the entries of one class, each with its interface,
// level and opcode, and its counter name under `nameLabel` when the class has several. The
// labels of names that repeat on every line are made once: writing them is most of a
// scrape's cost.
void agentCounters(Exposition& e, const MetricsSnapshot& s, const std::vector<std::string>& intfLabels,
                   CfmAgent::CounterClass counterClass, const char* nameLabel) {
  std::vector<std::string> nameLabels;
  if (nameLabel) {
    for (const auto& name : counterNames()) nameLabels.push_back(labelText(nameLabel, name));
  }
  for (const auto& c : s.counters) {
    if (CfmAgent::counterClass(CfmAgent::CounterId(c.id)) != counterClass) continue;
    e.begin();
    e.raw(intfLabels[c.intf]);
    e.label("level", c.level);
    e.label("opcode", c.opCode);
    if (nameLabel) e.raw(nameLabels[c.id]);
    e.value(c.value);
  }
}

void mepLabels(Exposition& e, const MetricsSnapshot::Mep& m) {
  e.label("level", m.level);
  e.label("ma", m.ma);
  e.label("mep", m.mepId);
}

double seconds(std::int64_t ns) { return double(ns) / 1e9; }

}  // namespace

MetricsSnapshot metricsSnapshot(const Orbis::EntityManager& manager,
                                const std::vector<Kiln::PtrConst<Interface::Pam>>& sockets) {
  MetricsSnapshot out;
  const auto status = rootAt<CfmAgent::Status>(manager, "cfm/status");
  if (status && status->counter()) counters(*status->counter(), out);
  if (status) {
    const auto config = rootAt<CfmAgent::Config>(manager, "cfm/config");
    if (const auto db = status->ccmDb()) {
      out.databases.push_back(
          {"ccm", db->entryCount(), config ? config->ccmDbEntryLimit() : CfmAgent::Config::defaultCcmDbEntryLimit});
    }
    if (const auto db = status->mipCcmDb()) {
      out.databases.push_back({"mip_ccm", db->entryCount(),
                               config ? config->mipCcmDbEntryLimit() : CfmAgent::Config::defaultMipCcmDbEntryLimit});
    }
  }
  for (const auto& pam : sockets) {
    if (pam && !pam->closed()) out.sockets.push_back({pam->intfId().stringValue(), pam->mtu(), pam->counters()});
  }
  if (const auto ale = rootAt<Cfm::AleStatus>(manager, "cfm/aleStatus")) meps(*ale, out);
  return out;
}

MetricsFormat metricsFormatFor(std::string_view accept) {
  return accept.find("application/openmetrics-text") != std::string_view::npos ? MetricsFormat::openMetrics
                                                                                 : MetricsFormat::prometheus;
}

const char* metricsContentType(MetricsFormat format) {
  return format == MetricsFormat::openMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                              : "text/plain; version=0.0.4; charset=utf-8";
}

std::string metricsText(const MetricsSnapshot& s, MetricsFormat format, std::string_view version) {
  Exposition e(format);
  // A counter line is about a hundred bytes.
  e.text().reserve(4096 + s.counters.size() * 110 + s.meps.size() * 600);

  e.info("cfm_build", "The cfmagentd build.");
  e.begin();
  e.label("version", version);
  e.value(std::uint64_t(1));

  std::vector<std::string> intfLabels;
  intfLabels.reserve(s.intfs.size());
  for (const auto& name : s.intfs) intfLabels.push_back(labelText("interface", name));
  using CfmAgent::CounterClass;
  e.counter("cfm_frames_received", "CFM frames received (the agent's in counter; level 8 and opcode 0 until "
                                   "the header and the opcode are accepted).");
  agentCounters(e, s, intfLabels, CounterClass::counterClassIn_, nullptr);
  e.counter("cfm_frames_dropped", "CFM frames dropped, by the agent's in-error counter that says why.");
  agentCounters(e, s, intfLabels, CounterClass::counterClassInError_, "reason");
  e.counter("cfm_frames_sent", "CFM frames the agent handed to a packet socket (LBR, LTR, relayed LTM).");
  agentCounters(e, s, intfLabels, CounterClass::counterClassOut_, nullptr);
  e.counter("cfm_frames_not_sent", "CFM frames the agent could not send, by the out-error counter that says why.");
  agentCounters(e, s, intfLabels, CounterClass::counterClassOutError_, "reason");
  e.counter("cfm_agent_events", "Events the agent counts that are not drops by themselves (its debug counters).");
  agentCounters(e, s, intfLabels, CounterClass::counterClassDebug_, "event");

  const auto sockets = [&](const char* family, const char* help, auto field) {
    e.counter(family, help);
    for (const auto& socket : s.sockets) {
      e.begin();
      e.label("interface", socket.intf);
      e.value(std::uint64_t(socket.counters.*field));
    }
  };
  using Counters = Interface::Pam::Counters;
  sockets("cfm_socket_received_frames", "Frames the packet socket queued for the agent.", &Counters::rxFrames);
  sockets("cfm_socket_receive_queue_drops", "Frames dropped because the agent's receive queue was full.",
          &Counters::rxQueueDrops);
  sockets("cfm_socket_truncated_frames", "Frames too long to take whole.", &Counters::rxTruncated);
  sockets("cfm_socket_kernel_drops", "Frames the kernel dropped before the socket read them.",
          &Counters::rxKernelDrops);
  sockets("cfm_socket_sent_frames", "Frames the packet socket sent.", &Counters::txFrames);
  sockets("cfm_socket_send_errors", "Frames the packet socket failed to send.", &Counters::txErrors);
  e.gauge("cfm_socket_mtu_bytes", "The largest frame the packet socket sends, without the Ethernet header.");
  for (const auto& socket : s.sockets) {
    e.begin();
    e.label("interface", socket.intf);
    e.value(std::uint64_t(socket.mtu));
  }

  e.gauge("cfm_database_entries", "Entries in the agent's CCM learning databases.");
  for (const auto& db : s.databases) {
    e.begin();
    e.label("database", db.name);
    e.value(db.entries);
  }
  e.gauge("cfm_database_limit_entries", "The entries a CCM learning database takes at most.");
  for (const auto& db : s.databases) {
    e.begin();
    e.label("database", db.name);
    e.value(db.limit);
  }

  const auto mepFamily = [&](bool isCounter, const char* family, const char* help, auto value) {
    isCounter ? e.counter(family, help) : e.gauge(family, help);
    for (const auto& m : s.meps) {
      e.begin();
      mepLabels(e, m);
      e.label("interface", m.intf);
      e.value(std::uint64_t(value(m)));
    }
  };
  using Mep = MetricsSnapshot::Mep;
  mepFamily(false, "cfm_mep_fault_alarm", "1 while the local MEP's fault alarm is raised.",
            [](const Mep& m) { return m.faultAlarm; });
  mepFamily(false, "cfm_mep_highest_defect",
            "The local MEP's highest defect: 0 none, 1 rdiCcm, 2 macStatus, 3 remoteCcm, 4 errorCcm, 5 xconCcm.",
            [](const Mep& m) { return unsigned(m.highestDefect); });
  mepFamily(true, "cfm_mep_ccms_sent", "CCMs the local MEP sent.", [](const Mep& m) { return m.ccmsSent; });
  mepFamily(true, "cfm_mep_ccm_sequence_errors", "CCMs from the local MEP's remote MEPs out of sequence.",
            [](const Mep& m) { return m.sequenceErrors; });

  const auto remoteFamily = [&](bool isCounter, const char* family, const char* help, auto value) {
    isCounter ? e.counter(family, help) : e.gauge(family, help);
    for (const auto& m : s.meps) {
      for (const auto& r : m.remoteMeps) {
        e.begin();
        mepLabels(e, m);
        e.label("remote_mep", r.mepId);
        e.value(std::uint64_t(value(r)));
      }
    }
  };
  using RemoteMep = MetricsSnapshot::RemoteMep;
  remoteFamily(false, "cfm_remote_mep_up", "1 while the remote MEP's state is ok (its CCMs arrive).",
               [](const RemoteMep& r) { return r.up; });
  remoteFamily(true, "cfm_remote_mep_flaps", "How often the remote MEP went from ok to failed.",
               [](const RemoteMep& r) { return r.flaps; });

  // Measurement sessions: the figures of the last interval completed.
  using Session = MetricsSnapshot::PmSession;
  const auto pmFamily = [&](const char* family, const char* help, auto each) {
    e.gauge(family, help);
    for (const auto& m : s.meps) {
      for (const auto& p : m.pmSessions) {
        const auto sample = [&] {
          e.begin();
          mepLabels(e, m);
          e.label("session", p.name);
          e.label("kind", Cfm::stringValue(p.kind));
        };
        each(p, sample);
      }
    }
  };
  pmFamily("cfm_pm_delay_seconds", "Frame delay of the session's last completed interval, by statistic.",
           [&](const Session& p, auto sample) {
             const Cfm::DelaySummary& d = p.interval.delay;
             if (d.count == 0) return;
             for (const auto& [stat, ns] : {std::pair{"min", d.min}, {"mean", d.mean}, {"p50", d.p50},
                                            {"p99", d.p99}, {"max", d.max}}) {
               sample();
               e.label("stat", stat);
               e.value(seconds(ns));
             }
           });
  pmFamily("cfm_pm_delay_variation_seconds", "Frame delay variation of the session's last completed interval.",
           [&](const Session& p, auto sample) {
             if (p.interval.delay.count == 0) return;
             sample();
             e.value(seconds(p.interval.delay.variation));
           });
  pmFamily("cfm_pm_frame_loss_ratio", "Frame loss of the session's last completed interval, far end and near end.",
           [&](const Session& p, auto sample) {
             const auto& i = p.interval;
             if (i.farEndFrames == 0 && i.nearEndFrames == 0) return;
             for (const auto& [end, frames, lost] :
                  {std::tuple{"far", i.farEndFrames, i.farEndLost}, {"near", i.nearEndFrames, i.nearEndLost}}) {
               sample();
               e.label("end", end);
               e.value(frames ? double(lost) / double(frames) : 0.0);
             }
           });
  pmFamily("cfm_pm_interval_end_timestamp_seconds", "When the session's last completed interval ended.",
           [&](const Session& p, auto sample) {
             sample();
             e.value(p.interval.end);
           });
  return e.finish();
}

}  // namespace Runner
