// The cost of one log call on the calling thread, beside spdlog's asynchronous logger (null
// sink) in both of its overflow policies, with 1, 2 and 4 producer threads; and the
// integrations: a call through ZEPLog's spdlog sink beside spdlog's own synchronous null
// sink, and a call with breadcrumbs on (plus the ring's record alone).
//
//   scripts/bench.sh bench_log_call
//
// Ours runs in two settings, in one process:
//   NoConsumer   the send thread is held (sync start), so the queue fills to its bound and
//                every further call drops the oldest event: the analogue of overrun-oldest;
//   SendThread   the real send thread takes the events once a cycle and posts them to the
//                development collector on a loopback port.
// Every benchmark reports, per call on the calling thread: CPU time (cpu_ns), heap
// allocations (allocs) and bytes asked for (alloc_bytes); calls/s is items_per_second.
// Two one-shot figures follow:
//   HeapPerQueuedEvent   heap held per queued event, from 2000 events in a held queue;
//   SendPathAllocs       allocations and CPU time on the send thread per delivered event,
//                        from taking the events to the collector's answer (the request
//                        included, shared by its batch), with the console silenced
//                        (ZEPLOG_BENCH_CONSOLE=handler: an empty handler instead).
// The floor: Reference_Staging is a staging-buffer call written here (a time-stamp counter
// read, a 56-byte copy into a ring of the calling thread and one release store), what the
// fastest loggers' calls come down to. ZEPLog_SendThread_4Attributes is the structured call
// with four attributes. The _Paced1M runs make one call a microsecond per producer.
// spdlog is compiled here from its headers with the library's flags.
// This binary replaces operator new to count allocations per thread.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pthread.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <time.h>
#include <x86intrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/breadcrumbs.hpp"
#include "dev_collector.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/spdlog_sink.hpp"
#include "zeplog/zeplog.hpp"

// ---- Allocation counting ----------------------------------------------------------------
// Each thread counts its own allocations in thread-local counters (no shared cache line on
// the hot path); a thread's counters are listed once, so another thread can read them.

namespace {

struct AllocCounters {
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> bytes{0};
  pthread_t thread{};
  std::size_t slot = SIZE_MAX;
  ~AllocCounters();  // leaves the list: a thread that ended has no counters to read
};

constexpr std::size_t kMaxThreads = 512;
std::array<std::atomic<AllocCounters*>, kMaxThreads> gCounterList{};
AllocCounters::~AllocCounters() {
  if (slot < kMaxThreads) gCounterList[slot].store(nullptr);
}
std::atomic<std::size_t> gCounterCount{0};
thread_local AllocCounters tlCounters;
thread_local bool tlListed = false;

void countAllocation(std::size_t n) noexcept {
  AllocCounters& c = tlCounters;
  if (!tlListed) {
    tlListed = true;
    c.thread = pthread_self();
    const std::size_t slot = gCounterCount.fetch_add(1);
    c.slot = slot;
    if (slot < kMaxThreads) gCounterList[slot].store(&c);
  }
  c.calls.store(c.calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  c.bytes.store(c.bytes.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void* allocate(std::size_t n) {
  countAllocation(n);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t n, std::align_val_t a) {
  countAllocation(n);
  const auto align = static_cast<std::size_t>(a);
  if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  countAllocation(n);
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  countAllocation(n);
  return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateAligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;
using zeplog::ZEPLog;

constexpr const char* kMessage = "player entered the forest at level 12 with 3 lives left";

double threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// The counters of the first listed thread with this name, or nullptr.
AllocCounters* countersOfThread(const char* name) {
  const std::size_t n = std::min(gCounterCount.load(), kMaxThreads);
  for (std::size_t i = 0; i < n; ++i) {
    AllocCounters* c = gCounterList[i].load();
    char buf[32] = {};
    if (c && pthread_getname_np(c->thread, buf, sizeof buf) == 0 && std::strcmp(buf, name) == 0)
      return c;
  }
  return nullptr;
}

// Measures the calling thread around a benchmark loop and reports per-call figures,
// averaged over the producer threads.
class PerCall {
 public:
  PerCall()
      : cpu_(threadCpuNs()),
        calls_(tlCounters.calls.load(std::memory_order_relaxed)),
        bytes_(tlCounters.bytes.load(std::memory_order_relaxed)) {}

  void report(benchmark::State& state) const {
    const double n = static_cast<double>(state.iterations());
    if (n == 0) return;
    using C = benchmark::Counter;
    state.counters["cpu_ns"] = C((threadCpuNs() - cpu_) / n, C::kAvgThreads);
    state.counters["allocs"] =
        C(static_cast<double>(tlCounters.calls.load(std::memory_order_relaxed) - calls_) / n,
          C::kAvgThreads);
    state.counters["alloc_bytes"] =
        C(static_cast<double>(tlCounters.bytes.load(std::memory_order_relaxed) - bytes_) / n,
          C::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
  }

 private:
  double cpu_;
  std::uint64_t calls_;
  std::uint64_t bytes_;
};

// ---- ZEPLog -------------------------------------------------------------------------------

zeplog::tools::DevCollector& collector() {
  static auto* c = [] {
    zeplog::tools::CollectorOptions options;
    options.keepAliveSeconds = 1;
    auto* server = new zeplog::tools::DevCollector(options);  // lives for the process
    std::string error;
    if (!server->start(&error)) {
      std::fprintf(stderr, "collector: %s\n", error.c_str());
      std::abort();
    }
    return server;
  }();
  return *c;
}

// One process-wide set-up: the console silenced, the library initialised against the
// collector with sync start (so the send thread starts held), deduplication off so that
// every event is delivered.
void setUpZeplogOnce() {
  static const bool ready = [] {
    // ZEPLOG_BENCH_CONSOLE=handler: an empty handler instead, the way to quiet the console
    // before it could be silenced (every line is still made).
    const char* console = std::getenv("ZEPLOG_BENCH_CONSOLE");
    if (console && std::strcmp(console, "handler") == 0) {
      ZEPLog::setConsoleHandler([](std::string_view) {});
    } else {
      ZEPLog::silenceConsole();
    }
    const auto dir = std::filesystem::temp_directory_path() / "zeplog-bench-log-call";
    std::filesystem::remove_all(dir);
    ZEPLog::setDataDirectory(dir.string());
    (void)ZEPLog::setSettingsBaseURL(collector().baseUrl() + "/v2/");
    if (!ZEPLog::init("127.0.0.1", collector().port(), 1, "bench", "1.0", "user-1",
                      zeplog::CrashCapture::Off, zeplog::SyncStart::On))
      std::abort();
    ZEPLog::setLogDeduplicate(false);
    return true;
  }();
  (void)ready;
}

void holdSendThread(bool hold) { zeplog::detail::globals().gs_SyncSend.store(hold); }

void drainQueue() {
  zeplog::kstVelaBlockQueue* queue = zeplog::detail::blockQueue();
  (void)queue->takeStagedLogs();
  while (queue->dequeueIfAny()) {
  }
}

// Log calls with the send thread held (nothing takes the events: the full queue drops its
// oldest) or running and posting to the collector.
void logCalls(benchmark::State& state, bool sendThreadHeld) {
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(sendThreadHeld);
  }
  PerCall measure;
  for (auto _ : state) ZEPLog::info(nullptr, kMessage);
  measure.report(state);
}

void BM_ZEPLog_NoConsumer(benchmark::State& state) { logCalls(state, true); }

void BM_ZEPLog_SendThread_4Attributes(benchmark::State& state) {
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(false);
  }
  PerCall measure;
  std::int64_t level = 12;
  for (auto _ : state) {
    ZEPLog::log(zeplog::Level::Info, kMessage,
                {{"zone", "forest"}, {"level", level}, {"lives", 3}, {"boss", false}});
  }
  measure.report(state);
}

// ---- The reference: a staging-buffer call -----------------------------------------------

struct ReferenceRing {
  static constexpr std::size_t kBytes = std::size_t{64} << 10;
  static constexpr std::size_t kRecord = 64;  // an 8-byte stamp and the 56-byte message
  std::atomic<std::uint64_t> tail{0};
  alignas(64) char buffer[kBytes];
};

void referenceCall(ReferenceRing& ring) {
  const std::uint64_t at = ring.tail.load(std::memory_order_relaxed);
  char* slot = ring.buffer + at % ReferenceRing::kBytes;
  const std::uint64_t stamp = __rdtsc();
  std::memcpy(slot, &stamp, sizeof stamp);
  std::memcpy(slot + sizeof stamp, kMessage, 56);
  ring.tail.store(at + ReferenceRing::kRecord, std::memory_order_release);
}

void BM_Reference_Staging(benchmark::State& state) {
  static thread_local ReferenceRing ring;
  PerCall measure;
  for (auto _ : state) {
    referenceCall(ring);
    benchmark::DoNotOptimize(ring.buffer);
  }
  measure.report(state);
}

// The longest message that must not allocate: 256 bytes.
void BM_ZEPLog_NoConsumer_256B(benchmark::State& state) {
  static const std::string message(256, 'm');
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(true);
  }
  PerCall measure;
  for (auto _ : state) ZEPLog::info(nullptr, message.c_str());
  measure.report(state);
}
void BM_ZEPLog_SendThread(benchmark::State& state) { logCalls(state, false); }

std::size_t heapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void BM_ZEPLog_HeapPerQueuedEvent(benchmark::State& state) {
  setUpZeplogOnce();
  holdSendThread(true);
  constexpr int kEvents = static_cast<int>(zeplog::kstVelaBlockQueue::kMaxEvents);
  double perEvent = 0;
  for (auto _ : state) {
    drainQueue();
    const std::size_t before = heapInUse();
    for (int i = 0; i < kEvents; ++i) ZEPLog::info(nullptr, kMessage);
    (void)zeplog::detail::blockQueue()->takeStagedLogs();  // the calls as queued events
    perEvent = static_cast<double>(heapInUse() - before) / kEvents;
  }
  state.counters["heap_bytes_per_event"] = perEvent;
}

// The CPU time a thread has used so far, in ns; 0 when it can't be read.
double cpuNsOf(pthread_t thread) {
  clockid_t clock{};
  timespec t{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

void BM_ZEPLog_SendPathAllocs(benchmark::State& state) {
  setUpZeplogOnce();
  constexpr int kEvents = static_cast<int>(zeplog::kstVelaBlockQueue::kMaxEvents);
  double perEvent = 0;
  double cpuPerEvent = 0;
  for (auto _ : state) {
    holdSendThread(true);
    drainQueue();
    // From four threads, so that no ring fills and its caller makes the events: every
    // event is made by the send thread, as it is when it keeps up.
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
      producers.emplace_back([] {
        for (int i = 0; i < kEvents / 4; ++i) ZEPLog::info(nullptr, kMessage);
      });
    for (std::thread& p : producers) p.join();
    const std::size_t stored = collector().events().size();
    AllocCounters* send = countersOfThread("zeplog-send");
    const std::uint64_t before = send ? send->calls.load() : 0;
    const double cpuBefore = send ? cpuNsOf(send->thread) : 0;
    holdSendThread(false);
    if (!collector().waitForEvents(stored + kEvents, 60s)) {
      state.SkipWithError("the events did not arrive");
      return;
    }
    if (!send) send = countersOfThread("zeplog-send");
    if (!send) {
      state.SkipWithError("no send thread");
      return;
    }
    // The send thread's own lines (its cycle, the answer) finish before the next cycle.
    perEvent = static_cast<double>(send->calls.load() - before) / kEvents;
    // From the release of the hold to the collector's last event: the cycle's taking,
    // writing and posting (the first round, which found the thread unlisted, reads 0).
    cpuPerEvent = cpuBefore > 0 ? (cpuNsOf(send->thread) - cpuBefore) / kEvents : 0;
  }
  state.counters["send_allocs_per_event"] = perEvent;
  state.counters["send_cpu_ns_per_event"] = cpuPerEvent;
}

// ---- spdlog -------------------------------------------------------------------------------

std::shared_ptr<spdlog::logger> spdlogAsync(spdlog::async_overflow_policy policy) {
  auto make = [](spdlog::async_overflow_policy p, const char* name) {
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto logger = std::make_shared<spdlog::async_logger>(
        name, std::make_shared<spdlog::sinks::null_sink_mt>(), pool, p);
    static std::vector<std::shared_ptr<spdlog::details::thread_pool>> pools;  // kept alive
    pools.push_back(pool);
    return std::shared_ptr<spdlog::logger>(logger);
  };
  static auto block = make(spdlog::async_overflow_policy::block, "block");
  static auto overrun = make(spdlog::async_overflow_policy::overrun_oldest, "overrun");
  return policy == spdlog::async_overflow_policy::block ? block : overrun;
}

void BM_spdlog_Async_Block(benchmark::State& state) {
  auto logger = spdlogAsync(spdlog::async_overflow_policy::block);
  PerCall measure;
  for (auto _ : state) logger->info(kMessage);
  measure.report(state);
}

void BM_spdlog_Async_OverrunOldest(benchmark::State& state) {
  auto logger = spdlogAsync(spdlog::async_overflow_policy::overrun_oldest);
  PerCall measure;
  for (auto _ : state) logger->info(kMessage);
  measure.report(state);
}

// ---- Integrations: the spdlog sink and breadcrumbs ----------------------------------------
//
// The same call through spdlog: spdlog's own synchronous logger with its null sink (the peer:
// what spdlog costs before any sink does work), and the same logger with ZEPLog's sink, the
// send thread held as in NoConsumer. Breadcrumbs: the NoConsumer call with a ring of 100, and
// the ring's record alone.

void BM_spdlog_Sync_NullSink(benchmark::State& state) {
  static auto logger =
      std::make_shared<spdlog::logger>("null", std::make_shared<spdlog::sinks::null_sink_mt>());
  PerCall measure;
  for (auto _ : state) logger->info(kMessage);
  measure.report(state);
}

void BM_ZEPLog_SpdlogSink_NoConsumer(benchmark::State& state) {
  static auto logger =
      std::make_shared<spdlog::logger>("game", std::make_shared<zeplog::spdlog_sink_mt>());
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(true);
  }
  PerCall measure;
  for (auto _ : state) logger->info(kMessage);
  measure.report(state);
}

void BM_ZEPLog_NoConsumer_Breadcrumbs(benchmark::State& state) {
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(true);
    ZEPLog::setBreadcrumbs(100);
  }
  PerCall measure;
  for (auto _ : state) ZEPLog::info(nullptr, kMessage);
  measure.report(state);
  if (state.thread_index() == 0) ZEPLog::setBreadcrumbs(0);
}

void BM_Breadcrumbs_RecordOnly(benchmark::State& state) {
  zeplog::detail::BreadcrumbRing& ring = zeplog::detail::breadcrumbs();
  if (state.thread_index() == 0) ring.setCapacity(100);
  PerCall measure;
  for (auto _ : state) ring.record(1'700'000'000'000, "INFO", "", kMessage);
  measure.report(state);
  if (state.thread_index() == 0) ring.setCapacity(0);
}

// ---- Latency at a steady rate ----------------------------------------------------------------
//
// Each producer makes one call every 10 us (100k calls/s) for a second, and times every call
// on its own; the counters are the percentiles of those times (averaged over the producers).
// The pacing waits by reading the clock: sleeping is far coarser than 10 us.

constexpr std::chrono::nanoseconds kPacedInterval{10'000};
constexpr std::int64_t kPacedCalls = 100'000;

template <typename Call>
void pacedLatency(benchmark::State& state, Call&& call,
                  std::chrono::nanoseconds interval = kPacedInterval) {
  std::vector<std::int64_t> ns;
  ns.reserve(static_cast<std::size_t>(kPacedCalls));
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  for (auto _ : state) {
    next += interval;
    while (Clock::now() < next) {
    }
    const auto start = Clock::now();
    call();
    ns.push_back(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
  }
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return static_cast<double>(
        ns[static_cast<std::size_t>(q * static_cast<double>(ns.size() - 1))]);
  };
  state.counters["p50_ns"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_ns"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
  state.counters["p999_ns"] = benchmark::Counter(at(0.999), benchmark::Counter::kAvgThreads);
}

void BM_ZEPLog_SendThread_Paced(benchmark::State& state) {
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(false);
  }
  pacedLatency(state, [] { ZEPLog::info(nullptr, kMessage); });
}

void BM_spdlog_Async_OverrunOldest_Paced(benchmark::State& state) {
  auto logger = spdlogAsync(spdlog::async_overflow_policy::overrun_oldest);
  pacedLatency(state, [&] { logger->info(kMessage); });
}

constexpr std::chrono::nanoseconds kPaced1M{1'000};

void BM_ZEPLog_SendThread_Paced1M(benchmark::State& state) {
  if (state.thread_index() == 0) {
    setUpZeplogOnce();
    holdSendThread(false);
  }
  pacedLatency(
      state, [] { ZEPLog::info(nullptr, kMessage); }, kPaced1M);
}

void BM_spdlog_Async_OverrunOldest_Paced1M(benchmark::State& state) {
  auto logger = spdlogAsync(spdlog::async_overflow_policy::overrun_oldest);
  pacedLatency(
      state, [&] { logger->info(kMessage); }, kPaced1M);
}

void BM_Reference_Staging_Paced1M(benchmark::State& state) {
  static thread_local ReferenceRing ring;
  pacedLatency(
      state, [] { referenceCall(ring); }, kPaced1M);
}

BENCHMARK(BM_Reference_Staging)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ZEPLog_SendThread_4Attributes)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ZEPLog_SendThread_Paced1M)->Iterations(kPacedCalls)->Threads(1)->Threads(2);
BENCHMARK(BM_spdlog_Async_OverrunOldest_Paced1M)->Iterations(kPacedCalls)->Threads(1)->Threads(2);
BENCHMARK(BM_Reference_Staging_Paced1M)->Iterations(kPacedCalls)->Threads(1)->Threads(2);
BENCHMARK(BM_ZEPLog_HeapPerQueuedEvent)->Iterations(1);
BENCHMARK(BM_ZEPLog_SendPathAllocs)->Iterations(3);
BENCHMARK(BM_ZEPLog_NoConsumer)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ZEPLog_SendThread)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_ZEPLog_NoConsumer_256B)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_spdlog_Async_Block)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_spdlog_Async_OverrunOldest)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_spdlog_Sync_NullSink)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ZEPLog_SpdlogSink_NoConsumer)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ZEPLog_NoConsumer_Breadcrumbs)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Breadcrumbs_RecordOnly)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ZEPLog_SendThread_Paced)->Iterations(kPacedCalls)->Threads(1)->Threads(2);
BENCHMARK(BM_spdlog_Async_OverrunOldest_Paced)->Iterations(kPacedCalls)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
