// Latency of one log call on an initialised handle, next to spdlog's asynchronous logger
// with a null sink. Both sides have a background consumer: ours drains the main queue the
// way the send thread does, spdlog's thread pool drains its queue into the null sink.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "facade/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace {

constexpr const char* kMessage = "player entered the forest at level 12 with 3 lives left";

// One process-wide setup: an initialised handle and a thread that keeps taking events.
void setUpZeplogOnce() {
  static const bool ready = [] {
    zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
    zeplog::ZEPLog::setDataDirectory(
        (std::filesystem::temp_directory_path() / "zeplog-bench").string());
    if (!zeplog::ZEPLog::init("http://127.0.0.1:8765/", "bench", "1.0")) std::abort();
    std::thread([] {
      for (;;) benchmark::DoNotOptimize(zeplog::detail::blockQueue()->dequeue());
    }).detach();
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

void BM_ZEPLog_info(benchmark::State& state) {
  setUpZeplogOnce();
  for (auto _ : state) zeplog::ZEPLog::info(nullptr, kMessage);
  state.SetItemsProcessed(state.iterations());
}

void BM_spdlog_async_null_info(benchmark::State& state) {
  auto logger = spdlogAsyncNull();
  for (auto _ : state) logger->info(kMessage);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ZEPLog_info)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_spdlog_async_null_info)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
