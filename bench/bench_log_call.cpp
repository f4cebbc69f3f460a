// Latency of one log call on an initialised handle, next to spdlog's asynchronous logger
// with a null sink. Both sides have a background consumer. spdlog's thread pool drains its
// queue into the null sink. Ours runs in one of two rhythms:
//  - SendCycle: like the send thread, it waits for events, takes the ones it counted, then
//    pauses (1 ms here, a second in the library) before the next cycle;
//  - PerEvent: it takes every event the moment it arrives, so nearly every log call finds
//    the consumer asleep and pays for waking it (the worst case for the producer).
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace {

constexpr const char* kMessage = "player entered the forest at level 12 with 3 lives left";

enum class Rhythm { SendCycle, PerEvent };
std::atomic<Rhythm> gRhythm{Rhythm::SendCycle};

void consume() {
  zeplog::kstVelaBlockQueue* queue = zeplog::detail::blockQueue();
  for (;;) {
    if (gRhythm.load() == Rhythm::PerEvent) {
      benchmark::DoNotOptimize(queue->dequeue());
      continue;
    }
    for (int n = queue->queueSize(); n > 0; --n) benchmark::DoNotOptimize(queue->dequeue());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// One process-wide setup: an initialised handle and a thread that keeps taking events.
void setUpZeplogOnce(Rhythm rhythm) {
  gRhythm.store(rhythm);
  static const bool ready = [] {
    zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
    zeplog::ZEPLog::setDataDirectory(
        (std::filesystem::temp_directory_path() / "zeplog-bench").string());
    if (!zeplog::ZEPLog::init("http://127.0.0.1:8765/", "bench", "1.0")) std::abort();
    std::thread(consume).detach();
    return true;
  }();
  (void)ready;
}

std::shared_ptr<spdlog::logger> spdlogAsyncNull() {
  static auto logger = [] {
    spdlog::init_thread_pool(8192, 1);
    return spdlog::create_async<spdlog::sinks::null_sink_mt>("bench-null");
  }();
  return logger;
}

void BM_ZEPLog_info_SendCycle(benchmark::State& state) {
  setUpZeplogOnce(Rhythm::SendCycle);
  for (auto _ : state) zeplog::ZEPLog::info(nullptr, kMessage);
  state.SetItemsProcessed(state.iterations());
}

void BM_ZEPLog_info_PerEvent(benchmark::State& state) {
  setUpZeplogOnce(Rhythm::PerEvent);
  for (auto _ : state) zeplog::ZEPLog::info(nullptr, kMessage);
  state.SetItemsProcessed(state.iterations());
}

void BM_spdlog_async_null_info(benchmark::State& state) {
  auto logger = spdlogAsyncNull();
  for (auto _ : state) logger->info(kMessage);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ZEPLog_info_SendCycle)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ZEPLog_info_PerEvent)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_spdlog_async_null_info)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
