// The collector's JSON object of one event.
//
// The object is written straight from the event: its members in a fixed order, each
// replaced in place by a field of the same name, then the remaining fields in their order.
// One walk serves both the writer and the size count, so the two never disagree. Field keys
// that are not UTF-8 (only a damaged queue file brings them back) go through the JSON value
// model instead, whose writer keeps repaired keys distinct.
#include "event/event_json.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "event/attribute_blob.hpp"
#include "event/attribute_fields.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/json/json_string_writer.hpp"
#include "event/vela_event_maker.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog::detail {
namespace {

std::string_view textOf(const FieldValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::get<Bytes>(value).data;
}

// Only session and crash events carry the session id.
bool dropsSessionId(const VelaEvent& event, const Fields* fields) {
  return !isSessionEvent(event) && !(fields && fields->contains(kCrashDataKey));
}

bool keysAreUtf8(const Fields* fields) {
  if (!fields) return true;
  for (const auto& entry : *fields) {
    if (!isValidUtf8(entry.first)) return false;
  }
  return true;
}

// True when some byte of the eight in w is below n (n at most 128): no byte is missed, so a
// false answer lets the whole word go by unread.
constexpr bool hasByteBelow(std::uint64_t w, unsigned n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  return ((w - kOnes * n) & ~w & (kOnes * 0x80)) != 0;
}
constexpr bool hasByte(std::uint64_t w, unsigned char b) {
  return hasByteBelow(w ^ (0x0101010101010101ull * b), 1);
}
static_assert(hasByte(0x4141224141414141ull, '"') && !hasByte(0x4141414141414141ull, '"'));
static_assert(hasByteBelow(0x41410a4141414141ull, 0x20) &&
              !hasByteBelow(0x2020202020202020ull, 0x20));

// What one byte adds to the written size; clears ascii for a byte above 0x7F.
std::size_t escapeCost(unsigned char c, bool& ascii) {
  if (c >= 0x80) {
    ascii = false;
  } else if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' ||
             c == '\r') {
    return 1;
  } else if (c < 0x20) {
    return 5;
  }
  return 0;
}

// The size of s written by the string rule (escapeSolidus off). Eight bytes at a time: a
// word with no byte that needs a look (above 0x7F, below 0x20, '"' or '\\') adds nothing.
std::size_t jsonStringSize(std::string_view s) {
  std::size_t n = s.size() + 2;
  bool ascii = true;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if ((w & 0x8080808080808080ull) == 0 && !hasByteBelow(w, 0x20) && !hasByte(w, '"') &&
        !hasByte(w, '\\'))
      continue;
    for (std::size_t j = i; j < i + 8; ++j) n += escapeCost(p[j], ascii);
  }
  for (; i < s.size(); ++i) n += escapeCost(p[i], ascii);
  if (ascii || isValidUtf8(s)) return n;
  return jsonStringSize(repairUtf8(s));  // repaired text is UTF-8: this recursion ends
}

// Room made for an event object whose size is not known beforehand; a larger one grows it.
constexpr std::size_t kEventEstimate = 512;

// Where the walk's output goes: appended text (through one sink for the whole object, so
// each string costs no resizing of its own), or only counted.
struct TextOut {
  TextOut(std::string& out, std::size_t estimate) : sink(out, estimate) {}
  ~TextOut() { sink.finish(); }
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  JSONSink sink;
  void raw(std::string_view s) { sink.append(s); }
  void text(std::string_view s) { writeJSONString(sink, s, /*escapeSolidus=*/false); }
};
struct SizeOut {
  std::size_t size = 0;
  void raw(std::string_view s) { size += s.size(); }
  void text(std::string_view s) { size += jsonStringSize(s); }
};

struct Member {
  std::string_view key;
  std::string_view quotedKey;             // the key as written, with its colon
  std::optional<std::string_view> value;  // none: not written
};

// What an event's object is made of, read from the event once: its members in order, then
// its fields (or a log call's two fields still in its text). The text writer and the one
// that only measures write the same parts, so they cannot disagree. Views into the event:
// it must outlive the parts and not change meanwhile.
class ObjectParts {
 public:
  explicit ObjectParts(const VelaEvent& event)
      : pending_(LogEventMaker::pendingFields(event)),
        attributes_(LogEventMaker::attributes(event)),
        trace_(LogEventMaker::trace(event)),
        fields_(pending_ ? nullptr : event.fields().get()) {
    std::optional<std::string_view> body = LogEventMaker::pendingBody(event);
    if (!body && event.body()) body = std::string_view(event.body()->data);
    std::optional<std::string_view> sendTime;
    if (event.sendTime() != 0) {
      auto r =
          std::to_chars(sendTime_.data(), sendTime_.data() + sendTime_.size(), event.sendTime());
      sendTime =
          std::string_view(sendTime_.data(), static_cast<std::size_t>(r.ptr - sendTime_.data()));
    }
    // A host is written as "-" while the host switch is off; otherwise the collector derives it.
    std::optional<std::string_view> host;
    if (event.host() && !globals().gs_enablehost.load()) host = "-";
    members_ = {{{"projectName", R"("projectName":)", opt(event.projectName())},
                 {"projectVersion", R"("projectVersion":)", opt(event.projectVersion())},
                 {"logType", R"("logType":)", opt(event.logType())},
                 {"logSource", R"("logSource":)", opt(event.logSource())},
                 {"body", R"("body":)", body},
                 {"sendTime", R"("sendTime":)", sendTime},
                 {"host", R"("host":)", host}}};
  }
  ObjectParts(const ObjectParts&) = delete;
  ObjectParts& operator=(const ObjectParts&) = delete;

  const std::array<Member, 7>& members() const { return members_; }
  const std::optional<LogEventMaker::PendingFields>& pending() const { return pending_; }
  std::string_view attributes() const { return attributes_; }
  const std::optional<TraceContext>& trace() const { return trace_; }
  const Fields* fields() const { return fields_; }
  bool isWrittenMember(std::string_view key) const {
    for (const Member& m : members_) {
      if (m.value && m.key == key) return true;
    }
    return false;
  }

 private:
  static std::optional<std::string_view> opt(const OptText& t) {
    if (!t) return std::nullopt;
    return std::string_view(*t);
  }

  std::array<char, 24> sendTime_{};
  std::optional<LogEventMaker::PendingFields> pending_;
  std::string_view attributes_;
  std::optional<TraceContext> trace_;
  const Fields* fields_;
  std::array<Member, 7> members_;
};

// How the parts are written: dropSessionId leaves out a "SessionID" field; common, when not
// empty, is written members ("key":"value",...) that follow the fields; kstBulkIndex, when
// given, is written last and replaces a field of that name.
struct ObjectOptions {
  bool dropSessionId = false;
  std::optional<std::int32_t> kstBulkIndex;
  std::string_view common;
};

// Writes one object member after member, opening the object with the first.
template <typename Out>
class ObjectWriter {
 public:
  explicit ObjectWriter(Out& out) : out_(out) {}
  // A member whose key may need escaping.
  void put(std::string_view key, std::string_view value) {
    open();
    out_.text(key);
    out_.raw(":");
    out_.text(value);
  }
  // The library's own keys need no escaping: written as they are, colon included.
  void putOwn(std::string_view quotedKey, std::string_view value) {
    open();
    out_.raw(quotedKey);
    out_.text(value);
  }
  // Members already written as text.
  // A member whose value is written as it is (a JSON number or literal).
  void putBare(std::string_view key, std::string_view value) {
    open();
    out_.text(key);
    out_.raw(":");
    out_.raw(value);
  }
  void putRaw(std::string_view members) {
    open();
    out_.raw(members);
  }
  void close() { out_.raw(first_ ? "{}" : "}"); }

 private:
  void open() {
    out_.raw(first_ ? "{" : ",");
    first_ = false;
  }
  Out& out_;
  bool first_ = true;
};

// True when members ("key":value,... as the common fields are written) has a member key.
// A key's quotes never appear unescaped inside a written value, so the search cannot match
// a value.
bool hasMember(std::string_view members, std::string_view key) {
  for (std::size_t at = members.find(key); at != std::string_view::npos;
       at = members.find(key, at + 1)) {
    if (at > 0 && members[at - 1] == '"' && members.substr(at + key.size(), 2) == "\":")
      return true;
  }
  return false;
}

// A log call's trace ids and typed attributes: text as strings, numbers and bools bare. An
// attribute named like a member or a common field is left out (the library's value stays).
template <typename Out>
void writeTraceAndAttributes(ObjectWriter<Out>& w, const ObjectParts& parts,
                             const ObjectOptions& options) {
  if (const auto& trace = parts.trace()) {
    const auto traceId = traceIdHex(*trace);
    const auto spanId = spanIdHex(*trace);
    w.putOwn(R"("traceId":)", std::string_view(traceId.data(), traceId.size()));
    w.putOwn(R"("spanId":)", std::string_view(spanId.data(), spanId.size()));
  }
  ValueTextBuffer buffer;
  for (const PackedAttribute& a : PackedAttributes(parts.attributes())) {
    if (parts.isWrittenMember(a.key) || hasMember(options.common, a.key)) continue;
    const std::string_view text = attributeValueText(a.value, buffer);
    if (isBareJsonValue(a.value)) {
      w.putBare(a.key, text);
    } else {
      w.put(a.key, text);
    }
  }
}

template <typename Out>
void writeFields(ObjectWriter<Out>& w, const ObjectParts& parts, const ObjectOptions& options) {
  if (const auto& pending = parts.pending()) {
    if (!pending->errorCode.empty()) w.putOwn(R"("errorCode":)", pending->errorCode);
    w.putOwn(R"("logLevel":)", pending->level);
    writeTraceAndAttributes(w, parts, options);
    return;
  }
  if (!parts.fields()) return;
  for (const auto& [key, value] : *parts.fields()) {
    if (parts.isWrittenMember(key)) continue;
    if (options.dropSessionId && key == kSessionIdKey) continue;
    if (options.kstBulkIndex && key == kBulkIndexKey) continue;
    // A log call's number or bool attribute, made a field, is still written as one.
    const std::string_view text = textOf(value);
    const std::optional<AttributeValue> typed =
        parts.attributes().empty() ? std::nullopt
                                   : unchangedAttribute(parts.attributes(), key, text);
    if (typed && isBareJsonValue(*typed)) {
      w.putBare(key, text);
    } else {
      w.put(key, text);
    }
  }
}

// Writes the object: the members (a field of a member's name gives its value), the fields,
// the common members, the bulk index.
template <typename Out>
void writeEvent(Out& out, const ObjectParts& parts, const ObjectOptions& options) {
  ObjectWriter<Out> w(out);
  for (const Member& m : parts.members()) {
    if (!m.value) continue;
    const FieldValue* replaced = parts.fields() ? parts.fields()->find(m.key) : nullptr;
    w.putOwn(m.quotedKey, replaced ? textOf(*replaced) : *m.value);
  }
  writeFields(w, parts, options);
  if (!options.common.empty()) w.putRaw(options.common);
  if (options.kstBulkIndex) {
    std::array<char, 16> index{};
    auto r = std::to_chars(index.data(), index.data() + index.size(), *options.kstBulkIndex);
    w.putOwn(R"("kstBulkIndex":)",
             std::string_view(index.data(), static_cast<std::size_t>(r.ptr - index.data())));
  }
  w.close();
}

// The text writer's one line about an event: its host is left to the collector.
void noteHostLeftToCollector(const VelaEvent& event) {
  if (event.host() && globals().gs_enablehost.load())
    ZEP_CONSOLE("Host Field is nil - Process in Collector");
}

// ---- The value-model path, for field keys that are not UTF-8 ----

json::Value toJson(const FieldValue& value) { return json::Value(std::string(textOf(value))); }

json::Object eventObject(const VelaEvent& event, bool dropSessionId) {
  json::Object o;
  o.reserve(24);
  if (event.projectName()) o.appendNew("projectName", *event.projectName());
  if (event.projectVersion()) o.appendNew("projectVersion", *event.projectVersion());
  if (event.logType()) o.appendNew("logType", *event.logType());
  if (event.logSource()) o.appendNew("logSource", *event.logSource());
  if (event.body()) o.appendNew("body", event.body()->data);
  if (event.sendTime() != 0) o.appendNew("sendTime", std::to_string(event.sendTime()));
  if (event.host() && !globals().gs_enablehost.load()) o.appendNew("host", std::string("-"));
  if (const FieldsPtr& fields = event.fields()) {
    for (const auto& [key, value] : *fields) {
      if (dropSessionId && key == kSessionIdKey) continue;
      o.set(key, toJson(value));
    }
  }
  return o;
}

std::string writeObject(const json::Object& o) {
  std::string out;
  if (!kstCJSONSerializer().appendDictionary(out, o)) return "{}";
  return out;
}

// Both text forms. The event loses a "SessionID" field it may not carry: later stages see
// the event as it was sent.
std::string eventText(VelaEvent& event, std::optional<std::int32_t> kstBulkIndex) {
  // A log call's fields still in its text are read there (its attributes keep their types).
  const bool pending = LogEventMaker::pendingFields(event).has_value();
  const Fields* fields = pending ? nullptr : event.fields().get();
  const bool drop = dropsSessionId(event, fields);
  if (drop && fields) event.fields()->erase(kSessionIdKey);
  if (!pending && !keysAreUtf8(fields)) {
    json::Object o = eventObject(event, drop);
    if (kstBulkIndex) {
      // Written last, so it replaces a field of the same name.
      o.erase("kstBulkIndex");
      o.appendNew("kstBulkIndex", std::to_string(*kstBulkIndex));
    }
    return writeObject(o);
  }
  std::string out;
  const ObjectParts parts(event);
  const ObjectOptions options{drop, kstBulkIndex, {}};
  SizeOut size;
  writeEvent(size, parts, options);
  noteHostLeftToCollector(event);
  {
    TextOut text(out, size.size);  // trims `out` when it goes
    writeEvent(text, parts, options);
  }
  return out;
}

OptText textMember(const json::Object& o, std::string_view key) {
  const json::Value* v = o.find(key);
  if (!v || !v->isString()) return std::nullopt;
  return v->asString();
}

// The decimal integer at the start of the text; 0 when there is none.
std::int64_t decimalOf(const OptText& text) {
  std::int64_t n = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), n);
  return n;
}

}  // namespace

VelaEventPtr eventFromJsonObject(const json::Object& o, const std::string& handleId) {
  auto fields = std::make_shared<Fields>();
  fields->reserve(o.size());
  for (const auto& [key, value] : o) {
    if (isEventMember(key)) continue;
    // The library writes only text values; anything else would not come from it.
    if (value.isString()) fields->appendNew(key, FieldValue(value.asString()));
  }
  OptText body = textMember(o, "body");
  return std::make_shared<VelaEvent>(
      textMember(o, "projectName"), textMember(o, "projectVersion"), textMember(o, "logType"),
      textMember(o, "logSource"),
      body ? std::optional<Bytes>(Bytes(std::move(*body))) : std::nullopt,
      decimalOf(textMember(o, "sendTime")), textMember(o, "host"), std::move(fields), handleId);
}

std::string getJsonFromVelaEvent(const VelaEventPtr& event) {
  return guarded<std::string>("getJsonFromVelaEvent", std::string("{}"), [&]() -> std::string {
    if (!event) return "{}";
    return eventText(*event, std::nullopt);
  });
}

std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex) {
  return guarded<std::string>("getJsonFromVelaEvent", std::string("{}"), [&]() -> std::string {
    if (!event) return "{}";
    return eventText(*event, kstBulkIndex);
  });
}

void appendJsonOfVelaEvent(std::string& out, const VelaEventPtr& event, std::int32_t kstBulkIndex,
                           std::string_view common) {
  const bool pending = event && LogEventMaker::pendingFields(*event);
  if (!event || (!pending && !keysAreUtf8(event->fields().get()))) {
    out += getJsonFromVelaEvent(event, kstBulkIndex);
    return;
  }
  const std::size_t start = out.size();
  const bool ok = guarded<bool>("getJsonFromVelaEvent", false, [&] {
    VelaEvent& e = *event;
    // A log call's own fields are neither a session id nor crash data.
    const bool drop = dropsSessionId(e, pending ? nullptr : e.fields().get());
    if (drop && !pending && e.fields()) e.fields()->erase(kSessionIdKey);
    noteHostLeftToCollector(e);
    TextOut text(out, kEventEstimate);
    writeEvent(text, ObjectParts(e), ObjectOptions{drop, kstBulkIndex, common});
    return true;
  });
  if (!ok) {
    out.resize(start);
    out += "{}";
  }
}

std::size_t jsonSizeOfVelaEvent(const VelaEventPtr& event, std::string_view common) {
  return guarded<std::size_t>("jsonSizeOfVelaEvent", 2, [&]() -> std::size_t {
    if (!event) return 2;
    const bool pending = LogEventMaker::pendingFields(*event).has_value();
    const Fields* fields = pending ? nullptr : event->fields().get();
    if (!pending && !keysAreUtf8(fields)) {
      // Measured on a copy, so the event keeps its fields as they are.
      auto copy = std::make_shared<VelaEvent>(*event);
      copy->setFields(std::make_shared<Fields>(*fields));
      return getJsonFromVelaEvent(copy).size();
    }
    SizeOut size;
    writeEvent(size, ObjectParts(*event),
               ObjectOptions{dropsSessionId(*event, fields), std::nullopt, common});
    return size.size;
  });
}

std::string jsonMembersOf(const Fields& fields) {
  std::string out;
  SizeOut size;
  for (const auto& [key, value] : fields) {
    size.text(key);
    size.text(textOf(value));
  }
  {
    TextOut text(out, size.size + 2 * fields.size());  // trims `out` when it goes
    bool first = true;
    for (const auto& [key, value] : fields) {
      if (!first) text.raw(",");
      first = false;
      text.text(key);
      text.raw(":");
      text.text(textOf(value));
    }
  }
  return out;
}

}  // namespace zeplog::detail
