// The C interface: each function hands its arguments to the C++ facade. Texts cross as
// Text views, so NULL stays absent and nothing is copied before the facade's own checks.
#include "zeplog/zeplog.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "queue/block_queue.hpp"
#include "queue/log_submit.hpp"
#include "queue/queue_counters.hpp"
#include "zeplog/zeplog.hpp"

using zeplog::CrashCapture;
using zeplog::SyncStart;
using zeplog::Text;
using zeplog::ZEPLog;

namespace {

// A text with an explicit length; a NULL pointer is absent whatever the length says.
Text sized(const char* data, size_t len) {
  return data ? Text(std::string_view(data, len)) : Text();
}

// The C levels are the C++ ones, number for number.
static_assert(ZEPLOG_DEBUG == static_cast<int>(zeplog::Level::Debug) &&
              ZEPLOG_FATAL == static_cast<int>(zeplog::Level::Fatal));
const char* levelText(zeplog_level level) {
  return zeplog::detail::levelText(static_cast<zeplog::Level>(level));
}

void handled(zeplog_level level, Text message, Text exception) {
  switch (level) {
    case ZEPLOG_DEBUG:
      return ZEPLog::handledDebug(message, exception);
    case ZEPLOG_INFO:
      return ZEPLog::handledInfo(message, exception);
    case ZEPLOG_WARN:
      return ZEPLog::handledWarn(message, exception);
    case ZEPLOG_ERROR:
      return ZEPLog::handledError(message, exception);
    case ZEPLOG_FATAL:
      return ZEPLog::handledFatal(message, exception);
  }
  ZEPLog::handledError(message, exception);  // an out-of-range level still keeps the report
}

// zeplog_counters2 is its size and the counters, each a uint64_t, with no padding between
// them; the counters start here.
constexpr size_t kFirstCounter = offsetof(zeplog_counters2, dropped_from_queue);
static_assert(kFirstCounter == sizeof(uint64_t) &&
              sizeof(zeplog_counters2) % sizeof(uint64_t) == 0 &&
              offsetof(zeplog_counters2, attribute_clashes) + sizeof(uint64_t) ==
                  sizeof(zeplog_counters2));
// zeplog_counters is fixed: programs built against it expect exactly these 56 bytes, laid
// out as the first seven counters of zeplog_counters2.
static_assert(sizeof(zeplog_counters) == 7 * sizeof(uint64_t) &&
              offsetof(zeplog_counters, delivered) + kFirstCounter ==
                  offsetof(zeplog_counters2, delivered) &&
              offsetof(zeplog_counters, lost_unknown_handle) + kFirstCounter ==
                  offsetof(zeplog_counters2, lost_unknown_handle));

}  // namespace

extern "C" {

int zeplog_init(const char* url, const char* app_key, const char* version, const char* user_id) {
  return zeplog::detail::guarded<bool>("zeplog_init", false,
                                       [&] { return ZEPLog::init(url, app_key, version, user_id); })
             ? 1
             : 0;
}

int zeplog_init_full(const char* url, int32_t port, int32_t protocol, const char* app_key,
                     const char* version, const char* user_id, int crash_capture, int sync_start,
                     const char* unity_version, const char* handle_id) {
  return zeplog::detail::guarded<bool>("zeplog_init_full", false,
                                       [&] {
                                         return ZEPLog::init(
                                             url, port, protocol, app_key, version, user_id,
                                             crash_capture ? CrashCapture::On : CrashCapture::Off,
                                             sync_start ? SyncStart::On : SyncStart::Off,
                                             unity_version, handle_id);
                                       })
             ? 1
             : 0;
}

void zeplog_start_send_thread(void) { ZEPLog::startSendThread(); }

void zeplog_log(zeplog_level level, const char* handle_id, const char* error_code,
                const char* message) {
  zeplog_log_n(level, handle_id, error_code, error_code ? std::string_view(error_code).size() : 0,
               message, message ? std::string_view(message).size() : 0);
}

void zeplog_log_n(zeplog_level level, const char* handle_id, const char* error_code,
                  size_t error_code_len, const char* message, size_t message_len) {
  const char* text = levelText(level);
  if (!text) {
    ZEP_CONSOLE("log level " + std::to_string(static_cast<int>(level)) + " is invalid");
    return;
  }
  zeplog::detail::sendLog(text, sized(error_code, error_code_len), sized(message, message_len),
                          handle_id);
}

void zeplog_send_log(const char* level, const char* error_code, const char* message,
                     const char* handle_id) {
  ZEPLog::sendLog(level, error_code, message, Text(), handle_id);
}

void zeplog_handled(zeplog_level level, const char* message, const char* exception) {
  handled(level, message, exception);
}

void zeplog_handled_n(zeplog_level level, const char* message, size_t message_len,
                      const char* exception, size_t exception_len) {
  handled(level, sized(message, message_len), sized(exception, exception_len));
}

void zeplog_send_unity_crash(const char* level, const char* type, const char* message,
                             const char* exception) {
  ZEPLog::sendUnityCrash(level, type, message, exception);
}

void zeplog_set_user_id(const char* user_id, const char* handle_id) {
  ZEPLog::setUserId(user_id, handle_id);
}
void zeplog_set_log_type(const char* log_type, const char* handle_id) {
  ZEPLog::setLogType(log_type, handle_id);
}
void zeplog_set_log_source(const char* log_source, const char* handle_id) {
  ZEPLog::setLogSource(log_source, handle_id);
}
void zeplog_set_log_deduplicate(int enabled, const char* handle_id) {
  ZEPLog::setLogDeduplicate(enabled != 0, handle_id);
}

void zeplog_set_custom_field(const char* value, const char* key, const char* handle_id) {
  ZEPLog::setCustomField(value, key, handle_id);
}
void zeplog_set_custom_field_n(const char* value, size_t value_len, const char* key,
                               const char* handle_id) {
  ZEPLog::setCustomField(sized(value, value_len), key, handle_id);
}
void zeplog_remove_custom_field(const char* key, const char* handle_id) {
  ZEPLog::removeCustomFieldForKey(key, handle_id);
}
void zeplog_remove_all_custom_fields(const char* handle_id) {
  ZEPLog::removeAllCustomFields(Text(handle_id));
}

int32_t zeplog_queue_size(void) { return ZEPLog::queueSize(); }
int32_t zeplog_file_queue_size(void) { return ZEPLog::fileQueueSize(); }

void zeplog_application_did_enter_background(void) { ZEPLog::applicationDidEnterBackground(); }
void zeplog_application_will_enter_foreground(void) { ZEPLog::applicationWillEnterForeground(); }

int zeplog_flush(int64_t timeout_ms) {
  return ZEPLog::flush(std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms)) ? 1 : 0;
}

void zeplog_application_will_terminate(void) { ZEPLog::applicationWillTerminate(); }

void zeplog_get_counters(zeplog_counters* out) {
  if (!out) return;
  zeplog_counters2 all;
  all.size = sizeof all;
  zeplog_get_counters2(&all);
  // zeplog_counters is the first seven counters of zeplog_counters2, member for member.
  std::memcpy(out, &all.dropped_from_queue, sizeof *out);
}

size_t zeplog_get_counters2(zeplog_counters2* out) {
  if (!out) return 0;
  zeplog_counters2 all;
  all.size = sizeof all;
  // The members after size are the counters in Counter's order, one each.
  static_assert(sizeof all == (1 + zeplog::detail::kCounterCount) * sizeof(uint64_t));
  static_assert(offsetof(zeplog_counters2, dropped_by_consent) ==
                (1 + static_cast<std::size_t>(zeplog::Counter::DroppedByConsent)) *
                    sizeof(uint64_t));
  zeplog::detail::settleStagedLogsIfFree();  // the staged calls' counts first
  uint64_t values[zeplog::detail::kCounterCount];
  for (std::size_t i = 0; i < zeplog::detail::kCounterCount; ++i)
    values[i] = zeplog::detail::counterValue(static_cast<zeplog::Counter>(i));
  std::memcpy(reinterpret_cast<unsigned char*>(&all) + kFirstCounter, values, sizeof values);
  // The caller's struct may be older (smaller) or newer (larger) than this library's: only
  // the counters both know are written.
  const uint64_t size = std::min<uint64_t>(out->size, sizeof all);
  const size_t count = size < kFirstCounter ? 0 : (size - kFirstCounter) / sizeof(uint64_t);
  std::memcpy(reinterpret_cast<unsigned char*>(out) + kFirstCounter,
              reinterpret_cast<const unsigned char*>(&all) + kFirstCounter,
              count * sizeof(uint64_t));
  return count;
}

uint64_t zeplog_counter(int which) {
  return zeplog::ZEPLog::counter(static_cast<zeplog::Counter>(which));
}

int zeplog_set_queue_byte_limit(size_t bytes) { return ZEPLog::setQueueByteLimit(bytes) ? 1 : 0; }

void zeplog_set_console_handler(zeplog_console_fn handler, void* user) {
  zeplog::detail::guarded("zeplog_set_console_handler", [&] {
    if (!handler) {
      ZEPLog::setConsoleHandler(nullptr);
      return;
    }
    // The line is copied so the C side gets a NUL after its bytes.
    ZEPLog::setConsoleHandler([handler, user](std::string_view line) {
      const std::string text(line);
      handler(text.c_str(), text.size(), user);
    });
  });
}

void zeplog_silence_console(void) { ZEPLog::silenceConsole(); }

void zeplog_set_data_directory(const char* path) {
  zeplog::detail::guarded("zeplog_set_data_directory", [&] {
    if (!path) {
      ZEP_CONSOLE("data directory is null");
      return;
    }
    ZEPLog::setDataDirectory(path);
  });
}

void zeplog_set_trusted_certificates(const char* path) {
  zeplog::detail::guarded("zeplog_set_trusted_certificates", [&] {
    if (!path) {
      ZEP_CONSOLE("trusted certificates path is null");
      return;
    }
    ZEPLog::setTrustedCertificates(path);
  });
}

int zeplog_set_request_compression(int on) { return ZEPLog::setRequestCompression(on != 0); }

int zeplog_set_proxy(const char* url) { return ZEPLog::setProxy(url) ? 1 : 0; }

int zeplog_add_otlp_exporter(const char* endpoint, const char* const* header_names,
                             const char* const* header_values, size_t header_count,
                             int also_to_collector) {
  return zeplog::detail::guarded<int>("zeplog_add_otlp_exporter", 0, [&] {
    if (!endpoint || (header_count > 0 && (!header_names || !header_values))) {
      ZEP_CONSOLE("addOtlpExporter ignored: NULL endpoint or header list");
      return 0;
    }
    zeplog::OtlpExporter options;
    options.endpoint = endpoint;
    for (size_t i = 0; i < header_count; ++i) {
      if (!header_names[i] || !header_values[i]) {
        ZEP_CONSOLE("addOtlpExporter ignored: NULL header name or value");
        return 0;
      }
      options.headers.emplace_back(header_names[i], header_values[i]);
    }
    options.alsoToCollector = also_to_collector != 0;
    return ZEPLog::addOtlpExporter(options) ? 1 : 0;
  });
}

int zeplog_enable_durable_delivery(uint64_t max_bytes, int64_t max_age_seconds,
                                   int64_t max_backoff_seconds) {
  zeplog::DurableDelivery options;
  if (max_bytes != 0) options.maxBytes = max_bytes;
  if (max_age_seconds != 0) options.maxAge = std::chrono::seconds(max_age_seconds);
  if (max_backoff_seconds != 0) options.maxBackoff = std::chrono::seconds(max_backoff_seconds);
  return ZEPLog::enableDurableDelivery(options) ? 1 : 0;
}

}  // extern "C"
