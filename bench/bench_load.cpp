// Delivery under load: paced producers against a loopback collector that answers 200, and
// peak memory against the size of a custom field.
//
//   scripts/bench.sh bench_load
//   scripts/bench.sh bench_load --benchmark_filter=Paced   (ZEPLOG_BENCH_SECONDS, default 20)
//
// Paced/<rate>  two producers share <rate> log calls a second for ZEPLOG_BENCH_SECONDS; events
//               delivered a second, events dropped at the queue's bound, send-thread CPU per
//               delivered event.
// PeakMemory/<KiB>  a child process with a custom field of that size logs 2000 events and
//               flushes; its peak resident memory (VmHWM) and whether all arrived.
// Outage/<s>    durable mode: two producers make 2000 calls a second for 10 s, then the
//               collector answers 503 for <s> seconds while they go on, then 200 again for
//               10 s; every event delivered?, how long after its return the backoff let the
//               first request through, and how fast the backlog then drained (events a
//               second from that first 200 until the spool was empty).
//
// ZEPLOG_BENCH_DURABLE=1 runs Paced in durable mode (request bodies spooled on disk first),
// ZEPLOG_BENCH_GZIP=1 with compressed request bodies; each is fixed for the process, as the
// library takes them only before its first initialisation.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "delivery/durable_delivery.hpp"
#include "delivery/send_thread.hpp"
#include "event/global_state.hpp"
#include "zeplog/zeplog.hpp"

namespace {

using namespace std::chrono_literals;
using zeplog::ZEPLog;

// Counts the event objects that arrive (each carries one "kstBulkIndex") and answers 200.
class Collector {
 public:
  Collector() {
    server_.set_keep_alive_max_count(1000000);
    server_.Post("/v2/log", [this](const httplib::Request& req, httplib::Response& res) {
      std::size_t n = 0;
      for (std::size_t p = req.body.find("\"kstBulkIndex\""); p != std::string::npos;
           p = req.body.find("\"kstBulkIndex\"", p + 1))
        ++n;
      if (failing_.load()) {
        res.status = 503;
        return;
      }
      if (firstOk_.load() == 0)
        firstOk_ = std::chrono::steady_clock::now().time_since_epoch().count();
      events_ += n;
      res.status = 200;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  int port() const { return port_; }
  std::uint64_t events() const { return events_.load(); }
  // While failing, every request is answered 503; the first 200 after it is noted.
  void setFailing(bool failing) {
    firstOk_ = 0;
    failing_ = failing;
  }
  std::chrono::steady_clock::time_point firstOk() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(firstOk_.load()));
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<std::uint64_t> events_{0};
  std::atomic<bool> failing_{false};                        // answer 503: the collector is out
  std::atomic<std::chrono::steady_clock::rep> firstOk_{0};  // the first 200 after an outage
};

Collector& collector() {
  static auto* c = new Collector;  // outlives the send thread; never destroyed
  return *c;
}

double threadCpu(pthread_t thread) {
  clockid_t id;
  if (pthread_getcpuclockid(thread, &id) != 0) return 0;
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

pthread_t sendThread() {
  zeplog::detail::GlobalLock lock(zeplog::detail::global_resource_lock());
  return zeplog::detail::gs_logSendThreads().at(0).native_handle();
}

bool outageRun = false;  // the Outage benchmark needs durable mode whatever the environment

bool initOnce() {
  static const bool ok = [] {
    ZEPLog::silenceConsole();
    ZEPLog::setDataDirectory("/tmp/zeplog-bench-load");
    ZEPLog::setSettingsBaseURL("http://127.0.0.1:9/v2/");  // no settings server here
    if (std::getenv("ZEPLOG_BENCH_DURABLE") || outageRun) ZEPLog::enableDurableDelivery();
    if (std::getenv("ZEPLOG_BENCH_GZIP")) ZEPLog::setRequestCompression(true);
    return ZEPLog::init("127.0.0.1", collector().port(), 1, "benchapp", "1.0", "bench-user");
  }();
  return ok;
}

int benchSeconds() {
  const char* s = std::getenv("ZEPLOG_BENCH_SECONDS");
  return s ? std::max(1, std::atoi(s)) : 20;
}

// One producer making `perSecond` calls a second, each at its own deadline, until `end`.
void pacedProducer(int id, double perSecond, std::chrono::steady_clock::time_point end) {
  const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / perSecond));
  auto next = std::chrono::steady_clock::now();
  std::string message = "paced event " + std::to_string(id) + " ";
  const std::size_t prefix = message.size();
  for (std::uint64_t n = 0; next < end; ++n, next += step) {
    std::this_thread::sleep_until(next);
    message.resize(prefix);
    message += std::to_string(n);  // every message differs: repeats would be collapsed
    ZEPLog::info(nullptr, message);
  }
}

void BM_Paced(benchmark::State& state) {
  if (!initOnce()) {
    state.SkipWithError("init failed");
    return;
  }
  const double rate = static_cast<double>(state.range(0));
  for (auto _ : state) {
    (void)ZEPLog::flush(10s);
    const zeplog::Counters before = ZEPLog::counters();
    const std::uint64_t arrived0 = collector().events();
    const double cpu0 = threadCpu(sendThread());
    const auto t0 = std::chrono::steady_clock::now();
    const auto end = t0 + std::chrono::seconds(benchSeconds());
    std::thread a(pacedProducer, 0, rate / 2, end), b(pacedProducer, 1, rate / 2, end);
    a.join();
    b.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    (void)ZEPLog::flush(30s);  // what the producers left queued goes too
    const zeplog::Counters after = ZEPLog::counters();
    const double delivered = static_cast<double>(collector().events() - arrived0);
    state.counters["offered_per_s"] = rate;
    state.counters["delivered_per_s"] = delivered / elapsed;
    state.counters["dropped_at_bound"] =
        static_cast<double>(after.droppedFromQueue - before.droppedFromQueue);
    state.counters["send_cpu_us_per_event"] =
        delivered > 0 ? (threadCpu(sendThread()) - cpu0) / delivered * 1e6 : 0;
  }
}

void BM_Outage(benchmark::State& state) {
  outageRun = true;
  if (!initOnce()) {
    state.SkipWithError("init failed");
    return;
  }
  constexpr double kRate = 2000;
  for (auto _ : state) {
    (void)ZEPLog::flush(10s);
    const std::uint64_t arrived0 = collector().events();
    const auto t0 = std::chrono::steady_clock::now();
    const auto outageStart = t0 + 10s;
    const auto outageEnd = outageStart + std::chrono::seconds(state.range(0));
    const auto end = outageEnd + 10s;
    std::thread a(pacedProducer, 0, kRate / 2, end), b(pacedProducer, 1, kRate / 2, end);
    std::this_thread::sleep_until(outageStart);
    collector().setFailing(true);
    std::this_thread::sleep_until(outageEnd);
    collector().setFailing(false);
    // The backlog has drained when the spool holds no more than a cycle's body; the
    // producers go on meanwhile.
    const auto back = std::chrono::steady_clock::now();
    const std::uint64_t arrivedAtReturn = collector().events();
    while (collector().firstOk().time_since_epoch().count() == 0 ||
           zeplog::detail::spoolBacklog() > 1)
      std::this_thread::sleep_for(1ms);
    const auto drained = std::chrono::steady_clock::now();
    const std::uint64_t drainedEvents = collector().events() - arrivedAtReturn;
    const double drainSeconds =
        std::chrono::duration<double>(drained - collector().firstOk()).count();
    a.join();
    b.join();
    (void)ZEPLog::flush(60s);
    const double offered = kRate * std::chrono::duration<double>(end - t0).count();
    state.counters["offered"] = offered;
    state.counters["delivered"] = static_cast<double>(collector().events() - arrived0);
    state.counters["dropped"] = static_cast<double>(ZEPLog::counters().droppedFromQueue +
                                                    ZEPLog::counters().droppedFromSpool);
    state.counters["first_ok_after_return_s"] =
        std::chrono::duration<double>(collector().firstOk() - back).count();
    state.counters["drain_s"] = drainSeconds;
    state.counters["drained_events"] = static_cast<double>(drainedEvents);
    state.counters["drain_events_per_s"] =
        drainSeconds > 0 ? static_cast<double>(drainedEvents) / drainSeconds : 0;
  }
}

long peakMemoryKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// In a child of its own (its peak memory is its own): 2000 log calls with a custom field of
// `fieldKiB` KiB, then a flush. Writes "<peak KiB> <delivered>" to fd.
[[noreturn]] void peakMemoryChild(int fd, long fieldKiB, int port) {
  ZEPLog::silenceConsole();
  ZEPLog::setDataDirectory("/tmp/zeplog-bench-load-child");
  ZEPLog::setSettingsBaseURL("http://127.0.0.1:9/v2/");
  (void)ZEPLog::init("127.0.0.1", port, 1, "benchapp", "1.0", "bench-user");
  ZEPLog::setCustomField(std::string(static_cast<std::size_t>(fieldKiB) * 1024, 'f'), "heavy");
  for (int i = 0; i < 2000; ++i) ZEPLog::info(nullptr, "event " + std::to_string(i));
  (void)ZEPLog::flush(300s);
  const std::string out =
      std::to_string(peakMemoryKiB()) + " " + std::to_string(ZEPLog::counters().delivered) + "\n";
  (void)!::write(fd, out.data(), out.size());
  std::_Exit(0);
}

void BM_PeakMemory(benchmark::State& state) {
  const int port = collector().port();
  for (auto _ : state) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) peakMemoryChild(pipeFds[1], state.range(0), port);
    ::close(pipeFds[1]);
    char text[64] = {};
    (void)!::read(pipeFds[0], text, sizeof text - 1);
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    long peak = 0, delivered = 0;
    std::sscanf(text, "%ld %ld", &peak, &delivered);
    state.counters["field_KiB"] = static_cast<double>(state.range(0));
    state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
    state.counters["delivered"] = static_cast<double>(delivered);  // 2000 + the session
  }
}

// Forks before any library thread exists in this process, so the children start clean.
BENCHMARK(BM_PeakMemory)->Arg(16)->Arg(64)->Arg(512)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Paced)->Arg(5000)->Arg(20000)->Arg(50000)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Outage)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
