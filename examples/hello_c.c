/* A C program that logs through ZEPLog: build it with
 *   cc hello_c.c $(pkg-config --cflags --libs zeplog-c)
 * and give it the collector's address, e.g. ./a.out http://127.0.0.1:8765/ */
#include <stdio.h>

#include <zeplog/zeplog.h>

static void print_line(const char* line, size_t len, void* user) {
  (void)user;
  fprintf(stderr, "%.*s\n", (int)len, line);
}

int main(int argc, char** argv) {
  const char* collector = argc > 1 ? argv[1] : "http://127.0.0.1:8765/";
  zeplog_set_console_handler(print_line, NULL);
  if (!zeplog_init(collector, "hello", "1.0.0", "player-1")) {
    fprintf(stderr, "initialisation refused\n");
    return 1;
  }
  zeplog_set_custom_field("forest", "level_name", "0");
  zeplog_log(ZEPLOG_INFO, "0", NULL, "hello from C");
  zeplog_log(ZEPLOG_WARN, "0", "E42", "frame took 40 ms");
  zeplog_handled(ZEPLOG_ERROR, "save failed", "IOException: disk full");

  /* Events still in memory when the process ends are lost: send them now, waiting at most
   * 10 s, then let the library save what could not be sent for the next run. */
  const int delivered = zeplog_flush(10000);
  zeplog_counters2 counters;
  counters.size = sizeof counters;
  zeplog_get_counters2(&counters);
  printf("%s; %llu events delivered, %llu written back\n",
         delivered ? "delivered everything" : "not everything was delivered",
         (unsigned long long)counters.delivered, (unsigned long long)counters.written_back);
  zeplog_application_will_terminate();
  return delivered ? 0 : 1;
}
