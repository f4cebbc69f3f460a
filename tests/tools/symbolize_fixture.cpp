// A program that crashes at a known place, for zeplog-symbolize's test: built with -g, then
// stripped by the test, its debug information split off into a build-id folder.
//
//   symbolize_fixture DATA_DIR   prints the two source lines the crash is at, then crashes:
//                                the write (inside an inlined function) and its call.
#include <cstdio>

#include "zeplog/zeplog.hpp"

namespace {

int* volatile g_target = nullptr;

constexpr int kWriteLine = __LINE__ + 1;
[[gnu::always_inline]] inline void writeThrough(int* p) { *p = 42; }

constexpr int kCallLine = __LINE__ + 2;
[[gnu::noinline, gnu::no_sanitize("address", "undefined")]] void crashInFixture() {
  writeThrough(g_target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  zeplog::ZEPLog::setDataDirectory(argv[1]);
  if (!zeplog::ZEPLog::enableMinidumps({})) return 3;
  zeplog::ZEPLog::enableSendCrashReport();
  std::printf("%d %d\n", kWriteLine, kCallLine);
  std::fflush(stdout);
  crashInFixture();
  return 4;
}
