// What the development collector reads out of request bodies, and the text it prints.
#include "collector_text.hpp"

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

namespace zeplog::tools::detail {

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "HH:MM:SS.mmm" (UTC) of a time in milliseconds.
std::string clockText(std::int64_t ms) {
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A body is accepted when it is a JSON array whose elements are all objects.
std::optional<std::vector<std::string>> eventObjects(const std::string& body) {
  ordered_json doc = ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(doc.size());
  for (const auto& element : doc) {
    if (!element.is_object()) return std::nullopt;
    out.push_back(element.dump());
  }
  return out;
}

// The project named by the first event of a body, for the arrival line.
std::string projectOf(const std::vector<std::string>& objects) {
  if (objects.empty()) return "";
  ordered_json first = ordered_json::parse(objects.front(), nullptr, false);
  if (first.is_object() && first.contains("projectName") && first["projectName"].is_string())
    return first["projectName"].get<std::string>();
  return "";
}

// A table cell: on one line, at most n bytes.
std::string cut(std::string s, std::size_t n) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return s.size() > n ? s.substr(0, n - 3) + "..." : s;
}

// An OTLP AnyValue as the collector keeps it: a string as it is, anything else as its JSON.
std::string anyValueText(const ordered_json& v) {
  if (v.is_object() && v.size() == 1 && v.contains("stringValue") && v["stringValue"].is_string())
    return v["stringValue"].get<std::string>();
  return v.dump();
}

// A KeyValue list as one JSON object of key to value; none when it is not a list of KeyValues.
std::optional<std::string> attributeObject(const ordered_json& list) {
  ordered_json out = ordered_json::object();
  if (list.is_null()) return out.dump();
  if (!list.is_array()) return std::nullopt;
  for (const auto& kv : list) {
    if (!kv.is_object() || !kv.contains("key") || !kv["key"].is_string()) return std::nullopt;
    const std::string key = kv["key"].get<std::string>();
    if (!kv.contains("value")) {
      out[key] = nullptr;
    } else if (kv["value"].is_object() && kv["value"].contains("stringValue")) {
      out[key] = anyValueText(kv["value"]);
    } else {
      out[key] = kv["value"];
    }
  }
  return out.dump();
}

ordered_json memberOf(const ordered_json& o, const char* key) {
  return o.is_object() && o.contains(key) ? o[key] : ordered_json();
}

// The log records of an ExportLogsServiceRequest (JSON encoding), flattened; none when the
// body is not one.
std::optional<std::vector<StoredLogRecord>> otlpRecords(const std::string& body) {
  ordered_json doc = ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  const ordered_json resources = memberOf(doc, "resourceLogs");
  if (!resources.is_array() && !resources.is_null()) return std::nullopt;
  std::vector<StoredLogRecord> out;
  for (const auto& rl : resources.is_array() ? resources : ordered_json::array()) {
    std::optional<std::string> resource =
        attributeObject(memberOf(memberOf(rl, "resource"), "attributes"));
    const ordered_json scopes = memberOf(rl, "scopeLogs");
    if (!resource || !rl.is_object() || (!scopes.is_array() && !scopes.is_null()))
      return std::nullopt;
    for (const auto& sl : scopes.is_array() ? scopes : ordered_json::array()) {
      const ordered_json records = memberOf(sl, "logRecords");
      if (!records.is_array() && !records.is_null()) return std::nullopt;
      const ordered_json scopeName = memberOf(memberOf(sl, "scope"), "name");
      for (const auto& lr : records.is_array() ? records : ordered_json::array()) {
        if (!lr.is_object()) return std::nullopt;
        std::optional<std::string> attributes = attributeObject(memberOf(lr, "attributes"));
        if (!attributes) return std::nullopt;
        StoredLogRecord rec;
        rec.position = static_cast<std::int64_t>(out.size());
        rec.resource = *resource;
        rec.scope = scopeName.is_string() ? scopeName.get<std::string>() : "";
        const ordered_json time = memberOf(lr, "timeUnixNano");
        rec.timeUnixNano = time.is_string() ? time.get<std::string>()
                           : time.is_null() ? ""
                                            : time.dump();
        const ordered_json severity = memberOf(lr, "severityNumber");
        rec.severityNumber = severity.is_number_integer() ? severity.get<std::int64_t>() : 0;
        const ordered_json text = memberOf(lr, "severityText");
        rec.severityText = text.is_string() ? text.get<std::string>() : "";
        const ordered_json value = memberOf(lr, "body");
        rec.body = value.is_null() ? "" : anyValueText(value);
        rec.attributes = *attributes;
        out.push_back(std::move(rec));
      }
    }
  }
  return out;
}

}  // namespace zeplog::tools::detail
