/* The integrations' C forms, compiled as C against the installed library. */
#include <stdio.h>
#include <string.h>

#include <zeplog/zeplog.h>

static void quiet(const char* line, size_t len, void* user) {
  (void)line;
  (void)len;
  (void)user;
}

static int hook(zeplog_event* event, void* user) {
  size_t len = 0;
  const char* body = zeplog_event_body(event, &len);
  const char* level = zeplog_event_field(event, "logLevel", &len);
  (void)user;
  zeplog_event_set_field(event, "seen", level ? level : "none");
  zeplog_event_set_field(event, "DeviceID", NULL);
  if (body && strcmp(body, "drop") == 0) return 0;
  zeplog_event_set_body(event, body);
  return 1;
}

int main(void) {
  const char* keys[] = {"UserID", "token"};
  zeplog_counters2 counters;
  int ok;
  zeplog_set_console_handler(quiet, NULL);
  ok = zeplog_set_minimum_level("WARN") == 1 && zeplog_set_minimum_level("LOUD") == 0;
  zeplog_set_before_send(hook, NULL);
  zeplog_redact_fields(keys, 2);
  zeplog_set_breadcrumbs(20);
  ok = ok && zeplog_add_otlp_exporter("http://127.0.0.1:9", NULL, NULL, 0, 1) == 1;
  ok = ok && zeplog_enable_durable_delivery(0, 0, 0) == 1;
  ok = ok && zeplog_init_full("http://127.0.0.1", 9, 1, "capp", "1.0", "user-1", 0, 1, NULL, NULL);
  zeplog_log(ZEPLOG_INFO, "0", NULL, "held");
  zeplog_log(ZEPLOG_ERROR, "0", NULL, "kept");
  counters.size = sizeof counters;
  zeplog_get_counters2(&counters);
  ok = ok && counters.below_minimum_level == 1 && zeplog_queue_size() == 2;
  printf("c integrations %s\n", ok ? "ok" : "wrong");
  return ok ? 0 : 1;
}
