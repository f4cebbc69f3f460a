// Log calls with typed attributes, and the thread's trace context they carry.
#include <algorithm>
#include <optional>
#include <string>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "facade/c_attribute.hpp"
#include "queue/log_submit.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::log(Level level, std::string_view message, std::span<const Attribute> attributes,
                 Text handleId, Text errorCode) noexcept {
  const char* text = detail::levelText(level);
  if (!text) {
    ZEP_CONSOLE("log level " + std::to_string(static_cast<int>(level)) + " is invalid");
    return;
  }
  detail::submitLogCall(detail::LogCall{text, errorCode, Text(message), handleId, attributes});
}

void ZEPLog::log(Level level, std::string_view message, std::span<const Attribute> attributes,
                 Text handleId) noexcept {
  log(level, message, attributes, handleId, Text());
}

void ZEPLog::log(Level level, std::string_view message,
                 std::initializer_list<Attribute> attributes) noexcept {
  log(level, message, std::span<const Attribute>(attributes.begin(), attributes.size()), "0");
}

void ZEPLog::setThreadTraceContext(const TraceContext& context) noexcept {
  detail::setThreadTrace(&context);
}

void ZEPLog::clearThreadTraceContext() noexcept { detail::setThreadTrace(nullptr); }

std::optional<TraceContext> ZEPLog::threadTraceContext() noexcept {
  const TraceContext* trace = detail::threadTrace();
  return trace ? std::optional<TraceContext>(*trace) : std::nullopt;
}

}  // namespace zeplog

using zeplog::Attribute;

extern "C" {

void zeplog_log_attrs(zeplog_level level, const char* message, const zeplog_attribute* attrs,
                      size_t count) {
  zeplog::detail::guarded("zeplog_log_attrs", [&] {
    // Past the limit the rest is left out anyway: no more is read than is kept, plus one so
    // that the cut is counted (once, however many follow).
    if (!attrs) count = 0;
    count = std::min(count, zeplog::kMaxAttributes + 1);
    Attribute converted[zeplog::kMaxAttributes + 1] = {};
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
      // An unknown type becomes an attribute with no key: left out, and counted.
      converted[n++] = zeplog::detail::attributeOfC(attrs[i]).value_or(Attribute{});
    }
    zeplog::ZEPLog::log(static_cast<zeplog::Level>(level), message ? message : "",
                        std::span<const Attribute>(converted, n), "0");
  });
}

int zeplog_set_thread_traceparent(const char* traceparent) {
  if (!traceparent) return 0;
  const auto context = zeplog::TraceContext::fromTraceparent(traceparent);
  if (!context) return 0;
  zeplog::ZEPLog::setThreadTraceContext(*context);
  return 1;
}

void zeplog_clear_thread_trace_context(void) { zeplog::ZEPLog::clearThreadTraceContext(); }

}  // extern "C"
