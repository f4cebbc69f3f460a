/* The C interface end to end, compiled as C: an event logged from C reaches a live
 * development collector. Run by with_collector.sh, which starts the collector, passes its
 * URL and then looks for the event in the collector's database. */
#include <stdio.h>
#include <stdlib.h>

#include "zeplog/zeplog.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: c_collector_test URL DATA_DIR MESSAGE\n");
    return 2;
  }
  zeplog_set_data_directory(argv[2]);
  if (!zeplog_init(argv[1], "capp", "1.0", "c-user")) {
    fprintf(stderr, "init failed\n");
    return 1;
  }
  zeplog_log(ZEPLOG_INFO, "0", "C1", argv[3]);

  /* Bounded only against a hung run: a live collector answers at once. */
  if (!zeplog_flush(60000)) {
    fprintf(stderr, "flush did not deliver\n");
    return 1;
  }
  zeplog_counters counters;
  zeplog_get_counters(&counters);
  if (counters.delivered < 2) { /* the session start and the log line */
    fprintf(stderr, "delivered %llu events, expected at least 2\n",
            (unsigned long long)counters.delivered);
    return 1;
  }
  zeplog_application_will_terminate();
  printf("delivered %llu events\n", (unsigned long long)counters.delivered);
  return 0;
}
