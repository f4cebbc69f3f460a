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
//   Body     2000 varied events as one body per encoding (v2/log, OTLP JSON, OTLP protobuf)
//            and compression (none, gzip, zstd): bytes per event and the time to make it
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

// 2000 varied events as the send thread has them: the five levels, bodies of several lengths,
// an error code on a third, a scene field on half, the handle's common fields on all.
std::vector<zeplog::VelaEventPtr> variedEvents() {
  ZEPLog::info("E1", "sample");
  zeplog::VelaEventPtr sample = zeplog::detail::blockQueue()->dequeue();
  zeplog::detail::copyCommonFields(*sample->fields(), "0");
  static const char* kLevels[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  std::vector<zeplog::VelaEventPtr> events;
  for (int i = 0; i < kEvents; ++i) {
    auto e = std::make_shared<zeplog::VelaEvent>(*sample);
    auto fields = std::make_shared<zeplog::Fields>(*sample->fields());
    fields->set("logLevel", zeplog::Bytes(kLevels[i % 5]));
    if (i % 3 == 0) {
      fields->set("errorCode", zeplog::Bytes("E-" + std::to_string(i % 13)));
    } else {
      fields->erase("errorCode");
    }
    if (i % 2 == 0) fields->set("scene", std::string(i % 4 ? "forest" : "castle-gate"));
    e->setFields(std::move(fields));
    e->setBody(zeplog::Bytes("event " + std::to_string(i) + " " + std::string((i % 7) * 12, 'x')));
    events.push_back(std::move(e));
  }
  return events;
}

// Bytes per event and the CPU of making one request body of the varied events, per encoding
// (the collector's JSON array, OTLP JSON, OTLP protobuf) and compression (none, gzip, zstd):
// the body written and compressed, as the send thread does for each request.
void BM_BodyPerEvent(benchmark::State& state) {
  if (!setUp()) {
    state.SkipWithError("the library could not be initialised against the collector");
    return;
  }
  const auto encoding = static_cast<int>(state.range(0));
  const auto compression = static_cast<zeplog::Compression>(state.range(1));
  const std::vector<zeplog::VelaEventPtr> events = variedEvents();
  const auto encode = [&] {
    if (encoding == 0) {
      std::string body = "[";
      for (int i = 0; i < kEvents; ++i) {
        if (i > 0) body += ',';
        zeplog::detail::appendJsonOfVelaEvent(body, events[static_cast<std::size_t>(i)], i);
      }
      return body + "]";
    }
    const auto protocol =
        encoding == 1 ? zeplog::OtlpProtocol::HttpJson : zeplog::OtlpProtocol::HttpProtobuf;
    return zeplog::detail::otlpLogsRequest(events, 1733500000000000000ull, {protocol, nullptr});
  };
  const auto compress = [&](std::string body) {
    if (compression == zeplog::Compression::Gzip) return *zeplog::detail::gzipCompress(body);
    if (compression == zeplog::Compression::Zstd) return *zeplog::detail::zstdCompress(body);
    return body;
  };
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = compress(encode());
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
  state.counters["bytes_per_event"] = static_cast<double>(bytes) / kEvents;
  state.SetLabel(std::string(encoding == 0   ? "v2/log"
                             : encoding == 1 ? "otlp-json"
                                             : "otlp-protobuf") +
                 (compression == zeplog::Compression::Gzip   ? " gzip"
                  : compression == zeplog::Compression::Zstd ? " zstd"
                                                             : " plain"));
}

BENCHMARK(BM_Flush2000QueuedEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Peer_RapidJSONWriterAndCurl)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GzipTypicalBatch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BodyPerEvent)->ArgsProduct({{0, 1, 2}, {0, 1, 2}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
