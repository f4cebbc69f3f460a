/* The C interface, compiled as C: initialisation, log calls with absent and sized texts,
 * attributes, counters, the lifecycle hooks and the console handler with its user pointer. */
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zeplog/zeplog.h"

static int failures = 0;
static int passes = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (cond) {                                                          \
      ++passes;                                                          \
    } else {                                                             \
      ++failures;                                                        \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                    \
  } while (0)

/* Lines come from the library's threads as well as this one: each member is atomic (every
 * read and update of an _Atomic int is). */
struct lines {
  _Atomic int count;
  _Atomic int saw_invalid_key;
  _Atomic int saw_embedded_nul_line;
};

static void on_line(const char* line, size_t len, void* user) {
  struct lines* seen = (struct lines*)user;
  seen->count++;
  if (strlen(line) != len) seen->saw_embedded_nul_line = 1;
  if (strstr(line, "app key") || strstr(line, "appKey") || strstr(line, "invalid"))
    seen->saw_invalid_key = 1;
}

/* zeplog_counters2 read with the size of an older, of this and of a newer header's struct:
 * the counters that fit are written, its size member and every byte past them are not. */
static void check_sized_counters(const zeplog_counters2* all) {
  enum { WORDS = sizeof(zeplog_counters2) / sizeof(uint64_t), COUNTERS = WORDS - 1 };
  static const struct {
    uint64_t size;
    size_t written;
  } cases[] = {
      {0, 0},
      {7, 0},
      {8, 0},
      {15, 0},
      {16, 1},
      {8 + 7 * 8, 7}, /* a header of seven counters */
      {8 + 7 * 8 + 4, 7},
      {sizeof(zeplog_counters2), COUNTERS},
      {sizeof(zeplog_counters2) + 8, COUNTERS}, /* a newer header's, one counter more */
      {UINT64_MAX, COUNTERS},
  };
  for (size_t i = 0; i < sizeof cases / sizeof *cases; ++i) {
    uint64_t words[WORDS + 4];
    memset(words, 0xA5, sizeof words);
    words[0] = cases[i].size;
    const size_t written = zeplog_get_counters2((zeplog_counters2*)words);
    CHECK(written == cases[i].written);
    CHECK(words[0] == cases[i].size);
    CHECK(memcmp(&words[1], &all->dropped_from_queue, written * sizeof(uint64_t)) == 0);
    size_t untouched = 0;
    for (size_t w = 1 + written; w < WORDS + 4; ++w) untouched += words[w] == 0xA5A5A5A5A5A5A5A5u;
    CHECK(untouched == WORDS + 3 - written);
  }
}

int main(int argc, char** argv) {
  struct lines seen = {0, 0, 0};
  const char* dir = argc > 1 ? argv[1] : getenv("ZEPLOG_C_TEST_DATA_DIR");
  if (!dir) {
    fprintf(stderr, "usage: c_api_test DATA_DIR\n");
    return 2;
  }
  zeplog_set_data_directory(dir);
  zeplog_set_console_handler(on_line, &seen);

  /* Nothing is queued before an initialisation. */
  CHECK(zeplog_queue_size() == -1);
  CHECK(zeplog_file_queue_size() == -1);
  CHECK(zeplog_flush(-5) == 1); /* nothing can be queued yet */
  CHECK(zeplog_set_queue_byte_limit(0) == 0);
  CHECK(zeplog_set_queue_byte_limit((size_t)32 << 20) == 1);

  /* Minidump options are read only within their size: NULL, a size short of `write` and an
   * upload URL that is not http(s) are refused; after the first initialisation too. */
  zeplog_minidump_options minidumps;
  memset(&minidumps, 0, sizeof minidumps);
  minidumps.size = offsetof(zeplog_minidump_options, write);
  minidumps.write = 1;
  CHECK(zeplog_enable_minidumps(NULL) == 0);
  CHECK(zeplog_enable_minidumps(&minidumps) == 0);
  minidumps.size = sizeof minidumps;
  minidumps.upload_url = "ftp://127.0.0.1/minidump";
  CHECK(zeplog_enable_minidumps(&minidumps) == 0);
  minidumps.upload_url = "http://127.0.0.1:9/minidump";
  CHECK(zeplog_enable_minidumps(&minidumps) == 1);

  /* OTLP exporter options are read only within their size: what lies past it keeps its
   * default, and what can't be read is refused. */
  {
    zeplog_attribute resource = {"deployment.environment.name", ZEPLOG_ATTRIBUTE_TEXT, {0}};
    resource.value.text = "prod";
    const size_t whole = sizeof(zeplog_otlp_exporter_options);
    const size_t to_collector = offsetof(zeplog_otlp_exporter_options, protocol);
    struct {
      size_t size;
      int protocol, compression;
      const char* key;
      int type, added;
    } rows[] = {
        {offsetof(zeplog_otlp_exporter_options, endpoint), 0, 0, "k", 0, 0}, /* no endpoint */
        {whole, 2, 0, "k", 0, 0},                                            /* protocol */
        {whole, 0, 4, "k", 0, 0},                                            /* compression */
        {whole, 0, 0, "", 0, 0},        /* a resource attribute without a key */
        {whole, 0, 0, "k", 9, 0},       /* an unknown attribute type */
        {to_collector, 9, 9, "", 9, 1}, /* an older caller's size */
        {whole, ZEPLOG_OTLP_HTTP_JSON, ZEPLOG_COMPRESSION_ZSTD, "k", 0, 1},
    };
    CHECK(zeplog_add_otlp_exporter_with(NULL) == 0);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
      zeplog_otlp_exporter_options otlp;
      memset(&otlp, 0, sizeof otlp);
      otlp.size = rows[i].size;
      otlp.endpoint = "http://127.0.0.1:9";
      otlp.also_to_collector = 1;
      otlp.protocol = rows[i].protocol;
      otlp.compression = rows[i].compression;
      resource.key = rows[i].key;
      memcpy(&resource.type, &rows[i].type, sizeof rows[i].type);
      otlp.resource = &resource;
      otlp.resource_count = 1;
      CHECK(zeplog_add_otlp_exporter_with(&otlp) == rows[i].added);
    }
  }

  /* A refused initialisation says why on the console and returns 0. */
  CHECK(zeplog_init("http://collector.zeplog.invalid/", "9bad key", "1.0", NULL) == 0);
  CHECK(seen.saw_invalid_key == 1);

  CHECK(zeplog_init_full("http://collector.zeplog.invalid/", 80, 1, "capp", "1.0", "user-c", 0, 1,
                         NULL, "c-handle") == 1);
  CHECK(zeplog_queue_size() >= 1);                          /* the session event */
  CHECK(zeplog_set_queue_byte_limit((size_t)1 << 20) == 0); /* too late */
  CHECK(zeplog_enable_minidumps(&minidumps) == 0);          /* too late */

  int before = zeplog_queue_size();
  zeplog_log(ZEPLOG_INFO, "c-handle", NULL, "hello from C");
  zeplog_log_n(ZEPLOG_WARN, "c-handle", "E1", 2, "with\0nul", 8);
  zeplog_send_log("ERROR", "E2", "level of my own", "c-handle");
  CHECK(zeplog_queue_size() == before + 3);

  /* An unknown handle or level queues nothing; the unknown handles are counted. */
  zeplog_counters counted;
  zeplog_get_counters(&counted);
  zeplog_get_counters(NULL);
  const uint64_t lost_before = counted.lost_unknown_handle;
  zeplog_log(ZEPLOG_INFO, "no-such-handle", NULL, "lost");
  zeplog_log((zeplog_level)42, "c-handle", NULL, "bad level");
  zeplog_log(ZEPLOG_INFO, NULL, NULL, "absent handle");
  CHECK(zeplog_queue_size() == before + 3);
  zeplog_get_counters(&counted);
  CHECK(counted.lost_unknown_handle == lost_before + 2);

  /* zeplog_counters2: the same first seven counters, then the later ones; a call below the
   * minimum level shows in its own member. */
  CHECK(zeplog_set_minimum_level("WARN") == 1);
  zeplog_log(ZEPLOG_DEBUG, "c-handle", NULL, "below the minimum level");
  CHECK(zeplog_set_minimum_level("DEBUG") == 1);
  zeplog_counters2 all;
  all.size = sizeof all;
  CHECK(zeplog_get_counters2(&all) == (sizeof all - sizeof all.size) / sizeof(uint64_t));
  CHECK(memcmp(&counted, &all.dropped_from_queue, sizeof counted) == 0);
  CHECK(all.below_minimum_level == 1);
  CHECK(zeplog_get_counters2(NULL) == 0);
  check_sized_counters(&all);

  /* Background saves the queue to the data directory; foreground puts it back. The send
   * thread is held (sync start), so nothing leaves meanwhile. */
  zeplog_application_did_enter_background();
  CHECK(zeplog_queue_size() == 0);
  zeplog_application_will_enter_foreground();
  CHECK(zeplog_queue_size() == before + 3);

  zeplog_set_user_id("user-2", "c-handle");
  zeplog_set_log_type("game", "c-handle");
  zeplog_set_log_source("native", "c-handle");
  zeplog_set_log_deduplicate(1, "c-handle");
  zeplog_set_custom_field("forest", "level_name", "c-handle");
  zeplog_set_custom_field_n("a\0b", 3, "raw", "c-handle");
  zeplog_set_custom_field(NULL, "absent_value", "c-handle");
  zeplog_remove_custom_field("raw", "c-handle");
  zeplog_remove_all_custom_fields("c-handle");

  /* Handle "0" for the handled exceptions and Unity crashes. */
  CHECK(zeplog_init("http://collector.zeplog.invalid/", "capp", "1.0", "user-0") == 1);
  before = zeplog_queue_size();
  zeplog_handled(ZEPLOG_ERROR, "save failed", "IOException: disk full");
  zeplog_handled_n(ZEPLOG_FATAL, "m", 1, "ex\0tail", 7);
  zeplog_send_unity_crash("FATAL", "CRASH", "null reference", "NullReferenceException");
  CHECK(zeplog_queue_size() == before + 3);

  zeplog_set_trusted_certificates(NULL); /* refused with a line, nothing else */
  zeplog_set_trusted_certificates("");

  /* What leaves the machine: consent is asked for only before the first initialisation, a
   * state, level or rate outside the range is refused, and a revocation empties the queue. */
  CHECK(zeplog_upload_consent() == ZEPLOG_CONSENT_GIVEN);
  CHECK(zeplog_require_upload_consent() == 0);
  zeplog_set_upload_consent(ZEPLOG_CONSENT_UNKNOWN);
  zeplog_set_upload_consent((zeplog_consent)7);
  CHECK(zeplog_upload_consent() == ZEPLOG_CONSENT_UNKNOWN);
  CHECK(zeplog_set_sample_rate((zeplog_level)9, 0.5) == 0);
  CHECK(zeplog_set_sample_rate(ZEPLOG_DEBUG, 0.0) == 1);
  CHECK(zeplog_set_rate_limit(NAN, 1) == 0);
  CHECK(zeplog_set_rate_limit(1000.0, 100) == 1);
  before = zeplog_queue_size();
  zeplog_log(ZEPLOG_DEBUG, "c-handle", NULL, "sampled out");
  zeplog_log(ZEPLOG_INFO, "c-handle", NULL, "kept");
  CHECK(zeplog_queue_size() == before + 1);
  zeplog_set_upload_consent(ZEPLOG_CONSENT_REVOKED);
  CHECK(zeplog_upload_consent() == ZEPLOG_CONSENT_REVOKED);
  CHECK(zeplog_queue_size() == 0);
  zeplog_log(ZEPLOG_INFO, "c-handle", NULL, "refused");
  all.size = sizeof all;
  zeplog_get_counters2(&all);
  CHECK(all.sampled_out == 1);
  CHECK(all.rate_limited == 0);
  CHECK(all.dropped_by_consent == (uint64_t)before + 2); /* the queue's events and the call */

  /* The handler saw lines; a NUL inside a line never shortens it. */
  CHECK(seen.count > 0);
  CHECK(seen.saw_embedded_nul_line == 0);
  zeplog_set_console_handler(NULL, NULL);

  printf("%d passed, %d failed\n", passes, failures);
  return failures == 0 ? 0 : 1;
}
