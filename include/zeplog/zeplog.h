/* ZEPLog's C interface: the facade for C programs, native plugins and other languages' FFI.
 *
 * Every function is safe to call from any thread, never raises anything across the
 * boundary and never blocks on the network. Texts are NUL-terminated UTF-8; NULL means an
 * absent text, which differs from "" where the C++ facade says so. The _n forms take a text
 * with an explicit length, for texts that hold NUL bytes. Text that is not valid UTF-8 is
 * repaired (each ill-formed sequence becomes U+FFFD). Handle ids name the handle a call acts
 * on; "0" is the first handle initialised without an id. */
#ifndef ZEPLOG_ZEPLOG_H_
#define ZEPLOG_ZEPLOG_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ZEPLOG_C_API __attribute__((visibility("default")))
#else
#define ZEPLOG_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum zeplog_level {
  ZEPLOG_DEBUG = 0,
  ZEPLOG_INFO = 1,
  ZEPLOG_WARN = 2,
  ZEPLOG_ERROR = 3,
  ZEPLOG_FATAL = 4
} zeplog_level;

/* Initialisation: 1 when the handle was registered, 0 with a console line otherwise. */
/* Handle "0" (or the next free number) with the port from the URL's scheme. */
ZEPLOG_C_API int zeplog_init(const char* url, const char* app_key, const char* version,
                             const char* user_id);
/* The full form. protocol: 0 HTTPS, 1 HTTP. crash_capture and sync_start: 0 off, else on. */
ZEPLOG_C_API int zeplog_init_full(const char* url, int32_t port, int32_t protocol,
                                  const char* app_key, const char* version, const char* user_id,
                                  int crash_capture, int sync_start, const char* unity_version,
                                  const char* handle_id);
/* Releases the hold that sync_start set. */
ZEPLOG_C_API void zeplog_start_send_thread(void);

/* One event at the level on the handle. */
ZEPLOG_C_API void zeplog_log(zeplog_level level, const char* handle_id, const char* error_code,
                             const char* message);
ZEPLOG_C_API void zeplog_log_n(zeplog_level level, const char* handle_id, const char* error_code,
                               size_t error_code_len, const char* message, size_t message_len);
/* Typed attributes of a log call. This layout is fixed: a later one comes with a call of
 * its own, so zeplog_log_attrs always reads this one. */
typedef enum zeplog_attribute_type {
  ZEPLOG_ATTRIBUTE_TEXT = 0,
  ZEPLOG_ATTRIBUTE_INT = 1,
  ZEPLOG_ATTRIBUTE_DOUBLE = 2,
  ZEPLOG_ATTRIBUTE_BOOL = 3
} zeplog_attribute_type;
typedef struct zeplog_attribute {
  const char* key; /* NUL-terminated; NULL or "" leaves the attribute out */
  zeplog_attribute_type type;
  union {
    const char* text; /* NULL is "" */
    int64_t integer;
    double number;
    int boolean; /* 0 false, else true */
  } value;
} zeplog_attribute;
/* One event at the level on handle "0" with count attributes (the C++ ZEPLog::log). An
 * attribute of an unknown type is left out and counted as cut. */
ZEPLOG_C_API void zeplog_log_attrs(zeplog_level level, const char* message,
                                   const zeplog_attribute* attrs, size_t count);
/* The calling thread's trace context from a W3C traceparent header: 1 when it was read and
 * set, 0 (the context unchanged) otherwise. */
ZEPLOG_C_API int zeplog_set_thread_traceparent(const char* traceparent);
ZEPLOG_C_API void zeplog_clear_thread_trace_context(void);

/* One event with a level text of the caller's. */
ZEPLOG_C_API void zeplog_send_log(const char* level, const char* error_code, const char* message,
                                  const char* handle_id);

/* A handled exception of handle "0", reported as a crash event. */
ZEPLOG_C_API void zeplog_handled(zeplog_level level, const char* message, const char* exception);
ZEPLOG_C_API void zeplog_handled_n(zeplog_level level, const char* message, size_t message_len,
                                   const char* exception, size_t exception_len);
/* A Unity crash of handle "0"; level and type are accepted and not used. */
ZEPLOG_C_API void zeplog_send_unity_crash(const char* level, const char* type, const char* message,
                                          const char* exception);

/* Handle attributes. */
ZEPLOG_C_API void zeplog_set_user_id(const char* user_id, const char* handle_id);
ZEPLOG_C_API void zeplog_set_log_type(const char* log_type, const char* handle_id);
ZEPLOG_C_API void zeplog_set_log_source(const char* log_source, const char* handle_id);
ZEPLOG_C_API void zeplog_set_log_deduplicate(int enabled, const char* handle_id);

/* Custom fields: an absent value is stored as "-". */
ZEPLOG_C_API void zeplog_set_custom_field(const char* value, const char* key,
                                          const char* handle_id);
ZEPLOG_C_API void zeplog_set_custom_field_n(const char* value, size_t value_len, const char* key,
                                            const char* handle_id);
ZEPLOG_C_API void zeplog_remove_custom_field(const char* key, const char* handle_id);
ZEPLOG_C_API void zeplog_remove_all_custom_fields(const char* handle_id);

/* Events in the main queue and in the failed-send queue; -1 before the first
 * initialisation. */
ZEPLOG_C_API int32_t zeplog_queue_size(void);
ZEPLOG_C_API int32_t zeplog_file_queue_size(void);

/* Lifecycle: entering the background saves the queued and the failed events to the data
 * directory; returning to the foreground puts them back. Both read or write files. */
ZEPLOG_C_API void zeplog_application_did_enter_background(void);
ZEPLOG_C_API void zeplog_application_will_enter_foreground(void);

/* Sends what is queued now and waits at most timeout_ms (a negative value counts as 0) for
 * that send to end: 1 when everything queued at the call was delivered and no event waits in
 * the failed-send queue, else 0. 1 at once when nothing is queued. See ZEPLog::flush. */
ZEPLOG_C_API int zeplog_flush(int64_t timeout_ms);
/* For a normal exit: flushes briefly, then saves what is left for the next run (about 3
 * seconds at most, plus the disk, even with the collector unreachable). */
ZEPLOG_C_API void zeplog_application_will_terminate(void);

/* Public structs and versions. A struct that can grow carries its own size as its first
 * member: the caller sets it to sizeof the struct it was built with, the library writes only
 * the members that lie wholly within it, and new members are only ever appended. A struct
 * without a size member never changes (see "Versions and the ABI" in README.md). */

/* The first seven counters: this layout is fixed, and zeplog_get_counters writes exactly
 * these members, for programs built against any earlier header. Every counter, including
 * those added later, is in zeplog_counters2. Each member only grows (see
 * zeplog/counters.hpp). */
typedef struct zeplog_counters {
  uint64_t dropped_from_queue;
  uint64_t dropped_from_failed_queue;
  uint64_t refused_by_filter;
  uint64_t collapsed_repeats;
  uint64_t lost_unknown_handle;
  uint64_t written_back;
  uint64_t delivered;
} zeplog_counters;
/* Fills *out; does nothing for NULL. */
ZEPLOG_C_API void zeplog_get_counters(zeplog_counters* out);

/* Every counter; it grows at its end as counters are added. Set size first:
 *   zeplog_counters2 c;
 *   c.size = sizeof c;
 *   zeplog_get_counters2(&c); */
typedef struct zeplog_counters2 {
  uint64_t size; /* set by the caller: the bytes of the struct it was built with */
  uint64_t dropped_from_queue;
  uint64_t dropped_from_failed_queue;
  uint64_t refused_by_filter;
  uint64_t collapsed_repeats;
  uint64_t lost_unknown_handle;
  uint64_t written_back;
  uint64_t delivered;
  uint64_t below_minimum_level;
  uint64_t dropped_by_before_send;
  uint64_t dropped_from_spool;
  uint64_t otlp_rejected;
  uint64_t sampled_out;        /* log calls left out by their level's sample rate */
  uint64_t rate_limited;       /* log calls refused by their handle's rate limit */
  uint64_t dropped_by_consent; /* events deleted or refused with upload consent revoked */
  uint64_t attributes_cut;     /* log-call attributes left out or cut by the limits */
  uint64_t attribute_clashes;  /* log-call attributes named like a library field */
} zeplog_counters2;
/* Fills the counters of *out that lie wholly within out->size bytes (a size beyond this
 * library's struct counts as its size) and returns how many it wrote; leaves size and
 * every byte past the written counters untouched. 0 for NULL or a size too small for one. */
ZEPLOG_C_API size_t zeplog_get_counters2(zeplog_counters2* out);
/* One counter by its place in zeplog_counters2 (0 dropped_from_queue ... 15
 * attribute_clashes); 0 for a place this library does not have. */
ZEPLOG_C_API uint64_t zeplog_counter(int which);
/* Bounds the bytes held by each event queue (default 64 MiB); only before the first
 * initialisation and not 0: 1 when set, else 0 with a console line. */
ZEPLOG_C_API int zeplog_set_queue_byte_limit(size_t bytes);

/* Receives every console line (line points at len bytes followed by a NUL, valid for the
 * call) instead of stderr; NULL restores stderr. Lines come from any thread. */
typedef void (*zeplog_console_fn)(const char* line, size_t len, void* user);
ZEPLOG_C_API void zeplog_set_console_handler(zeplog_console_fn handler, void* user);
/* Drops every console line without making it, until the next zeplog_set_console_handler. */
ZEPLOG_C_API void zeplog_silence_console(void);
/* Directory for the library's files; call before the first initialisation. */
ZEPLOG_C_API void zeplog_set_data_directory(const char* path);
/* Trusts the CA certificates in a PEM file (or a directory of hashed certificates) besides
 * the system's store; "" forgets it. Certificates are always verified. */
ZEPLOG_C_API void zeplog_set_trusted_certificates(const char* path);
/* Request bodies gzip-compressed when on is not 0; before the first initialisation: 1 when
 * set, else 0 with a console line. */
ZEPLOG_C_API int zeplog_set_request_compression(int on);
/* Every request through an http or https proxy; "" leaves it to the environment
 * (http_proxy, https_proxy, no_proxy). Before the first initialisation: 1 when set, else 0
 * with a console line (also for NULL or a URL that is not http or https with a host). */
ZEPLOG_C_API int zeplog_set_proxy(const char* url);
/* Exports every event over OTLP/HTTP to endpoint ("http://host:4318"; requests go to
 * <endpoint>/v1/logs), with header_count extra headers header_names[i]: header_values[i];
 * also_to_collector 0 leaves out the collector's "v2/log" request. Before the first
 * initialisation: 1 when added, else 0 with a console line (also for a bad endpoint or
 * header). */
ZEPLOG_C_API int zeplog_add_otlp_exporter(const char* endpoint, const char* const* header_names,
                                          const char* const* header_values, size_t header_count,
                                          int also_to_collector);
/* An OTLP/HTTP logs exporter with every setting (see zeplog/otlp_exporter.hpp). Set size to
 * sizeof the struct first; the library reads only the members that lie wholly within it, and
 * those beyond it keep their defaults (also to the collector, protobuf, the library's request
 * compression, no resource attributes of its own, 10 s). */
typedef enum zeplog_otlp_protocol {
  ZEPLOG_OTLP_HTTP_PROTOBUF = 0,
  ZEPLOG_OTLP_HTTP_JSON = 1
} zeplog_otlp_protocol;
typedef enum zeplog_compression {
  ZEPLOG_COMPRESSION_DEFAULT = 0, /* as zeplog_set_request_compression says */
  ZEPLOG_COMPRESSION_NONE = 1,
  ZEPLOG_COMPRESSION_GZIP = 2,
  ZEPLOG_COMPRESSION_ZSTD = 3
} zeplog_compression;
typedef struct zeplog_otlp_exporter_options {
  uint64_t size;                   /* set by the caller: sizeof the struct it was built with */
  const char* endpoint;            /* "http://host:4318"; requests go to <endpoint>/v1/logs */
  const char* const* header_names; /* header_count extra headers */
  const char* const* header_values;
  size_t header_count;
  int also_to_collector;            /* 0 leaves out the collector's "v2/log" request */
  int protocol;                     /* a zeplog_otlp_protocol */
  int compression;                  /* a zeplog_compression */
  const zeplog_attribute* resource; /* resource_count resource attributes, each with a key */
  size_t resource_count;
  int64_t timeout_ms; /* each request's bound; 0: 10 s; clamped to 100 ms ... 10 min */
} zeplog_otlp_exporter_options;
/* Before the first initialisation: 1 when added, else 0 with a console line (also for NULL, a
 * size short of the endpoint, a bad endpoint or header, an unknown protocol, compression or
 * attribute type, or a resource attribute without a key). */
ZEPLOG_C_API int zeplog_add_otlp_exporter_with(const zeplog_otlp_exporter_options* options);
/* Durable delivery (see zeplog/durable_delivery.hpp); 0 for any bound takes its default
 * (256 MiB, 7 days, 300 s). Before the first initialisation: 1 when on, else 0 with a
 * console line. */
ZEPLOG_C_API int zeplog_enable_durable_delivery(uint64_t max_bytes, int64_t max_age_seconds,
                                                int64_t max_backoff_seconds);

/* Minidumps at native crashes (see docs/api.md). Set size to sizeof the struct first; the
 * library reads only the members that lie wholly within it. */
typedef struct zeplog_minidump_options {
  uint64_t size;                  /* set by the caller: sizeof the struct it was built with */
  int write;                      /* 0: no minidumps */
  const char* upload_url;         /* NULL or "": kept on disk only */
  const char* const* field_names; /* field_count extra form fields */
  const char* const* field_values;
  size_t field_count;
} zeplog_minidump_options;
/* Before the first initialisation (and before crash capture is armed): 1 when set, else 0 with
 * a console line (also for NULL, a size too small, a bad URL or a NULL field). */
ZEPLOG_C_API int zeplog_enable_minidumps(const zeplog_minidump_options* options);

/* Integrations; each is off until turned on (see docs/api.md). */
/* Local minimum level ("DEBUG", "INFO", "WARN", "ERROR" or "FATAL"): log calls below it make
 * no event (counted). 1 when set, else 0 with a console line. */
ZEPLOG_C_API int zeplog_set_minimum_level(const char* level);

/* The event a before-send hook is given; valid only during the call. */
typedef struct zeplog_event zeplog_event;
/* Before-send hook: called on the send thread for each event before the send filter; 0
 * drops the event (counted), anything else sends it. NULL removes the hook. */
typedef int (*zeplog_before_send_fn)(zeplog_event* event, void* user);
ZEPLOG_C_API void zeplog_set_before_send(zeplog_before_send_fn hook, void* user);
/* A field's value (text or byte data) and its length in *len (when len is not NULL); NULL
 * when the event has no such field. Valid until the field is changed or the hook returns. */
ZEPLOG_C_API const char* zeplog_event_field(const zeplog_event* event, const char* key,
                                            size_t* len);
/* Sets a field to a text value; a NULL value removes the field. */
ZEPLOG_C_API void zeplog_event_set_field(zeplog_event* event, const char* key, const char* value);
/* The body and its length; NULL when the event has none. */
ZEPLOG_C_API const char* zeplog_event_body(const zeplog_event* event, size_t* len);
/* Replaces the body; NULL removes it. */
ZEPLOG_C_API void zeplog_event_set_body(zeplog_event* event, const char* body);
/* Gives the count fields named in keys the value "[redacted]" in every event sent from now
 * on; a count of 0 turns redaction off. */
ZEPLOG_C_API void zeplog_redact_fields(const char* const* keys, size_t count);
/* Keeps the last n log calls (0 = off, at most 1000) for crash reports' "Breadcrumbs". */
ZEPLOG_C_API void zeplog_set_breadcrumbs(uint32_t n);

/* What leaves the machine (see docs/api.md, "Upload consent, sampling and rate limit"). */
typedef enum zeplog_consent {
  ZEPLOG_CONSENT_UNKNOWN = 0,
  ZEPLOG_CONSENT_GIVEN = 1,
  ZEPLOG_CONSENT_REVOKED = 2
} zeplog_consent;
/* Asks for upload consent; before the first initialisation: 1, else 0 with a console line. */
ZEPLOG_C_API int zeplog_require_upload_consent(void);
/* Records the answer; a value outside zeplog_consent gives a console line and changes nothing. */
ZEPLOG_C_API void zeplog_set_upload_consent(zeplog_consent consent);
/* The state now; ZEPLOG_CONSENT_GIVEN when consent was never asked for. */
ZEPLOG_C_API zeplog_consent zeplog_upload_consent(void);
/* Keeps that share (clamped to 0..1) of the log calls at the level: 1, else 0 with a line
 * (NaN, a level outside zeplog_level). */
ZEPLOG_C_API int zeplog_set_sample_rate(zeplog_level level, double rate);
/* A token bucket per handle: events_per_second on average, bursts of burst calls; 1, else 0
 * with a line (NaN). */
ZEPLOG_C_API int zeplog_set_rate_limit(double events_per_second, uint32_t burst);

#ifdef __cplusplus
}
#endif

#endif /* ZEPLOG_ZEPLOG_H_ */
