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

// Writes the object. dropSessionId leaves out a "SessionID" field; common, when not empty,
// is written members ("key":"value",...) that follow the fields; kstBulkIndex, when given,
// is written last and replaces a field of that name.
template <typename Out>
void writeEvent(Out& out, const VelaEvent& event, bool dropSessionId,
                std::optional<std::int32_t> kstBulkIndex, bool reportHost,
                std::string_view common = {}) {
  std::array<char, 24> sendTime{};
  std::string_view sendTimeText;
  if (event.sendTime() != 0) {
    auto r = std::to_chars(sendTime.data(), sendTime.data() + sendTime.size(), event.sendTime());
    sendTimeText =
        std::string_view(sendTime.data(), static_cast<std::size_t>(r.ptr - sendTime.data()));
  }
  auto opt = [](const OptText& t) -> std::optional<std::string_view> {
    if (!t) return std::nullopt;
    return std::string_view(*t);
  };
  std::optional<std::string_view> host;
  if (event.host()) {
    if (!globals().gs_enablehost.load()) {
      host = "-";
    } else if (reportHost) {
      // The collector derives the host itself.
      ZEP_CONSOLE("Host Field is nil - Process in Collector");
    }
  }
  // A log call's body and fields still in its own text are read there: no copies are made
  // for them only to be written. Its two fields name no member and nothing dropped below.
  const std::optional<LogEventMaker::PendingFields> pending = LogEventMaker::pendingFields(event);
  std::optional<std::string_view> body = LogEventMaker::pendingBody(event);
  if (!body && event.body()) body = std::string_view(event.body()->data);
  const Member members[] = {
      {"projectName", R"("projectName":)", opt(event.projectName())},
      {"projectVersion", R"("projectVersion":)", opt(event.projectVersion())},
      {"logType", R"("logType":)", opt(event.logType())},
      {"logSource", R"("logSource":)", opt(event.logSource())},
      {"body", R"("body":)", body},
      {"sendTime", R"("sendTime":)",
       event.sendTime() != 0 ? std::optional(sendTimeText) : std::nullopt},
      {"host", R"("host":)", host},
  };
  const Fields* fields = pending ? nullptr : event.fields().get();

  bool first = true;
  auto put = [&](std::string_view key, std::string_view value) {
    out.raw(first ? "{" : ",");
    first = false;
    out.text(key);
    out.raw(":");
    out.text(value);
  };
  // The library's own keys need no escaping: written as they are, colon included.
  auto putOwn = [&](std::string_view quotedKey, std::string_view value) {
    out.raw(first ? "{" : ",");
    first = false;
    out.raw(quotedKey);
    out.text(value);
  };
  auto isWrittenMember = [&](std::string_view key) {
    for (const Member& m : members) {
      if (m.value && m.key == key) return true;
    }
    return false;
  };

  for (const Member& m : members) {
    if (!m.value) continue;
    const FieldValue* replaced = fields ? fields->find(m.key) : nullptr;
    putOwn(m.quotedKey, replaced ? textOf(*replaced) : *m.value);
  }
  if (pending) {
    if (!pending->errorCode.empty()) putOwn(R"("errorCode":)", pending->errorCode);
    putOwn(R"("logLevel":)", pending->level);
  } else if (fields) {
    for (const auto& [key, value] : *fields) {
      if (isWrittenMember(key)) continue;
      if (dropSessionId && key == kSessionIdKey) continue;
      if (kstBulkIndex && key == kBulkIndexKey) continue;
      put(key, textOf(value));
    }
  }
  if (!common.empty()) {
    out.raw(first ? "{" : ",");
    first = false;
    out.raw(common);
  }
  if (kstBulkIndex) {
    std::array<char, 16> index{};
    auto r = std::to_chars(index.data(), index.data() + index.size(), *kstBulkIndex);
    out.raw(first ? "{" : ",");
    first = false;
    out.raw(R"("kstBulkIndex":")");
    out.raw(std::string_view(index.data(), static_cast<std::size_t>(r.ptr - index.data())));
    out.raw("\"");
  }
  out.raw(first ? "{}" : "}");
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
  const bool drop = dropsSessionId(event, event.fields().get());
  if (drop && event.fields()) event.fields()->erase(kSessionIdKey);
  if (!keysAreUtf8(event.fields().get())) {
    json::Object o = eventObject(event, drop);
    if (kstBulkIndex) {
      // Written last, so it replaces a field of the same name.
      o.erase("kstBulkIndex");
      o.appendNew("kstBulkIndex", std::to_string(*kstBulkIndex));
    }
    return writeObject(o);
  }
  std::string out;
  SizeOut size;
  writeEvent(size, event, drop, kstBulkIndex, /*reportHost=*/false);
  {
    TextOut text(out, size.size);  // trims `out` when it goes
    writeEvent(text, event, drop, kstBulkIndex, /*reportHost=*/true);
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
    TextOut text(out, kEventEstimate);
    writeEvent(text, e, drop, kstBulkIndex, /*reportHost=*/true, common);
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
    writeEvent(size, *event, dropsSessionId(*event, fields), std::nullopt, /*reportHost=*/false,
               common);
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
