// The cost of a Prometheus scrape (apps/runner/Metrics.h): the event loop's share, copying
// the figures out of the state database (BM_MetricsSnapshot), the scrape thread's share,
// writing them out in either format (BM_MetricsText), and both together (BM_MetricsScrape).
//
// Three switches:
// - small: 48 interfaces with the counts a quiet network leaves, 20 MEPs;
// - reachable: the most a switch can show: 512 interfaces, and on each every counter the
//   agent can count in every (level, opcode) bucket it can count it in (the table below),
//   1,000 local MEPs with a remote MEP or two, 200 measurement sessions;
// - everySlot: the tree's own bound, every named counter at every level 0-8 and opcode
//   0-5 on 512 interfaces, with the same MEPs. No frame can make it; it bounds the rest.
//
// Reports `series` (sample lines) and `bytes` of the text; times are CPU per scrape. The
// snapshot reads real packet sockets whose device reports only kernel drops; the text is
// made from a snapshot whose socket counts were then set as a busy switch's would be.
// BM_MetricsScrapeHttp serves the same through MetricsServer on 127.0.0.1 and a client
// that reads the whole answer: its CPU time is the process's, its threads' included.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/cfmagentd/MetricsServer.h"
#include "apps/runner/Metrics.h"
#include "platform/intf/Pam.h"
#include "platform/kiln/EventLoop.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmCounters.h"
#include "platform/types/CfmStatus.h"

namespace {

using CfmAgent::CounterId;
using Lumen::IntfId;

// Where each counter can land (docs/counters.md): a row names the buckets, the ids are what
// can be counted there. Level 8 and opcode 0 hold the provisional `in` and the checks made
// before the CFM header is known; a level's opcode 0 only an opcode outside 1-5. From the
// opcode on, every frame counts `in`, and may fail a check of the receive path after the
// opcode, then its engine's own. Debug counts land on the received frame's bucket (a reply
// too big for its egress on its LBM's or LTM's); out and outErrorNoPam on the sent frame's
// (LBR 2, LTR 4, relayed LTM 5). CCMs of the switch's own MEPs are not the agent's to count.
struct Reach {
  bool headerUnknown;  // level 8 only, else levels 0-7
  Cfm::OpCode opCode;
  std::vector<CounterId> ids;
};

std::vector<Reach> reachableBuckets() {
  using enum CounterId;
  const std::vector<CounterId> afterOpCode = {in_,
                                              inErrorDstMacOpCodeMismatch_,
                                              inErrorDstMacMdLevelMismatch_,
                                              inErrorNoMpAtMdLevel_,
                                              inErrorFirstTlvOffsetTooLarge_,
                                              inErrorFirstTlvOffsetTooSmall_,
                                              inErrorNoProtocolHandler_};
  const auto with = [&](std::vector<CounterId> own) {
    std::vector<CounterId> ids = afterOpCode;
    ids.insert(ids.end(), own.begin(), own.end());
    return ids;
  };
  return {
      {true, Cfm::opCodeNone,
       {in_, inErrorMipNotConfigured_, inErrorSrcMacNotUnicast_, inErrorEthHdrTooShort_, inErrorIntfModeExcluded_,
        inErrorNoBridgingVlan_, inErrorVlanTagTooShort_, inErrorNotCfmEtherType_, inErrorCfmHdrTooShort_}},
      {false, Cfm::opCodeNone, {inErrorUnsupportedOpCode_}},
      {false, Cfm::opCodeCcm,
       with({inErrorPduTooLong_, inErrorPduTooShort_, inErrorCcmIntervalZero_, inErrorCcmMepIdInvalid_,
             inErrorCcmMdNameLen_, debugUnsupportedMdNameFormat_, inErrorCcmMaNameLen_, debugMipCcmDbFull_,
             debugCcmDbFull_})},
      {false, Cfm::opCodeLbr, with({out_, outErrorNoPam_})},
      {false, Cfm::opCodeLbm, with({inErrorLbmDstMacMismatch_, inErrorPduTooShort_, debugReplyTooBig_})},
      {false, Cfm::opCodeLtr, with({out_, outErrorNoPam_})},
      {false, Cfm::opCodeLtm,
       with({inErrorPduTooShort_, inErrorLtmOriginalMac_, inErrorLtmTargetMac_, inErrorLtmTtlZero_,
             inErrorTlvHdrTruncated_, inErrorTlvLenTooLarge_, debugLtmEgressIdTlvLen_, debugLtmNoEgressPort_,
             debugLtmTtlExpired_, debugLtmRelayTooBig_, debugReplyTooBig_, out_, outErrorNoPam_})},
  };
}

// A quiet network's counts on one interface: CCMs at two levels, a few loopbacks and
// linktraces answered, and some frames of a level the switch has no domain at.
std::vector<Reach> typicalBuckets() {
  using enum CounterId;
  return {
      {true, Cfm::opCodeNone, {in_}},
      {false, Cfm::opCodeCcm, {in_}},
      {false, Cfm::opCodeLbr, {out_}},
      {false, Cfm::opCodeLbm, {in_}},
      {false, Cfm::opCodeLtr, {out_}},
      {false, Cfm::opCodeLtm, {in_}},
  };
}

enum class Shape { small, reachable, everySlot };

// Counts of every size, from single digits to billions, as a long-running switch has.
std::uint64_t countFor(std::uint64_t seed) {
  seed = seed * 0x9e3779b97f4a7c15ull;
  seed ^= seed >> 29;
  static constexpr std::uint64_t tens[] = {10, 100, 10'000, 1'000'000, 100'000'000, 10'000'000'000ull};
  return seed % tens[(seed >> 7) % std::size(tens)];
}

// A packet socket with a device that only reports what the kernel dropped.
class QuietDevice : public Interface::PamDevice {
 public:
  explicit QuietDevice(std::uint64_t drops) : drops_(drops) {}
  bool transmit(std::span<const std::uint8_t>, const Interface::TxTiming&) override { return true; }
  RxLosses rxLosses() override { return {0, drops_}; }

 private:
  std::uint64_t drops_;
};

struct Switch {
  Kiln::Ptr<Orbis::EntityManager> manager;
  std::vector<Kiln::PtrConst<Interface::Pam>> sockets;
};

IntfId intfOf(std::size_t i) { return IntfId("Ethernet" + std::to_string(i + 1)); }

void addCounters(CfmAgent::Counter& tree, std::size_t intfs, Shape shape) {
  const auto named = [] {
    std::vector<CounterId> ids;
    for (std::size_t id = 0; id < CfmAgent::counterIdSlots; ++id) {
      if (CfmAgent::stringValue(CounterId(id)) != std::to_string(id)) ids.push_back(CounterId(id));
    }
    return ids;
  }();
  std::uint64_t seed = 1;
  for (std::size_t i = 0; i < intfs; ++i) {
    auto intf = tree.intfCounterIs(intfOf(i));
    const auto count = [&](unsigned level, Cfm::OpCode op, CounterId id) {
      intf->mdCounterIs(Cfm::MdLevel(std::uint8_t(level)))->opCodeCounterIs(op)->counterIs(id, countFor(++seed));
    };
    switch (shape) {
      case Shape::everySlot:
        for (unsigned level = 0; level <= Cfm::MdLevel::invalid; ++level) {
          for (unsigned op = Cfm::opCodeNone; op <= Cfm::opCodeLtm; ++op) {
            for (const CounterId id : named) count(level, Cfm::OpCode(op), id);
          }
        }
        break;
      case Shape::reachable:
        for (const Reach& r : reachableBuckets()) {
          for (unsigned level = r.headerUnknown ? Cfm::MdLevel::invalid : 0;
               level <= (r.headerUnknown ? Cfm::MdLevel::invalid : 7u); ++level) {
            for (const CounterId id : r.ids) count(level, r.opCode, id);
          }
        }
        break;
      case Shape::small:
        for (const Reach& r : typicalBuckets()) {
          for (const unsigned level : r.headerUnknown ? std::vector<unsigned>{Cfm::MdLevel::invalid}
                                                      : std::vector<unsigned>{3, 5}) {
            for (const CounterId id : r.ids) count(level, r.opCode, id);
          }
        }
        count(7, Cfm::opCodeCcm, CounterId::in_);
        count(7, Cfm::opCodeCcm, CounterId::inErrorNoMpAtMdLevel_);
        break;
    }
  }
}

// `meps` local MEPs spread over the levels and over associations of four MEPs each, each
// with one or two remote MEPs; every fifth with a delay and a loss session that completed
// an interval.
void addMeps(Cfm::AleStatus& ale, std::size_t meps, std::size_t intfs) {
  const Lumen::EthAddr peer(2, 0, 0, 0, 0, 0x0a);
  for (std::size_t i = 0; i < meps; ++i) {
    const auto level = Cfm::MdLevel(std::uint8_t(i % 8));
    const std::string ma = "customer-" + std::to_string(i / 4) + "-east-ring";
    auto mep = ale.mdStatusIs(level)->maStatusIs(Cfm::MaName(ma))->localMepStatusIs(Cfm::MepId(std::uint16_t(i + 1)));
    mep->intfId = intfOf(i % intfs);
    mep->ccmsSent = countFor(i * 7 + 1);
    mep->ccmSequenceErrors = i % 3;
    mep->faultAlarm = i % 50 == 0;
    mep->highestDefect = i % 50 == 0 ? Cfm::MepDefect::remoteCcm : Cfm::MepDefect::none;
    for (std::size_t r = 0; r < 1 + i % 2; ++r) {
      mep->remoteMepStatus.push_back({Cfm::MepId(std::uint16_t(2000 + i * 2 + r)),
                                      i % 50 == 0 ? Cfm::RemoteMepState::failed : Cfm::RemoteMepState::ok,
                                      1700000000.5, countFor(i + r), 0, false, peer, 2, 1, 1699999990.25, i % 4});
    }
    if (i % 5 != 0) continue;
    const Cfm::PmIntervalAleStatus current{1700000900, 0, 3, 3, {3, 41'000, 2'000'000, 700'000, 60'000, 1'999'000, 12'345}};
    Cfm::PmIntervalAleStatus delay{1700000000, 1700000900, 9000, 8990,
                                   {8990, 38'000, 2'400'000, 690'000, 61'000, 1'998'000, 12'000}};
    Cfm::PmIntervalAleStatus loss{1700000000, 1700000900, 9000, 8990, {}};
    loss.farEndFrames = 9000, loss.farEndLost = 9, loss.nearEndFrames = 8990, loss.nearEndLost = 0;
    mep->pmSessions = {{"delay", Cfm::PmKind::dmm, Cfm::MepId(std::uint16_t(2000 + i * 2)), peer, 0, 0.1, 0, 0, 9000,
                        {current, delay}},
                       {"loss", Cfm::PmKind::slm, Cfm::MepId(), peer, 7, 0.1, 0, 0, 0, {current, loss}}};
  }
}

Switch build(Shape shape) {
  const std::size_t intfs = shape == Shape::small ? 48 : 512;
  const std::size_t meps = shape == Shape::small ? 20 : 1000;
  Switch s{Kiln::make<Orbis::EntityManager>(), {}};
  auto status = Kiln::ptrCast<CfmAgent::Status>(s.manager->entityIs("cfm/status", "CfmAgent::Status"));
  addCounters(*status->counterIs(), intfs, shape);
  status->ccmDbIs();
  status->mipCcmDbIs();
  Kiln::ptrCast<CfmAgent::Config>(s.manager->entityIs("cfm/config", "CfmAgent::Config"));
  addMeps(*Kiln::ptrCast<Cfm::AleStatus>(s.manager->entityIs("cfm/aleStatus", "Cfm::AleStatus")), meps, intfs);
  for (std::size_t i = 0; i < intfs; ++i) {
    auto pam = Kiln::make<Interface::EthDevPam>(intfOf(i));
    pam->deviceIs(std::make_unique<QuietDevice>(countFor(i)));
    s.sockets.push_back(pam);
  }
  return s;
}

// Built once per shape: the every-slot tree takes seconds.
const Switch& switchOf(Shape shape) {
  static std::map<Shape, Switch> built;
  auto it = built.find(shape);
  if (it == built.end()) it = built.emplace(shape, build(shape)).first;
  return it->second;
}

// The snapshot as the scrape thread gets it, the sockets' counts grown as on a live switch.
const Runner::MetricsSnapshot& snapshotOf(Shape shape) {
  static std::map<Shape, Runner::MetricsSnapshot> taken;
  auto it = taken.find(shape);
  if (it == taken.end()) {
    const Switch& s = switchOf(shape);
    Runner::MetricsSnapshot snapshot = Runner::metricsSnapshot(*s.manager, s.sockets);
    std::uint64_t seed = 0;
    for (auto& socket : snapshot.sockets) {
      socket.counters.rxFrames = countFor(++seed) + 1'000'000'000;
      socket.counters.rxQueueDrops = countFor(++seed);
      socket.counters.txFrames = countFor(++seed) + 100'000'000;
      socket.counters.txErrors = countFor(++seed) % 10;
    }
    it = taken.emplace(shape, std::move(snapshot)).first;
  }
  return it->second;
}

// Sample lines, and the text's size.
void report(benchmark::State& state, const std::string& text) {
  std::size_t samples = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] != '#') ++samples;
    const std::size_t end = text.find('\n', at);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  state.counters["series"] = double(samples);
  state.counters["bytes"] = double(text.size());
}

void BM_MetricsSnapshot(benchmark::State& state, Shape shape) {
  const Switch& s = switchOf(shape);
  std::size_t counters = 0;
  for (auto _ : state) {
    auto snapshot = Runner::metricsSnapshot(*s.manager, s.sockets);
    counters = snapshot.counters.size();
    benchmark::DoNotOptimize(snapshot);
  }
  state.counters["counters"] = double(counters);
  state.counters["meps"] = double(snapshotOf(shape).meps.size());
  state.counters["sockets"] = double(snapshotOf(shape).sockets.size());
}

void BM_MetricsText(benchmark::State& state, Shape shape, Runner::MetricsFormat format) {
  const Runner::MetricsSnapshot& snapshot = snapshotOf(shape);
  std::string text;
  for (auto _ : state) {
    text = Runner::metricsText(snapshot, format, "bench");
    benchmark::DoNotOptimize(text.data());
  }
  report(state, text);
}

// What one scrape costs in all: the copy on the loop and the Prometheus text.
void BM_MetricsScrape(benchmark::State& state, Shape shape) {
  const Switch& s = switchOf(shape);
  std::string text;
  for (auto _ : state) {
    text = Runner::metricsText(Runner::metricsSnapshot(*s.manager, s.sockets), Runner::MetricsFormat::prometheus,
                               "bench");
    benchmark::DoNotOptimize(text.data());
  }
  report(state, text);
}

// One GET of /metrics over TCP, read to its end. The answer's bytes; an error unless it
// is a 200 whose body is as long as its Content-Length says.
struct Answer {
  std::size_t bytes = 0;
  std::string error;
};
Answer get(int port) {
  Answer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(std::uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string_view request = "GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    ::close(fd);
    return {0, std::string("cannot ask: ") + std::strerror(errno)};
  }
  // Only the head is kept: the client's own copying is no part of the server's cost.
  std::string head;
  std::size_t headEnd = std::string::npos;
  static char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    answer.bytes += std::size_t(n);
    if (headEnd == std::string::npos) {
      head.append(buffer, std::size_t(n));
      headEnd = head.find("\r\n\r\n");
    }
  }
  const int readError = n < 0 ? errno : 0;
  ::close(fd);
  const std::size_t at = head.find("Content-Length: ");
  if (!head.starts_with("HTTP/1.1 200") || headEnd == std::string::npos || at == std::string::npos) {
    answer.error = "not a 200 with a Content-Length: " + head.substr(0, head.find("\r\n"));
    return answer;
  }
  const std::size_t body = answer.bytes - (headEnd + 4);
  const std::size_t length = std::stoul(head.substr(at + 16));
  if (body != length) {
    answer.error = "body cut short: " + std::to_string(body) + " of " + std::to_string(length) + " bytes" +
                   (readError ? std::string(", then ") + std::strerror(readError) : "");
  }
  return answer;
}

// The loop runs here, as in the daemon; the client runs on a thread of its own and stops
// the loop when it has the whole answer.
void BM_MetricsScrapeHttp(benchmark::State& state, Shape shape) {
  const Switch& s = switchOf(shape);
  Kiln::EventLoop loop;
  Cfmagentd::MetricsServer server(loop, "127.0.0.1:0", [&] { return Runner::metricsSnapshot(*s.manager, s.sockets); },
                                  "bench");
  const int done = ::eventfd(0, EFD_CLOEXEC);
  loop.fdIs(done, EPOLLIN, [&](std::uint32_t) {
    std::uint64_t n;
    if (::read(done, &n, sizeof n) == sizeof n) loop.stop();
  });
  Answer answer;
  for (auto _ : state) {
    std::thread client([&] {
      answer = get(server.port());
      const std::uint64_t one = 1;
      if (::write(done, &one, sizeof one) != sizeof one) answer.error = "cannot stop the loop";
    });
    loop.run();
    client.join();
    if (!answer.error.empty()) {
      state.SkipWithError(answer.error.c_str());
      break;
    }
  }
  loop.fdDel(done);
  ::close(done);
  state.counters["bytes"] = double(answer.bytes);
}

using Runner::MetricsFormat;
BENCHMARK_CAPTURE(BM_MetricsSnapshot, small, Shape::small)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, small_prometheus, Shape::small, MetricsFormat::prometheus)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, small_openmetrics, Shape::small, MetricsFormat::openMetrics)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsScrape, small, Shape::small)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsScrapeHttp, small, Shape::small)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

BENCHMARK_CAPTURE(BM_MetricsSnapshot, reachable, Shape::reachable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, reachable_prometheus, Shape::reachable, MetricsFormat::prometheus)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, reachable_openmetrics, Shape::reachable, MetricsFormat::openMetrics)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsScrape, reachable, Shape::reachable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsScrapeHttp, reachable, Shape::reachable)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

BENCHMARK_CAPTURE(BM_MetricsSnapshot, every_slot, Shape::everySlot)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, every_slot_prometheus, Shape::everySlot, MetricsFormat::prometheus)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsText, every_slot_openmetrics, Shape::everySlot, MetricsFormat::openMetrics)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MetricsScrape, every_slot, Shape::everySlot)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
