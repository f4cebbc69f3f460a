// One log call through the C interface beside the same call through the C++ facade, on the
// same handle in the same process. The C side's loop is compiled as C (bench/c/), as a C
// program or a native plugin would call it. No consumer takes the events, so both pay the
// same full-queue drop of the oldest event on every call.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

extern "C" void bench_c_log_calls(long n, const char* message);

namespace {

constexpr const char* kMessage = "player entered the forest at level 12 with 3 lives left";

void setUpOnce() {
  static const bool ready = [] {
    zeplog::ZEPLog::setConsoleHandler([](std::string_view) {});
    zeplog::ZEPLog::setDataDirectory(
        (std::filesystem::temp_directory_path() / "zeplog-bench-c").string());
    // Held: nothing is sent, the queue stays full.
    if (!zeplog::ZEPLog::init("http://127.0.0.1:9/", "bench", "1.0", zeplog::SyncStart::On))
      std::abort();
    return true;
  }();
  (void)ready;
}

void BM_CppFacade_info(benchmark::State& state) {
  setUpOnce();
  for (auto _ : state) zeplog::ZEPLog::info("E", kMessage, "", "0");
  state.SetItemsProcessed(state.iterations());
}

void BM_CInterface_zeplog_log(benchmark::State& state) {
  setUpOnce();
  for (auto _ : state) bench_c_log_calls(1, kMessage);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CppFacade_info);
BENCHMARK(BM_CInterface_zeplog_log);
BENCHMARK(BM_CppFacade_info);  // again, so an order effect shows
BENCHMARK_MAIN();
