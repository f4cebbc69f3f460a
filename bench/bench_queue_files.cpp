// Saving and restoring a full queue of 2000 typical events through the queue files, beside
// writing and reading the same events as the JSON array the collector receives (our writer
// and reader). Two levels:
//   - in memory: archive encode + decode against JSON write + read;
//   - through the disk: saveToFile + FileToMemory (temporary file, fsync, rename, fsync of
//     the directory, read, delete) against writing the JSON array to a file the same way and
//     reading it back;
//   - the disk alone: replacing a file of the archive's size, without encoding.
// Counters: file_bytes is the size of one file (archive or JSON array).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/files.hpp"
#include "queue/block_queue.hpp"
#include "queue/event_archive.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/json_writer.hpp"

namespace {

using zeplog::Bytes;
using zeplog::Fields;
using zeplog::VelaEvent;
using zeplog::VelaEventPtr;

constexpr int kEvents = 2000;

// The event shape of bench_json_writer: 15 members with a body of about 120 bytes, every
// tenth body with a quotation and a line break. Level and body are byte data, as the log
// calls make them; kstBulkIndex is added when the batch is written.
std::vector<VelaEventPtr> makeEvents() {
  std::vector<VelaEventPtr> events;
  events.reserve(kEvents);
  for (int i = 0; i < kEvents; ++i) {
    std::string body = "User 4711 opened the settings screen after login; request id " +
                       std::to_string(100000 + i) + " completed in 42 ms with status OK";
    if (i % 10 == 0) body += " \"retry\"\nsecond line";
    while (body.size() < 120) body += '.';
    auto fields = std::make_shared<Fields>();
    fields->set("logLevel", Bytes(i % 3 == 0 ? "ERROR" : "INFO"));
    fields->set("Platform", std::string("Linux 6.1.0-18-amd64"));
    fields->set("NetworkType", std::string("Wi-Fi"));
    fields->set("UserID", std::string("user-000042"));
    fields->set("SdkVersion", std::string("2.6.9"));
    fields->set("DeviceID", std::string("4F3C2A10-9B8E-4D7C-A6B5-1E0F9D8C7B6A"));
    fields->set("SessionID", std::string("A1B2C3D4-E5F6-4789-9ABC-DEF012345678"));
    fields->set("logVersion", std::string("2"));
    events.push_back(std::make_shared<VelaEvent>("b6e1c0de-2f4a-4c57-9d1e-7a3f5e2b9c10", "3.14.2",
                                                 "vela2-log", "client", Bytes(body),
                                                 1718000000000LL + i, zeplog::Text(), fields, "0"));
  }
  return events;
}

// The collector's array: the event's members and fields as text, numbered.
std::string writeJsonArray(const std::vector<VelaEventPtr>& events,
                           const zeplog::kstCJSONSerializer& writer) {
  zeplog::json::Array batch;
  batch.reserve(events.size());
  std::int32_t index = 0;
  for (const VelaEventPtr& e : events) {
    zeplog::json::Object o;
    o.reserve(16);
    o.appendNew("projectName", *e->projectName());
    o.appendNew("projectVersion", *e->projectVersion());
    o.appendNew("logType", *e->logType());
    o.appendNew("logSource", *e->logSource());
    o.appendNew("body", e->body()->data);
    o.appendNew("sendTime", std::to_string(e->sendTime()));
    for (const auto& [k, v] : *e->fields()) {
      o.set(k, std::visit(
                   [](const auto& x) -> zeplog::json::Value {
                     if constexpr (std::is_same_v<std::decay_t<decltype(x)>, Bytes>) {
                       return zeplog::json::Value(x.data);
                     } else {
                       return zeplog::json::Value(x);
                     }
                   },
                   v));
    }
    o.appendNew("kstBulkIndex", std::to_string(index++));
    batch.emplace_back(std::move(o));
  }
  return *writer.serializeArray(batch);
}

std::string benchDirectory() {
  static const std::string dir = [] {
    char tmpl[] = "/var/tmp/zeplog-bench-XXXXXX";  // on disk, not tmpfs, so fsync costs
    const char* made = ::mkdtemp(tmpl);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

void BM_ArchiveEncodeDecode(benchmark::State& state) {
  const auto events = makeEvents();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string file = zeplog::detail::encodeEventArchive("logArray", events);
    std::vector<VelaEventPtr> back;
    std::string error;
    if (!zeplog::detail::decodeEventArchive(file, "logArray", back, error)) {
      state.SkipWithError(error.c_str());
    }
    size = file.size();
    benchmark::DoNotOptimize(back.data());
  }
  state.counters["file_bytes"] = static_cast<double>(size);
}

void BM_JsonArrayWriteRead(benchmark::State& state) {
  const auto events = makeEvents();
  auto writer = zeplog::kstCJSONSerializer::serializer();
  auto reader = zeplog::kstCJSONDeserializer::deserializer();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = writeJsonArray(events, *writer);
    auto back = reader->deserializeAsArray(text);
    if (!back || back->size() != events.size()) state.SkipWithError("JSON round trip failed");
    size = text.size();
    benchmark::DoNotOptimize(back.get());
  }
  state.counters["file_bytes"] = static_cast<double>(size);
}

// Timed by hand: only saveToFile and FileToMemory count, not filling and emptying the queue.
// save_ms and restore_ms split the time between the two.
void BM_QueueSaveRestore(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  zeplog::detail::setDataDirectoryOverride(benchDirectory());
  const auto events = makeEvents();
  zeplog::kstVelaBlockQueue queue;
  std::size_t size = 0;
  Clock::duration saving{}, restoring{};
  for (auto _ : state) {
    for (const VelaEventPtr& e : events) queue.enqueue(e);
    const auto t0 = Clock::now();
    queue.saveToFile();
    const auto t1 = Clock::now();
    size = zeplog::detail::readWholeFile(zeplog::kstVelaBlockQueue::dataFilePath())->size();
    const auto t2 = Clock::now();
    queue.FileToMemory();
    const auto t3 = Clock::now();
    saving += t1 - t0;
    restoring += t3 - t2;
    state.SetIterationTime(std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count());
    if (queue.queueCount() != kEvents - 1) state.SkipWithError("restore lost events");
    while (queue.queueCount() > 0) queue.dequeue();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["file_bytes"] = static_cast<double>(size);
  state.counters["save_ms"] = std::chrono::duration<double, std::milli>(saving).count() / n;
  state.counters["restore_ms"] = std::chrono::duration<double, std::milli>(restoring).count() / n;
}

void BM_JsonArrayFileWriteRead(benchmark::State& state) {
  const std::string path = benchDirectory() + "/json-array";
  const auto events = makeEvents();
  auto writer = zeplog::kstCJSONSerializer::serializer();
  auto reader = zeplog::kstCJSONDeserializer::deserializer();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = writeJsonArray(events, *writer);
    zeplog::detail::atomicWriteFile(path, text);
    auto read = zeplog::detail::readWholeFile(path);
    ::unlink(path.c_str());
    auto back = reader->deserializeAsArray(*read);
    if (!back || back->size() != events.size()) state.SkipWithError("JSON round trip failed");
    size = text.size();
    benchmark::DoNotOptimize(back.get());
  }
  state.counters["file_bytes"] = static_cast<double>(size);
}

// The disk's share: replacing a file of the archive's size (temporary file, fsync, rename,
// fsync of the directory) and deleting it, with no encoding at all.
void BM_AtomicWriteOnly(benchmark::State& state) {
  const std::string path = benchDirectory() + "/floor";
  const std::string bytes = zeplog::detail::encodeEventArchive("logArray", makeEvents());
  for (auto _ : state) {
    zeplog::detail::atomicWriteFile(path, bytes);
    ::unlink(path.c_str());
  }
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
}

BENCHMARK(BM_ArchiveEncodeDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonArrayWriteRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueSaveRestore)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_JsonArrayFileWriteRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AtomicWriteOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
