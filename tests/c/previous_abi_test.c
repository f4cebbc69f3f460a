/* A C program built against the C header as it was when zeplog_counters had seven members
 * (kept verbatim in previous_abi/zeplog/zeplog.h) and run against this shared library:
 * zeplog_get_counters must write exactly those seven counters, each in its place, and not a
 * byte past them. Distinct counts in two members show a shifted layout. */
#include <stdio.h>
#include <string.h>

#include "previous_abi/zeplog/zeplog.h"

#define QUEUE_BOUND 2000 /* the main queue's bound in events */
#define DROPPED 5
#define LOST 3

static void quiet(const char* line, size_t len, void* user) {
  (void)line;
  (void)len;
  (void)user;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: c_previous_abi_test DATA_DIR\n");
    return 2;
  }
  zeplog_set_data_directory(argv[1]);
  zeplog_set_console_handler(quiet, NULL);
  /* Sync start holds the send thread: the queue keeps what it is given. */
  if (!zeplog_init_full("http://collector.zeplog.invalid/", 80, 1, "oldapp", "1.0", "u", 0, 1, NULL,
                        "old")) {
    fprintf(stderr, "init failed\n");
    return 1;
  }
  const int filled = QUEUE_BOUND - zeplog_queue_size() + DROPPED;
  for (int i = 0; i < filled; ++i) zeplog_log(ZEPLOG_INFO, "old", NULL, "fills the queue");
  for (int i = 0; i < LOST; ++i) zeplog_log(ZEPLOG_INFO, "no-such-handle", NULL, "lost");

  struct {
    zeplog_counters counters;
    unsigned char after[64];
  } box;
  memset(&box, 0xA5, sizeof box);
  zeplog_get_counters(&box.counters);

  const zeplog_counters expected = {DROPPED, 0, 0, 0, LOST, 0, 0};
  int failures = 0;
  if (memcmp(&box.counters, &expected, sizeof expected) != 0) {
    const uint64_t* got = (const uint64_t*)&box.counters;
    fprintf(stderr, "counters:");
    for (size_t i = 0; i < sizeof expected / sizeof *got; ++i)
      fprintf(stderr, " %llu", (unsigned long long)got[i]);
    fprintf(stderr, " (expected %d 0 0 0 %d 0 0)\n", DROPPED, LOST);
    ++failures;
  }
  for (size_t i = 0; i < sizeof box.after; ++i) {
    if (box.after[i] != 0xA5) {
      fprintf(stderr, "byte %zu past zeplog_counters was written\n", i);
      ++failures;
      break;
    }
  }
  printf("%s\n", failures ? "failed" : "the seven counters read right");
  return failures ? 1 : 0;
}
