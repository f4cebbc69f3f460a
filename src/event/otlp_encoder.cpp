// The OTLP/HTTP encodings of events: what each event becomes, read here once for both
// encodings (otlp_request_writer.hpp writes it in either wire form).
#include "event/otlp_encoder.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <limits>
#include <optional>

#include "common/base64.hpp"
#include "common/utf8.hpp"
#include "event/attribute_blob.hpp"
#include "event/attribute_fields.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/otlp_request_writer.hpp"
#include "event/vela_event_maker.hpp"

#ifndef ZEPLOG_LIBRARY_VERSION
#define ZEPLOG_LIBRARY_VERSION "unknown"
#endif

namespace zeplog::detail {
namespace {

constexpr std::string_view kLibraryVersion = ZEPLOG_LIBRARY_VERSION;

constexpr std::size_t kMaxRecycled = 8u << 20;
thread_local std::string recycled;  // see recycleOtlpBody

// The record fields and resource attributes come from these event members and fields; the
// rest of the fields become attributes under their own names.

struct Severity {
  std::string_view text;
  int number;
};
constexpr Severity kSeverities[] = {
    {"DEBUG", 5}, {"INFO", 9}, {"WARN", 13}, {"ERROR", 17}, {"FATAL", 21}};

// OTLP's severity number of a level text; 0 (unspecified) for a text outside the five.
constexpr int severityNumber(std::string_view level) {
  for (const Severity& s : kSeverities)
    if (s.text == level) return s.number;
  return 0;
}
static_assert(severityNumber("DEBUG") == 5 && severityNumber("FATAL") == 21);
static_assert(severityNumber("info") == 0 && severityNumber("TRACE") == 0);

std::string_view textOf(const FieldValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::get<Bytes>(value).view();
}

// Milliseconds since the epoch as nanoseconds; none before the epoch or past what 64 bits
// hold (the year 2554).
std::optional<std::uint64_t> millisToNanos(std::int64_t ms) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max() / 1000000u;
  if (ms <= 0 || static_cast<std::uint64_t>(ms) > kMax) return std::nullopt;
  return static_cast<std::uint64_t>(ms) * 1000000u;
}

const std::string& osVersion() {
  static const auto* text = [] {
    struct utsname u {};
    return new std::string(::uname(&u) == 0 ? u.release : "");
  }();
  return *text;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_osVersionMadeAtLoad = (static_cast<void>(osVersion()), true);

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// The resource's attributes: the encoding's own first, then the library's that none of them
// names.
void writeResource(OtlpRequestWriter& out, const ResourceAttributes* own, const OptText& project,
                   const OptText& version) {
  const auto named = [own](std::string_view key) {
    if (!own) return false;
    for (const auto& [k, v] : *own)
      if (k == key) return true;
    return false;
  };
  if (own) {
    for (std::size_t i = 0; i < own->size(); ++i) {
      const auto& [key, value] = (*own)[i];
      bool repeated = false;  // a key given twice keeps its first value
      for (std::size_t j = 0; j < i && !repeated; ++j) repeated = (*own)[j].first == key;
      if (!repeated) out.resourceAttribute(key, OtlpValue::of(value));
    }
  }
  const auto library = [&](std::string_view key, std::string_view value) {
    if (!named(key)) out.resourceAttribute(key, OtlpValue::ofText(value));
  };
  if (project) library("service.name", *project);
  if (version) library("service.version", *version);
  library("telemetry.sdk.name", "zeplog");
  library("telemetry.sdk.language", "cpp");
  library("telemetry.sdk.version", kLibraryVersion);
  // With the host switch off the collector gets "-" for the host: it is not told here either.
  if (globals().gs_enablehost.load()) {
    if (const std::string host = hostName(); !host.empty()) library("host.name", host);
  }
  library("os.type", "linux");
  if (!osVersion().empty()) library("os.version", osVersion());
}

// The crash text's exception type: a native report's "Exception Type:" line, or the name
// before ": " on the first line of a managed exception ("NullReferenceException: ...").
std::string_view exceptionType(std::string_view stacktrace) {
  constexpr std::string_view kNative = "Exception Type:";
  if (const std::size_t at = stacktrace.find(kNative); at != std::string_view::npos) {
    std::string_view rest = stacktrace.substr(at + kNative.size());
    rest = rest.substr(0, rest.find('\n'));
    const std::size_t start = rest.find_first_not_of(' ');
    return start == std::string_view::npos ? std::string_view() : rest.substr(start);
  }
  const std::string_view line = stacktrace.substr(0, stacktrace.find('\n'));
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const std::string_view name = line.substr(0, colon);
  return name.find_first_of(" \t") == std::string_view::npos ? name : std::string_view();
}

// The crash text of a crash event: a native report's text travels base64-encoded.
std::string crashText(const Fields& fields, const FieldValue& dump) {
  const std::string_view data = textOf(dump);
  const FieldValue* style = fields.find(kCrashStyleKey);
  if (style && textOf(*style) == "ios-objc") {
    if (std::optional<std::string> decoded = base64Decode(data)) return std::move(*decoded);
  }
  return std::string(data);
}

// The event fields that have an OpenTelemetry attribute of their own (docs/api.md lists each
// with its status). Every other field goes out under kOwnPrefix and its own name.
struct Convention {
  std::string_view field;
  std::string_view attribute;
};
constexpr Convention kConventions[] = {
    {kSessionIdKey, "session.id"},       {"UserID", "user.id"},
    {"DeviceID", "device.id"},           {"DeviceModel", "device.model.identifier"},
    {"Carrier", "network.carrier.name"}, {"Platform", "os.description"},
};
constexpr std::string_view kOwnPrefix = "zeplog.";

constexpr std::string_view conventionOf(std::string_view field) {
  for (const Convention& c : kConventions)
    if (c.field == field) return c.attribute;
  return {};
}
static_assert(conventionOf("UserID") == "user.id" && conventionOf("userid").empty());

// The record's event names: a session's start and a crash (a handled exception included:
// its event is a crash event of its own).
constexpr std::string_view kSessionStartEvent = "session.start";
constexpr std::string_view kCrashEvent = "app.crash";

// A field written as a record field or as an exception attribute, not as an attribute of
// its own.
bool isRecordField(std::string_view key) {
  return isEventMember(key) || key == kBulkIndexKey || key == kLogLevelKey || key == kCrashDataKey;
}

// A field's value: text as a string; byte data that is not UTF-8 as bytes, so that no byte
// is lost to the repair a string would need.
OtlpValue fieldValue(const FieldValue& v) {
  const auto* bytes = std::get_if<Bytes>(&v);
  if (!bytes || isValidUtf8(bytes->view())) return OtlpValue::ofText(textOf(v));
  return OtlpValue::ofBytes(bytes->view());
}

// True when key names one of the packed attributes.
bool isPackedKey(std::string_view packed, std::string_view key) {
  for (const PackedAttribute& a : PackedAttributes(packed)) {
    if (a.key == key) return true;
  }
  return false;
}

// The exception attributes of a crash event. The type: for a native crash the error code,
// which names the uncaught exception's C++ type (or the signal when there was none); for a
// managed one the name that starts its text.
void writeException(OtlpRequestWriter& out, const Fields& fields, const FieldValue& dump,
                    std::string_view body) {
  const std::string stacktrace = crashText(fields, dump);
  const FieldValue* style = fields.find(kCrashStyleKey);
  const FieldValue* code = fields.find(kErrorCodeKey);
  std::string_view type;
  if (style && textOf(*style) == "ios-objc" && code) type = textOf(*code);
  if (type.empty()) type = exceptionType(stacktrace);
  if (!type.empty()) out.recordAttribute("exception.type", OtlpValue::ofText(type));
  if (!body.empty()) out.recordAttribute("exception.message", OtlpValue::ofText(body));
  out.recordAttribute("exception.stacktrace", OtlpValue::ofText(stacktrace));
}

// Writes an attribute under the library's own prefix; `key` is the buffer its name is made
// in, kept by the caller across attributes.
void writeOwn(OtlpRequestWriter& out, std::string& key, std::string_view name,
              const OtlpValue& value) {
  key.assign(kOwnPrefix).append(name);
  out.recordAttribute(key, value);
}

// A log call's own: its typed attributes (under their own names, as the program gave them)
// and the trace ids it carries as record fields.
struct CallParts {
  std::string_view attributes;  // packed
  std::optional<TraceContext> trace;
};

// Writes the event's fields as attributes: a convention's name or the library's prefix.
// A session id goes only with the session and crash events that carry it (as in the
// collector's body). A log call's attributes made fields go out under their own names,
// typed while they hold their value's text.
void writeFields(OtlpRequestWriter& out, const Fields& fields, bool carriesSession,
                 const CallParts& call, std::string& key) {
  for (const auto& [name, value] : fields) {
    if (isRecordField(name) || (name == kSessionIdKey && !carriesSession)) continue;
    if (call.trace && (name == kTraceIdKey || name == kSpanIdKey)) continue;  // record fields
    if (!call.attributes.empty()) {
      if (const auto typed = unchangedAttribute(call.attributes, name, textOf(value))) {
        out.recordAttribute(name, OtlpValue::of(*typed));
        continue;
      }
      if (isPackedKey(call.attributes, name)) {  // changed by a hook: its text
        out.recordAttribute(name, fieldValue(value));
        continue;
      }
    }
    if (const std::string_view attribute = conventionOf(name); !attribute.empty()) {
      out.recordAttribute(attribute, fieldValue(value));
    } else {
      writeOwn(out, key, name, fieldValue(value));
    }
  }
}

// Everything a record carries, read from the event; the one place that reads events. A log
// call's message, level and error code are read in place while they are still its text (no
// dictionary is made for them); `common` holds the common fields when the event's own do not.
void writeRecord(OtlpRequestWriter& out, const VelaEvent& event, const CommonFragment* common,
                 std::uint64_t observed, std::string& key) {
  const std::optional<LogEventMaker::PendingFields> pending = LogEventMaker::pendingFields(event);
  const Fields* fields = pending ? nullptr : event.fields().get();
  const CallParts call{LogEventMaker::attributes(event), LogEventMaker::trace(event)};
  const FieldValue* dump = fields ? fields->find(kCrashDataKey) : nullptr;
  std::optional<std::string_view> body = LogEventMaker::pendingBody(event);
  if (!body && event.body()) body = event.body()->view();
  out.beginRecord();
  if (std::optional<std::uint64_t> time = millisToNanos(event.sendTime())) out.time(*time);
  out.observedTime(observed);
  if (pending) {
    out.severity(severityNumber(pending->level), pending->level);
  } else if (const FieldValue* level = fields ? fields->find(kLogLevelKey) : nullptr) {
    out.severity(severityNumber(textOf(*level)), textOf(*level));
  }
  if (body) out.body(*body);
  if (dump) {
    out.eventName(kCrashEvent);
  } else if (isSessionEvent(event)) {
    out.eventName(kSessionStartEvent);
  }
  if (call.trace) out.trace(*call.trace);
  if (event.logType()) writeOwn(out, key, "logType", OtlpValue::ofText(*event.logType()));
  if (event.logSource()) writeOwn(out, key, "logSource", OtlpValue::ofText(*event.logSource()));
  if (dump) writeException(out, *fields, *dump, body.value_or(std::string_view()));
  if (pending && !pending->errorCode.empty())
    writeOwn(out, key, kErrorCodeKey, OtlpValue::ofText(pending->errorCode));
  const bool carriesSession = dump || isSessionEvent(event);
  if (fields) writeFields(out, *fields, carriesSession, call, key);
  // Still in the call's text: the attributes straight from their packed form.
  if (pending) {
    for (const PackedAttribute& a : PackedAttributes(call.attributes))
      out.recordAttribute(a.key, OtlpValue::of(a.value));
  }
  if (common) writeFields(out, common->fields(), carriesSession, CallParts{}, key);
  out.endRecord();
}

bool sameResource(const VelaEvent& a, const VelaEvent& b) {
  return a.projectName() == b.projectName() && a.projectVersion() == b.projectVersion();
}

std::string encode(OtlpProtocol protocol, const std::vector<VelaEventPtr>& events,
                   std::uint64_t observed, const ResourceAttributes* resource,
                   const std::vector<CommonFragmentPtr>* common) {
  std::string buffer;
  buffer.swap(recycled);
  OtlpRequestWriter out(protocol, std::move(buffer));
  // Events of another project version (restored from an earlier run) get a resource entry
  // of their own, in the order each version first appears.
  std::vector<const VelaEvent*> resources;
  for (const VelaEventPtr& e : events) {
    if (!e || !e->handleId()) continue;
    bool known = false;
    for (const VelaEvent* r : resources) known = known || sameResource(*r, *e);
    if (!known) resources.push_back(e.get());
  }
  for (const VelaEvent* r : resources) {
    out.beginResourceLogs();
    writeResource(out, resource, r->projectName(), r->projectVersion());
    out.beginScopeLogs("zeplog", kLibraryVersion);
    std::string key;  // an attribute name under the library's prefix, made here
    for (std::size_t i = 0; i < events.size(); ++i) {
      const VelaEventPtr& e = events[i];
      if (!e || !e->handleId() || !sameResource(*r, *e)) continue;
      writeRecord(out, *e, common ? (*common)[i].get() : nullptr, observed, key);
    }
    out.endScopeLogs();
    out.endResourceLogs();
  }
  return out.take();
}

}  // namespace

std::string otlpLogsRequest(const std::vector<VelaEventPtr>& events,
                            std::uint64_t observedUnixNanos, const OtlpEncoding& encoding,
                            const std::vector<CommonFragmentPtr>* common) {
  return encode(encoding.protocol, events, observedUnixNanos, encoding.resource, common);
}

void recycleOtlpBody(std::string&& body) {
  if (body.capacity() > kMaxRecycled || body.capacity() <= recycled.capacity()) return;
  recycled = std::move(body);
}

}  // namespace zeplog::detail
