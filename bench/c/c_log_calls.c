/* The caller's side of the C benchmark, compiled as C: n log calls through the C interface. */
#include "zeplog/zeplog.h"

void bench_c_log_calls(long n, const char* message) {
  for (long i = 0; i < n; ++i) zeplog_log(ZEPLOG_INFO, "0", "E", message);
}
