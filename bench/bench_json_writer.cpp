// Write speed of kstCJSONSerializer next to RapidJSON's Writer (default, and validating
// UTF-8 as ours always does) and nlohmann's dump, on the three standard documents and a
// 1000-event batch. Each library's tree is built once from the same text before timing
// starts (null members kept, so every tree holds the same values); only writing is timed.
// Compare ratios from the same run only.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <nlohmann/json.hpp>
#include <string>

#include "bench_json_documents.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/json_writer.hpp"

namespace {

void ZEPLogWriter(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  zeplog::kstCJSONDeserializer reader;
  reader.setNullObject(zeplog::json::Value(zeplog::json::Null{}));
  std::optional<zeplog::json::Value> tree = reader.deserialize(std::string_view(text));
  if (!tree) {
    state.SkipWithError("document missing or unreadable");
    return;
  }
  auto writer = zeplog::kstCJSONSerializer::serializer();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::optional<std::string> out = writer->serializeObject(*tree);
    bytes = out->size();
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

template <unsigned kFlags>
void RapidJSONWriter(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
  if (text.empty() || doc.HasParseError()) {
    state.SkipWithError("document missing or unreadable");
    return;
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, kFlags>
        writer(buffer);
    doc.Accept(writer);
    bytes = buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

void NlohmannWriter(benchmark::State& state, const char* name) {
  const std::string& text = bench::document(name);
  if (text.empty()) {
    state.SkipWithError("document missing");
    return;
  }
  const nlohmann::ordered_json tree = nlohmann::ordered_json::parse(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out = tree.dump();
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

void RapidJSONDefault(benchmark::State& state, const char* name) {
  RapidJSONWriter<rapidjson::kWriteNoFlags>(state, name);
}
void RapidJSONValidating(benchmark::State& state, const char* name) {
  RapidJSONWriter<rapidjson::kWriteValidateEncodingFlag>(state, name);
}

#define ZEPLOG_WRITERS(doc)                          \
  BENCHMARK_CAPTURE(ZEPLogWriter, doc, #doc);        \
  BENCHMARK_CAPTURE(RapidJSONDefault, doc, #doc);    \
  BENCHMARK_CAPTURE(RapidJSONValidating, doc, #doc); \
  BENCHMARK_CAPTURE(NlohmannWriter, doc, #doc)

ZEPLOG_WRITERS(twitter);
ZEPLOG_WRITERS(citm_catalog);
ZEPLOG_WRITERS(canada);
ZEPLOG_WRITERS(batch);

}  // namespace

BENCHMARK_MAIN();
