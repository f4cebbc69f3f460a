// Delivery into a loopback collector, beside a pipeline of RapidJSON's Writer and one reused
// curl handle doing the same POSTs; and the library's CPU use while idle and while held.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEPLOG_BUILD_BENCH=ON
//   cmake --build build-bench --target bench_delivery
//   build-bench/bench/bench_delivery
//
// The collector is an in-process cpp-httplib server on 127.0.0.1 that counts the event
// objects of each body and answers 200. Runs, in this order (one process, so the idle
// figures come before the send thread has ever worked):
//   Idle/Held    process CPU over 10 s while sync start holds the send thread
//   Idle/Empty   process CPU over 10 s with the thread waiting for events
//   Sustained    30 s of producers keeping the queue topped up; events/s delivered against
//                the cap (2000 per cycle of 1 s sleep + work), events dropped at the bound,
//                send-thread CPU per delivered event
//   Peer         the same request bodies written with rapidjson::Writer and posted with one
//                reused curl handle; CPU per event of that thread
//
// The configuration comes from the environment (one process per configuration):
// ZEPLOG_BENCH_SILENT, ZEPLOG_BENCH_DURABLE, ZEPLOG_BENCH_GZIP or ZEPLOG_BENCH_ZSTD (the
// compression of every request), ZEPLOG_BENCH_OTLP=json|protobuf (an OTLP exporter on the
// same server) with ZEPLOG_BENCH_OTLP_ONLY=1 (no "v2/log" request), ZEPLOG_BENCH_SECONDS (the
// sustained run's length). Delivered events are the library's own count, so the OTLP-only
// runs are measured too:
//   for c in "" ZEPLOG_BENCH_GZIP=1 ZEPLOG_BENCH_ZSTD=1; do
//     env ZEPLOG_BENCH_SILENT=1 $c ZEPLOG_BENCH_OTLP=protobuf ZEPLOG_BENCH_OTLP_ONLY=1 \
//       build-bench/bench/bench_delivery --benchmark_filter=Sustained; done
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <pthread.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "delivery/send_thread.hpp"
#include "event/common_fields.hpp"
#include "event/event_json.hpp"
#include "event/global_state.hpp"
#include "peer_pipeline.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/zeplog.hpp"

namespace {

using namespace std::chrono_literals;
using zeplog::ZEPLog;

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9; }

double processCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double threadCpu(pthread_t thread) {
  clockid_t id;
  if (pthread_getcpuclockid(thread, &id) != 0) return 0;
  timespec t{};
  clock_gettime(id, &t);
  return seconds(t);
}

double ownThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return seconds(t);
}

// Counts the event objects that arrive (each carries one "kstBulkIndex").
class Collector {
 public:
  Collector() {
    server_.set_keep_alive_max_count(1000000);
    // An idle connection is closed after a second, so the idle figures below do not count
    // the server's own wait on the send thread's connection.
    server_.set_keep_alive_timeout(1);
    server_.Post("/v2/log", [this](const httplib::Request& req, httplib::Response& res) {
      std::size_t n = 0;
      for (std::size_t p = req.body.find("\"kstBulkIndex\""); p != std::string::npos;
           p = req.body.find("\"kstBulkIndex\"", p + 1))
        ++n;
      events_ += n;
      ++requests_;
      res.status = 200;
    });
    // The OTLP exporter's requests (ZEPLOG_BENCH_OTLP=1): taken and answered, not counted.
    server_.Post("/v1/logs",
                 [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Collector() {
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  std::uint64_t events() const { return events_.load(); }
  std::uint64_t requests() const { return requests_.load(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<std::uint64_t> events_{0};
  std::atomic<std::uint64_t> requests_{0};
};

Collector& collector() {
  static auto* c = new Collector;  // outlives the send thread
  return *c;
}

pthread_t sendThread() {
  zeplog::detail::GlobalLock lock(zeplog::detail::global_resource_lock());
  return zeplog::detail::gs_logSendThreads().at(0).native_handle();
}

std::atomic<std::uint64_t> consoleLines{0};

void setUp() {
  static bool done = false;
  if (done) return;
  done = true;
  // The library writes about fifteen console lines per event; count them instead of
  // flooding stderr (the handler's cost stays in the measurement).
  ZEPLog::setConsoleHandler([](std::string_view) { consoleLines.fetch_add(1); });
  // ZEPLOG_BENCH_SILENT=1: no console at all (no line is made); ZEPLOG_BENCH_DURABLE=1: durable
  // mode; ZEPLOG_BENCH_GZIP=1: compressed bodies.
  if (std::getenv("ZEPLOG_BENCH_SILENT")) ZEPLog::silenceConsole();
  if (std::getenv("ZEPLOG_BENCH_DURABLE")) ZEPLog::enableDurableDelivery();
  if (std::getenv("ZEPLOG_BENCH_GZIP")) ZEPLog::setRequestCompression(true);
  // ZEPLOG_BENCH_ZSTD=1: zstd-compressed bodies.
  if (std::getenv("ZEPLOG_BENCH_ZSTD")) ZEPLog::setRequestCompression(zeplog::Compression::Zstd);
  // ZEPLOG_BENCH_OTLP=json or protobuf (1: json): every batch also goes to an OTLP/HTTP
  // endpoint on the same server; ZEPLOG_BENCH_OTLP_ONLY=1: to that endpoint only.
  if (const char* otlpProtocol = std::getenv("ZEPLOG_BENCH_OTLP")) {
    zeplog::OtlpExporterOptions otlp;
    otlp.endpoint = "http://127.0.0.1:" + std::to_string(collector().port());
    otlp.protocol = std::string_view(otlpProtocol) == "protobuf"
                        ? zeplog::OtlpProtocol::HttpProtobuf
                        : zeplog::OtlpProtocol::HttpJson;
    otlp.alsoToCollector = std::getenv("ZEPLOG_BENCH_OTLP_ONLY") == nullptr;
    if (!ZEPLog::addOtlpExporterWith(otlp)) std::abort();
  }
  ZEPLog::setDataDirectory("/tmp/zeplog-bench-delivery");
  if (!ZEPLog::init("127.0.0.1", collector().port(), 1, "benchapp", "1.0", "bench-user",
                    zeplog::CrashCapture::Off, zeplog::SyncStart::On, nullptr, nullptr))
    std::abort();
  ZEPLog::createLogSendThread();
}

void BM_Idle_HeldBySyncStart(benchmark::State& state) {
  setUp();
  for (auto _ : state) {
    std::this_thread::sleep_for(1s);  // let the thread reach its hold
    const double cpu0 = processCpu(), thread0 = threadCpu(sendThread());
    std::this_thread::sleep_for(10s);
    state.counters["process_cpu_ms"] = (processCpu() - cpu0) * 1e3;
    state.counters["send_thread_cpu_ms"] = (threadCpu(sendThread()) - thread0) * 1e3;
  }
}

void BM_Idle_NoEvents(benchmark::State& state) {
  setUp();
  ZEPLog::startSendThread();
  // The session event goes out; then the thread waits for events.
  while (collector().requests() < 1) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(3s);
  for (auto _ : state) {
    const double cpu0 = processCpu(), thread0 = threadCpu(sendThread());
    std::this_thread::sleep_for(10s);
    state.counters["process_cpu_ms"] = (processCpu() - cpu0) * 1e3;
    state.counters["send_thread_cpu_ms"] = (threadCpu(sendThread()) - thread0) * 1e3;
  }
}

// Sends the bodies a delivered cycle produced, so the peer posts the same bytes' shape.
std::string sampleEventJson() {
  auto fields = std::make_shared<zeplog::Fields>();
  fields->set("logLevel", zeplog::Bytes("INFO"));
  zeplog::detail::copyCommonFields(*fields, "0");
  fields->erase("SymMethod");
  fields->erase("CrashStyle");
  auto e = std::make_shared<zeplog::VelaEvent>("benchapp", "1.0", "vela2-log", "mac-log",
                                               zeplog::Bytes("sustained event 123456"),
                                               1733500000000LL, nullptr, fields, "0");
  return zeplog::detail::getJsonFromVelaEvent(e, 0);
}

std::atomic<double> libraryCpuPerEvent{0};

void BM_Sustained_30s(benchmark::State& state) {
  setUp();
  ZEPLog::startSendThread();
  auto* queue = zeplog::detail::blockQueue();
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> produced{0};
    // One producer keeps the queue near its bound without pushing events out of it; the
    // bound, not the producer, limits delivery.
    std::thread producer([&] {
      std::uint64_t n = 0;
      while (!stop.load()) {
        if (queue->queueCount() >= 1990) {
          std::this_thread::sleep_for(1ms);
          continue;
        }
        ZEPLog::info(nullptr, "sustained event " + std::to_string(n++));
      }
      produced = n;
    });
    // Delivered events by the library's own count: the OTLP-only runs make no "v2/log" request.
    const std::uint64_t events0 = ZEPLog::counters().delivered;
    const std::uint64_t lines0 = consoleLines.load();
    const double thread0 = threadCpu(sendThread());
    const auto t0 = std::chrono::steady_clock::now();
    // ZEPLOG_BENCH_SECONDS: a shorter run than 30 s.
    const char* secondsText = std::getenv("ZEPLOG_BENCH_SECONDS");
    std::this_thread::sleep_for(std::chrono::seconds(secondsText ? std::atoi(secondsText) : 30));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::uint64_t delivered = ZEPLog::counters().delivered - events0;
    const double cpu = threadCpu(sendThread()) - thread0;
    stop = true;
    producer.join();
    const std::uint64_t lines = consoleLines.load() - lines0;
    const double perEvent = delivered ? cpu / static_cast<double>(delivered) : 0;
    libraryCpuPerEvent = perEvent;
    state.counters["events_per_s"] = static_cast<double>(delivered) / elapsed;
    state.counters["cap_per_s"] = 2000.0;  // 2000 per cycle, at most one cycle a second
    state.counters["send_thread_cpu_us_per_event"] = perEvent * 1e6;
    state.counters["console_lines_per_event"] =
        delivered ? static_cast<double>(lines) / static_cast<double>(delivered) : 0;
    state.counters["queued_at_end"] = queue->queueCount();
    state.counters["produced"] = static_cast<double>(produced.load());
    // Events the producer made that neither arrived nor wait in the queue were pushed out
    // at the bound (the producer stays just under it, so normally none).
    const double waiting = queue->queueCount();
    state.counters["dropped"] =
        static_cast<double>(produced.load()) - static_cast<double>(delivered) - waiting;
  }
}

// The same requests as the send thread's, made directly: 2000-event bodies written with
// rapidjson::Writer from the event's members and posted with one reused curl handle.
void BM_Peer_RapidJSONWriterAndCurl(benchmark::State& state) {
  setUp();
  std::shared_ptr<zeplog::json::Object> sample =
      zeplog::kstCJSONDeserializer().deserializeAsDictionary(sampleEventJson());
  bench::Members members;
  for (const auto& [k, v] : *sample)
    if (k != "body" && k != "kstBulkIndex") members.emplace_back(k, v.asString());

  bench::PeerPoster poster("http://127.0.0.1:" + std::to_string(collector().port()) + "/v2/log");

  constexpr int kEvents = 2000;
  std::uint64_t events = 0, n = 0;
  const double cpu0 = ownThreadCpu();
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    bench::writePeerBatch(buffer, members, kEvents, "sustained event ", n, true);
    if (poster.post(buffer) == 200) events += kEvents;
  }
  const double cpuPerEvent = events ? (ownThreadCpu() - cpu0) / static_cast<double>(events) : 0;
  state.counters["cpu_us_per_event"] = cpuPerEvent * 1e6;
  if (cpuPerEvent > 0 && libraryCpuPerEvent.load() > 0)
    state.counters["library_over_peer"] = libraryCpuPerEvent.load() / cpuPerEvent;
}

BENCHMARK(BM_Idle_HeldBySyncStart)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Idle_NoEvents)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Sustained_30s)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Peer_RapidJSONWriterAndCurl)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
