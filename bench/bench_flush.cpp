// flush() with 2000 queued events to the development collector on 127.0.0.1, beside the same
// 2000 events written with rapidjson::Writer and posted with one reused curl handle.
//
//   scripts/bench.sh bench_flush
//
// The collector is tools/collector's DevCollector with an in-memory store, in this process.
// The library's send thread pauses for an hour between cycles, so every send is a flush's.
//   Library  each iteration queues 2000 distinct log calls (not timed), then times
//            flush(): the wake-up, the filter, the JSON, the request and the answer
//   Peer     each iteration writes 2000 events of the same members with rapidjson::Writer
//            and posts them in one request (timed), as the send thread's one request does
//   Gzip     the body of 2000 such events compressed as setRequestCompression(true) sends
//            it: the bytes before and after, and the CPU it takes per event
//
// ZEPLOG_BENCH_DURABLE=1 runs the flush in durable mode (each body spooled on disk before
// its request and marked sent after), ZEPLOG_BENCH_GZIP=1 with compressed bodies.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "dev_collector.hpp"
#include "event/common_fields.hpp"
#include "event/event_json.hpp"
#include "event/global_state.hpp"
#include "event/otlp_encoder.hpp"
#include "peer_pipeline.hpp"
#include "queue/block_queue.hpp"
#include "transport/transport_options.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/zeplog.hpp"

namespace {

using namespace std::chrono_literals;
using zeplog::ZEPLog;

constexpr int kEvents = 2000;

zeplog::tools::DevCollector& collector() {
  static auto* c = [] {
    zeplog::tools::CollectorOptions options;
    options.keepAliveSeconds = 60;
    auto* server = new zeplog::tools::DevCollector(options);  // lives for the run
    if (!server->start()) std::abort();
    return server;
  }();
  return *c;
}

// The library initialised once against the collector, its first cycle (the session) sent.
bool setUp() {
  static const bool ready = [] {
    const std::string dir =
        (std::filesystem::temp_directory_path() / "zeplog-bench-flush").string();
    std::filesystem::create_directories(dir);
    ZEPLog::setDataDirectory(dir);
    ZEPLog::silenceConsole();  // the console costs nothing when nobody reads it
    zeplog::detail::waits().sendCycleSleep = 1h;
    if (std::getenv("ZEPLOG_BENCH_DURABLE")) ZEPLog::enableDurableDelivery();
    if (std::getenv("ZEPLOG_BENCH_GZIP")) ZEPLog::setRequestCompression(true);
    if (!ZEPLog::init("127.0.0.1", collector().port(), 1, "bench", "1.0", "user-1",
                      zeplog::CrashCapture::Off, zeplog::SyncStart::Off, zeplog::Text(),
                      zeplog::Text()))
      return false;
    ZEPLog::createLogSendThread();
    return ZEPLog::flush(60s);
  }();
  return ready;
}

void BM_Flush2000QueuedEvents(benchmark::State& state) {
  if (!setUp()) {
    state.SkipWithError("the library could not be initialised against the collector");
    return;
  }
  std::uint64_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kEvents; ++i) ZEPLog::info("E1", "flushed event " + std::to_string(n++));
    state.ResumeTiming();
    if (!ZEPLog::flush(60s)) {
      state.SkipWithError("flush was not delivered");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
  state.counters["delivered"] = static_cast<double>(ZEPLog::counters().delivered);
}

void BM_Peer_RapidJSONWriterAndCurl(benchmark::State& state) {
  if (!setUp()) {
    state.SkipWithError("the library could not be initialised against the collector");
    return;
  }
  // The members of one of the library's events, so both sides post the same objects.
  ZEPLog::info("E1", "sample");
  zeplog::VelaEventPtr sample = zeplog::detail::blockQueue()->dequeue();
  std::shared_ptr<zeplog::json::Object> object =
      zeplog::kstCJSONDeserializer().deserializeAsDictionary(
          zeplog::detail::getJsonFromVelaEvent(sample));
  bench::Members members;
  for (const auto& [k, v] : *object)
    if (k != "body" && v.isString()) members.emplace_back(k, v.asString());

  bench::PeerPoster poster(collector().baseUrl() + "/v2/log");

  std::uint64_t n = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    bench::writePeerBatch(buffer, members, kEvents, "peer event ", n, false);
    if (poster.post(buffer) != 200) {
      state.SkipWithError("the peer's request was not answered 200");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
}

void BM_GzipTypicalBatch(benchmark::State& state) {
  if (!setUp()) {
    state.SkipWithError("the library could not be initialised against the collector");
    return;
  }
  ZEPLog::info("E1", "sample");
  zeplog::VelaEventPtr sample = zeplog::detail::blockQueue()->dequeue();
  std::string body = "[";
  for (int i = 0; i < kEvents; ++i) {
    sample->setBody(zeplog::Bytes("flushed event " + std::to_string(i)));
    if (i > 0) body += ',';
    zeplog::detail::appendJsonOfVelaEvent(body, sample, i);
  }
  body += ']';
  std::size_t compressed = 0;
  for (auto _ : state) {
    std::optional<std::string> gz = zeplog::detail::gzipCompress(body);
    if (!gz) {
      state.SkipWithError("zlib failed");
      return;
    }
    compressed = gz->size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
  state.counters["raw_bytes"] = static_cast<double>(body.size());
  state.counters["gzip_bytes"] = static_cast<double>(compressed);
  state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(body.size());
}

// Bytes per event of the same 2000 events as the collector's JSON array and as an OTLP/HTTP
// JSON request, each raw and gzip-compressed; the time is the OTLP encoding's.
void BM_OtlpBytesPerEvent(benchmark::State& state) {
  if (!setUp()) {
    state.SkipWithError("the library could not be initialised against the collector");
    return;
  }
  ZEPLog::info("E1", "sample");
  zeplog::VelaEventPtr sample = zeplog::detail::blockQueue()->dequeue();
  zeplog::detail::copyCommonFields(*sample->fields(), "0");
  std::vector<zeplog::VelaEventPtr> events;
  std::string body = "[";
  for (int i = 0; i < kEvents; ++i) {
    auto e = std::make_shared<zeplog::VelaEvent>(*sample);
    e->setFields(std::make_shared<zeplog::Fields>(*sample->fields()));
    e->setBody(zeplog::Bytes("flushed event " + std::to_string(i)));
    if (i > 0) body += ',';
    zeplog::detail::appendJsonOfVelaEvent(body, e, i);
    events.push_back(std::move(e));
  }
  body += ']';
  std::string otlp;
  for (auto _ : state) {
    otlp = zeplog::detail::otlpLogsRequest(events, 1733500000000000000ull,
                                           {zeplog::OtlpProtocol::HttpJson, nullptr});
    benchmark::DoNotOptimize(otlp.data());
  }
  const auto perEvent = [](std::size_t bytes) { return static_cast<double>(bytes) / kEvents; };
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
  state.counters["v2_bytes"] = perEvent(body.size());
  state.counters["v2_gzip_bytes"] = perEvent(zeplog::detail::gzipCompress(body)->size());
  state.counters["otlp_bytes"] = perEvent(otlp.size());
  state.counters["otlp_gzip_bytes"] = perEvent(zeplog::detail::gzipCompress(otlp)->size());
}

BENCHMARK(BM_Flush2000QueuedEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Peer_RapidJSONWriterAndCurl)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GzipTypicalBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OtlpBytesPerEvent)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
