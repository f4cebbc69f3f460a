// Writing a batch of 1000 events as one JSON array: kstCJSONSerializer against RapidJSON's
// Writer and nlohmann's dump, on the same events. Only the writing is timed; the trees
// are built once.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "zeplog/json_writer.hpp"

namespace {

using Event = std::vector<std::pair<std::string, std::string>>;

constexpr int kEvents = 1000;

// A typical event: 15 text members, the body about 120 bytes. Every tenth body carries a
// quotation and a line break, as log messages sometimes do. wide: a body in Korean text.
std::vector<Event> makeEvents(bool wide) {
  std::vector<Event> events;
  events.reserve(kEvents);
  for (int i = 0; i < kEvents; ++i) {
    std::string body;
    if (wide) {
      while (body.size() < 120) body += "\xEC\x84\x9C\xEB\xB2\x84 \xEC\x97\xB0\xEA\xB2\xB0 ";
    } else {
      body = "User 4711 opened the settings screen after login; request id " +
             std::to_string(100000 + i) + " completed in 42 ms with status OK";
      if (i % 10 == 0) body += " \"retry\"\nsecond line";
      while (body.size() < 120) body += '.';
    }
    events.push_back({
        {"projectName", "b6e1c0de-2f4a-4c57-9d1e-7a3f5e2b9c10"},
        {"projectVersion", "3.14.2"},
        {"logType", "vela2-log"},
        {"logSource", "client"},
        {"body", body},
        {"logLevel", i % 3 == 0 ? "ERROR" : "INFO"},
        {"sendTime", std::to_string(1718000000000LL + i)},
        {"Platform", "Linux 6.1.0-18-amd64"},
        {"NetworkType", "Wi-Fi"},
        {"UserID", "user-000042"},
        {"SdkVersion", "2.6.9"},
        {"DeviceID", "4F3C2A10-9B8E-4D7C-A6B5-1E0F9D8C7B6A"},
        {"SessionID", "A1B2C3D4-E5F6-4789-9ABC-DEF012345678"},
        {"logVersion", "2"},
        {"kstBulkIndex", std::to_string(i)},
    });
  }
  return events;
}

zeplog::json::Array toZeplog(const std::vector<Event>& events) {
  zeplog::json::Array batch;
  batch.reserve(events.size());
  for (const Event& e : events) {
    zeplog::json::Object o;
    for (const auto& [k, v] : e) o.appendNew(k, zeplog::json::Value(v));
    batch.emplace_back(std::move(o));
  }
  return batch;
}

void toRapid(const std::vector<Event>& events, rapidjson::Document& doc) {
  auto& alloc = doc.GetAllocator();
  doc.SetArray();
  for (const Event& e : events) {
    rapidjson::Value o(rapidjson::kObjectType);
    for (const auto& [k, v] : e) {
      rapidjson::Value key(k.data(), static_cast<rapidjson::SizeType>(k.size()), alloc);
      rapidjson::Value val(v.data(), static_cast<rapidjson::SizeType>(v.size()), alloc);
      o.AddMember(key, val, alloc);
    }
    doc.PushBack(o, alloc);
  }
}

nlohmann::ordered_json toNlohmann(const std::vector<Event>& events) {
  nlohmann::ordered_json batch = nlohmann::ordered_json::array();
  for (const Event& e : events) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    for (const auto& [k, v] : e) o[k] = v;
    batch.push_back(std::move(o));
  }
  return batch;
}

void BM_Zeplog(benchmark::State& state) {
  const zeplog::json::Array batch = toZeplog(makeEvents(state.range(0) != 0));
  auto writer = zeplog::kstCJSONSerializer::serializer();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::optional<std::string> out = writer->serializeArray(batch);
    bytes = out->size();
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

// RapidJSON does not check UTF-8 unless asked; ours always does (and repairs), so the
// validating Writer is the like-for-like peer.
template <unsigned kFlags>
void BM_RapidJSON(benchmark::State& state) {
  rapidjson::Document doc;
  toRapid(makeEvents(state.range(0) != 0), doc);
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

void BM_Nlohmann(benchmark::State& state) {
  const nlohmann::ordered_json batch = toNlohmann(makeEvents(state.range(0) != 0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out = batch.dump();
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

// Argument 0: ASCII bodies; 1: Korean bodies.
BENCHMARK(BM_Zeplog)->Arg(0)->Arg(1);
BENCHMARK(BM_RapidJSON<rapidjson::kWriteNoFlags>)->Arg(0)->Arg(1);
BENCHMARK(BM_RapidJSON<rapidjson::kWriteValidateEncodingFlag>)->Arg(0)->Arg(1);
BENCHMARK(BM_Nlohmann)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
