// The OTLP/HTTP JSON encoding of events.
//
// Written straight into one string with the library's JSON string rule. Protobuf's JSON
// mapping as OTLP uses it: lowerCamelCase names, 64-bit integers as decimal strings, enums
// as numbers, byte data as base64, empty and zero fields left out.
#include "event/otlp_encoder.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <limits>
#include <optional>

#include "common/base64.hpp"
#include "common/utf8.hpp"
#include "event/attribute_blob.hpp"
#include "event/attribute_fields.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/json/json_string_writer.hpp"
#include "event/vela_event_maker.hpp"
#include "zeplog/json_reader.hpp"

#ifndef ZEPLOG_LIBRARY_VERSION
#define ZEPLOG_LIBRARY_VERSION "unknown"
#endif

namespace zeplog::detail {
namespace {

constexpr std::string_view kLibraryVersion = ZEPLOG_LIBRARY_VERSION;

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

std::string decimal(std::uint64_t n) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  return std::string(buf, r.ptr);
}

// Milliseconds since the epoch as nanoseconds; none before the epoch or past what 64 bits
// hold (the year 2554).
std::optional<std::uint64_t> millisToNanos(std::int64_t ms) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max() / 1000000u;
  if (ms <= 0 || static_cast<std::uint64_t>(ms) > kMax) return std::nullopt;
  return static_cast<std::uint64_t>(ms) * 1000000u;
}

// The output and its separators.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void raw(std::string_view s) { out_.append(s); }
  void text(std::string_view s) { appendJSONString(out_, s, /*escapeSolidus=*/false); }
  // "key": at the start of an object's member (the comma before it when not the first).
  void key(std::string_view k, bool& first) {
    if (!first) out_.push_back(',');
    first = false;
    text(k);
    out_.push_back(':');
  }
  // {"key":"...","value":{"stringValue":"..."}} as an element of an attribute list.
  void stringAttribute(std::string_view k, std::string_view v, bool& first) {
    if (!first) out_.push_back(',');
    first = false;
    raw("{\"key\":");
    text(k);
    raw(",\"value\":{\"stringValue\":");
    text(v);
    raw("}}");
  }
  // A field's value: text as a string; byte data that is not UTF-8 as base64 bytes, so
  // that no byte is lost to the repair a string would need.
  void fieldAttribute(std::string_view k, const FieldValue& v, bool& first) {
    const auto* bytes = std::get_if<Bytes>(&v);
    if (!bytes || isValidUtf8(bytes->view())) return stringAttribute(k, textOf(v), first);
    if (!first) out_.push_back(',');
    first = false;
    raw("{\"key\":");
    text(k);
    raw(",\"value\":{\"bytesValue\":\"");
    raw(base64Encode(bytes->view()));
    raw("\"}}");
  }

 private:
  std::string& out_;
};

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

void writeResource(Writer& w, const OptText& project, const OptText& version) {
  w.raw("\"resource\":{\"attributes\":[");
  bool first = true;
  if (project) w.stringAttribute("service.name", *project, first);
  if (version) w.stringAttribute("service.version", *version, first);
  w.stringAttribute("telemetry.sdk.name", "zeplog", first);
  w.stringAttribute("telemetry.sdk.language", "cpp", first);
  w.stringAttribute("telemetry.sdk.version", kLibraryVersion, first);
  // With the host switch off the collector gets "-" for the host: it is not told here either.
  if (globals().gs_enablehost.load()) {
    if (const std::string host = hostName(); !host.empty())
      w.stringAttribute("host.name", host, first);
  }
  w.stringAttribute("os.type", "linux", first);
  if (!osVersion().empty()) w.stringAttribute("os.version", osVersion(), first);
  w.raw("]}");
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

// A native crash's event: its crash text travels base64-encoded.
bool isNativeCrash(const Fields& fields) {
  const FieldValue* style = fields.find(kCrashStyleKey);
  return style && textOf(*style) == "ios-objc";
}

// The crash's exception type: for a native crash its error code, which is the uncaught
// exception's type where the terminate handler saw one and the signal's name otherwise;
// else what the crash text says.
std::string_view crashExceptionType(const Fields& fields, std::string_view stacktrace) {
  const FieldValue* code = fields.find(kErrorCodeKey);
  if (code && isNativeCrash(fields) && !textOf(*code).empty()) return textOf(*code);
  return exceptionType(stacktrace);
}

// The crash text of a crash event.
std::string crashText(const Fields& fields, const FieldValue& dump) {
  const std::string_view data = textOf(dump);
  if (isNativeCrash(fields)) {
    if (std::optional<std::string> decoded = base64Decode(data)) return std::move(*decoded);
  }
  return std::string(data);
}

// A field that is written as a record field or under another name, or whose name such a
// one takes (a field of its own never gives an attribute key twice).
bool isMappedKey(std::string_view key, const Fields& fields) {
  if (isEventMember(key) || key == kBulkIndexKey) return true;
  if (key == kLogLevelKey || key == kCrashDataKey || key == kSessionIdKey) return true;
  if (key == "session.id") return fields.contains(kSessionIdKey);
  return key.starts_with("exception.") && fields.contains(kCrashDataKey);
}

// A log call's typed attribute: its value under the key of its type.
void typedAttribute(Writer& w, const PackedAttribute& a, bool& first) {
  ValueTextBuffer buffer;
  const std::string_view text = attributeValueText(a.value, buffer);
  if (!first) w.raw(",");
  first = false;
  w.raw("{\"key\":");
  w.text(a.key);
  switch (a.value.type()) {
    case AttributeValue::Type::Text:
      w.raw(",\"value\":{\"stringValue\":");
      w.text(text);
      break;
    case AttributeValue::Type::Int:  // a 64-bit integer is a decimal string in this mapping
      w.raw(",\"value\":{\"intValue\":");
      w.text(text);
      break;
    case AttributeValue::Type::Double:
      w.raw(",\"value\":{\"doubleValue\":");
      if (isBareJsonValue(a.value)) {
        w.raw(text);
      } else {
        w.text(text);
      }
      break;
    case AttributeValue::Type::Bool:
      w.raw(",\"value\":{\"boolValue\":");
      w.raw(text);
      break;
  }
  w.raw("}}");
}

void writeTrace(Writer& w, const TraceContext& trace, bool& first) {
  const auto traceId = traceIdHex(trace);
  const auto spanId = spanIdHex(trace);
  w.key("traceId", first);
  w.text(std::string_view(traceId.data(), traceId.size()));
  w.key("spanId", first);
  w.text(std::string_view(spanId.data(), spanId.size()));
  w.key("flags", first);
  w.raw(decimal(trace.flags));
}

void writeRecord(Writer& w, const VelaEvent& event, const std::string& observed) {
  // A log call's typed attributes and trace context; its fields (made below, if not yet)
  // hold them as text too. The views stay valid: they are in the event's allocation.
  const std::string_view packed = LogEventMaker::attributes(event);
  const std::optional<TraceContext> trace = LogEventMaker::trace(event);
  const Fields* fields = event.fields().get();
  bool first = true;
  w.raw("{");
  if (std::optional<std::uint64_t> time = millisToNanos(event.sendTime())) {
    w.key("timeUnixNano", first);
    w.text(decimal(*time));
  }
  w.key("observedTimeUnixNano", first);
  w.text(observed);
  if (const FieldValue* level = fields ? fields->find(kLogLevelKey) : nullptr) {
    const std::string_view text = textOf(*level);
    if (const int number = severityNumber(text)) {
      w.key("severityNumber", first);
      w.raw(decimal(static_cast<std::uint64_t>(number)));
    }
    if (!text.empty()) {
      w.key("severityText", first);
      w.text(text);
    }
  }
  if (trace) writeTrace(w, *trace, first);
  if (event.body()) {
    w.key("body", first);
    w.raw("{\"stringValue\":");
    w.text(event.body()->view());
    w.raw("}");
  }
  w.key("attributes", first);
  w.raw("[");
  bool firstAttribute = true;
  if (event.logType()) w.stringAttribute("logType", *event.logType(), firstAttribute);
  if (event.logSource()) w.stringAttribute("logSource", *event.logSource(), firstAttribute);
  if (fields) {
    if (const FieldValue* session = fields->find(kSessionIdKey))
      w.fieldAttribute("session.id", *session, firstAttribute);
    if (const FieldValue* dump = fields->find(kCrashDataKey)) {
      const std::string stacktrace = crashText(*fields, *dump);
      if (const std::string_view type = crashExceptionType(*fields, stacktrace); !type.empty())
        w.stringAttribute("exception.type", type, firstAttribute);
      if (event.body() && !event.body()->empty())
        w.stringAttribute("exception.message", event.body()->view(), firstAttribute);
      w.stringAttribute("exception.stacktrace", stacktrace, firstAttribute);
    }
    for (const auto& [key, value] : *fields) {
      if (isMappedKey(key, *fields)) continue;
      if (trace && (key == "traceId" || key == "spanId")) continue;  // record fields
      // An attribute's field still holding its value goes out typed; one a hook changed,
      // as the text it now is.
      if (const auto typed = unchangedAttribute(packed, key, textOf(value))) {
        typedAttribute(w, PackedAttribute{key, *typed}, firstAttribute);
        continue;
      }
      w.fieldAttribute(key, value, firstAttribute);
    }
  }
  w.raw("]}");
}

bool sameResource(const VelaEvent& a, const VelaEvent& b) {
  return a.projectName() == b.projectName() && a.projectVersion() == b.projectVersion();
}

}  // namespace

std::string otlpLogsRequest(const std::vector<VelaEventPtr>& events,
                            std::uint64_t observedUnixNanos) {
  std::string out;
  Writer w(out);
  const std::string observed = decimal(observedUnixNanos);
  // Events of another project version (restored from an earlier run) get a resource entry
  // of their own, in the order each version first appears.
  std::vector<const VelaEvent*> resources;
  for (const VelaEventPtr& e : events) {
    if (!e || !e->handleId()) continue;
    bool known = false;
    for (const VelaEvent* r : resources) known = known || sameResource(*r, *e);
    if (!known) resources.push_back(e.get());
  }
  w.raw("{\"resourceLogs\":[");
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (i > 0) w.raw(",");
    w.raw("{");
    writeResource(w, resources[i]->projectName(), resources[i]->projectVersion());
    w.raw(",\"scopeLogs\":[{\"scope\":{\"name\":\"zeplog\",\"version\":");
    w.text(kLibraryVersion);
    w.raw("},\"logRecords\":[");
    bool firstRecord = true;
    for (const VelaEventPtr& e : events) {
      if (!e || !e->handleId() || !sameResource(*resources[i], *e)) continue;
      if (!firstRecord) w.raw(",");
      firstRecord = false;
      writeRecord(w, *e, observed);
    }
    w.raw("]}]}");
  }
  w.raw("]}");
  return out;
}

OtlpPartialSuccess readOtlpAnswer(std::string_view body) {
  OtlpPartialSuccess out;
  if (body.empty()) return out;
  std::shared_ptr<json::Object> answer = kstCJSONDeserializer().deserializeAsDictionary(body);
  const json::Value* partial = answer ? answer->find("partialSuccess") : nullptr;
  if (!partial || !partial->isObject()) return out;
  const json::Object& p = *partial->asObject();
  if (const json::Value* n = p.find("rejectedLogRecords")) {
    // A decimal string by the JSON mapping; some servers write a number.
    if (n->isString()) {
      const std::string& s = n->asString();
      std::from_chars(s.data(), s.data() + s.size(), out.rejected);
    } else if (n->isUInt()) {
      out.rejected = n->asUInt();
    } else if (n->isInt() && n->asInt() > 0) {
      out.rejected = static_cast<std::uint64_t>(n->asInt());
    }
  }
  if (const json::Value* m = p.find("errorMessage"); m && m->isString())
    out.message = m->asString();
  return out;
}

}  // namespace zeplog::detail
