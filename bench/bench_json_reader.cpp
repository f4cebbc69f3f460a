// Parse speed of the JSON reader next to RapidJSON's DOM (default flags, and validating
// UTF-8 with full-precision numbers, which is what our reader always does), nlohmann::json
// and simdjson's DOM parser, on the three standard documents and a 1000-event batch. Every
// parser builds its full tree in every iteration; the documents are decompressed before
// timing starts. Compare ratios from the same run only.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEPLOG_BUILD_BENCH=ON
//   cmake --build build-bench --target bench_json_reader
//   build-bench/bench/bench_json_reader --benchmark_repetitions=5 \
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "bench_json_documents.hpp"
#include "zeplog/json_reader.hpp"

#if __has_include(<simdjson.h>)
#include <simdjson.h>
#define ZEPLOG_BENCH_SIMDJSON 1
#endif

// Every operator new in the program is counted, so the reader's allocations per document can
// be reported beside its speed. (RapidJSON allocates with malloc and is not counted.)
namespace {
std::atomic<std::uint64_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

bool haveDocument(benchmark::State& state, const std::string& text) {
  if (!text.empty()) return true;
  state.SkipWithError("document missing (see ZEPLOG_BENCH_DATA_DIR)");
  return false;
}

void ZEPLogReader(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  if (!haveDocument(state, text)) return;
  zeplog::kstCJSONDeserializer reader;
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    std::uint64_t before = gAllocations.load(std::memory_order_relaxed);
    std::optional<zeplog::json::Value> v = reader.deserialize(std::string_view(text));
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    if (!v) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <unsigned kFlags>
void RapidJSON(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  if (!haveDocument(state, text)) return;
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<kFlags>(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void RapidJSONDefault(benchmark::State& state, const char* name) {
  RapidJSON<rapidjson::kParseDefaultFlags>(state, name);
}
void RapidJSONValidating(benchmark::State& state, const char* name) {
  RapidJSON<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag>(state,
                                                                                        name);
}

void Nlohmann(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  if (!haveDocument(state, text)) return;
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

#ifdef ZEPLOG_BENCH_SIMDJSON
void Simdjson(benchmark::State& state, const char* name) {
  const std::string& raw = bench::document(name);
  if (!haveDocument(state, raw)) return;
  simdjson::padded_string text(raw);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element e;
    if (parser.parse(text).get(e) != simdjson::SUCCESS) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(e);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
#endif

#ifdef ZEPLOG_BENCH_SIMDJSON
#define ZEPLOG_READERS(doc)                          \
  BENCHMARK_CAPTURE(ZEPLogReader, doc, #doc);        \
  BENCHMARK_CAPTURE(RapidJSONDefault, doc, #doc);    \
  BENCHMARK_CAPTURE(RapidJSONValidating, doc, #doc); \
  BENCHMARK_CAPTURE(Nlohmann, doc, #doc);            \
  BENCHMARK_CAPTURE(Simdjson, doc, #doc)
#else
#define ZEPLOG_READERS(doc)                          \
  BENCHMARK_CAPTURE(ZEPLogReader, doc, #doc);        \
  BENCHMARK_CAPTURE(RapidJSONDefault, doc, #doc);    \
  BENCHMARK_CAPTURE(RapidJSONValidating, doc, #doc); \
  BENCHMARK_CAPTURE(Nlohmann, doc, #doc)
#endif

ZEPLOG_READERS(twitter);
ZEPLOG_READERS(citm_catalog);
ZEPLOG_READERS(canada);
ZEPLOG_READERS(batch);

}  // namespace

BENCHMARK_MAIN();
