// Reading OTLP/HTTP JSON log requests as a test needs them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "zeplog/json_reader.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog::test {

// The attributes of a KeyValue list: a stringValue as it is, a bytesValue as "bytes:" and
// its base64, the other types as "int:", "double:" or "bool:" and their JSON text, anything
// else as "?".
inline std::map<std::string, std::string> otlpAttributes(const json::Value* list) {
  std::map<std::string, std::string> out;
  if (!list || !list->isArray()) return out;
  for (const json::Value& kv : *list->asArray()) {
    if (!kv.isObject()) continue;
    const json::Value* key = kv.asObject()->find("key");
    const json::Value* value = kv.asObject()->find("value");
    if (!key || !key->isString() || !value || !value->isObject()) continue;
    const json::Object& v = *value->asObject();
    const json::Value* s = v.find("stringValue");
    const json::Value* b = v.find("bytesValue");
    std::string text = s && s->isString()   ? s->asString()
                       : b && b->isString() ? "bytes:" + b->asString()
                                            : "?";
    for (const char* typed : {"intValue", "doubleValue", "boolValue"}) {
      if (const json::Value* t = v.find(typed)) {
        text = std::string(typed, std::string_view(typed).find('V')) + ":" +
               (t->isString() ? t->asString()
                              : kstCJSONSerializer().serializeObject(*t).value_or("?"));
      }
    }
    out[key->asString()] = text;
  }
  return out;
}

inline std::string otlpText(const json::Object& o, const char* key) {
  const json::Value* v = o.find(key);
  return v && v->isString() ? v->asString() : "";
}

// One log record with its resource's attributes.
struct OtlpRecord {
  std::map<std::string, std::string> resource;
  std::string scope;
  std::string timeUnixNano, observedTimeUnixNano, severityText, body, eventName, traceId, spanId;
  std::optional<std::int64_t> flags;
  std::optional<std::int64_t> severityNumber;
  std::map<std::string, std::string> attributes;
};

// Every record of an ExportLogsServiceRequest body, in order; none for a body that is not
// one.
inline std::vector<OtlpRecord> otlpRecordsOf(const std::string& body) {
  std::vector<OtlpRecord> out;
  std::shared_ptr<json::Object> request =
      kstCJSONDeserializer().deserializeAsDictionary(std::string_view(body));
  const json::Value* resources = request ? request->find("resourceLogs") : nullptr;
  if (!resources || !resources->isArray()) return out;
  for (const json::Value& rl : *resources->asArray()) {
    const json::Object& r = *rl.asObject();
    const json::Value* resource = r.find("resource");
    const auto resourceAttributes =
        otlpAttributes(resource ? resource->asObject()->find("attributes") : nullptr);
    for (const json::Value& sl : *r.find("scopeLogs")->asArray()) {
      const json::Value* scope = sl.asObject()->find("scope");
      for (const json::Value& lr : *sl.asObject()->find("logRecords")->asArray()) {
        const json::Object& l = *lr.asObject();
        OtlpRecord rec;
        rec.resource = resourceAttributes;
        rec.scope = scope ? otlpText(*scope->asObject(), "name") : "";
        rec.timeUnixNano = otlpText(l, "timeUnixNano");
        rec.observedTimeUnixNano = otlpText(l, "observedTimeUnixNano");
        rec.severityText = otlpText(l, "severityText");
        rec.eventName = otlpText(l, "eventName");
        rec.traceId = otlpText(l, "traceId");
        rec.spanId = otlpText(l, "spanId");
        if (const json::Value* f = l.find("flags"); f && (f->isInt() || f->isUInt()))
          rec.flags = f->isInt() ? f->asInt() : static_cast<std::int64_t>(f->asUInt());
        if (const json::Value* n = l.find("severityNumber"); n && (n->isInt() || n->isUInt()))
          rec.severityNumber = n->isInt() ? n->asInt() : static_cast<std::int64_t>(n->asUInt());
        if (const json::Value* b = l.find("body"); b && b->isObject())
          rec.body = otlpText(*b->asObject(), "stringValue");
        rec.attributes = otlpAttributes(l.find("attributes"));
        out.push_back(std::move(rec));
      }
    }
  }
  return out;
}

}  // namespace zeplog::test
