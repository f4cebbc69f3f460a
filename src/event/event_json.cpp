// The collector's JSON object of one event.
#include "event/event_json.hpp"

#include "common/console.hpp"
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "zeplog/json_writer.hpp"

namespace zeplog::detail {
namespace {

// Byte data is written as the text it holds. It goes to the writer as text rather than
// byte data: the writer's string rule repairs bytes that are not UTF-8 (which only a damaged
// queue file could bring back) instead of failing the whole object, and checks them once.
json::Value toJson(const Bytes& bytes) { return json::Value(bytes.data); }

json::Value toJson(const FieldValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return json::Value(*text);
  return toJson(std::get<Bytes>(value));
}

// Steps shared by both forms: members, then the event's own fields on top.
json::Object eventObject(VelaEvent& event) {
  json::Object o;
  o.reserve(24);
  if (event.projectName()) o.appendNew("projectName", *event.projectName());
  if (event.projectVersion()) o.appendNew("projectVersion", *event.projectVersion());
  if (event.logType()) o.appendNew("logType", *event.logType());
  if (event.logSource()) o.appendNew("logSource", *event.logSource());
  if (event.body()) o.appendNew("body", toJson(*event.body()));
  if (event.sendTime() != 0) o.appendNew("sendTime", std::to_string(event.sendTime()));
  if (event.host()) {
    if (!globals().gs_enablehost.load()) {
      o.appendNew("host", std::string("-"));
    } else {
      // The collector derives the host itself.
      ZEP_CONSOLE("Host Field is nil - Process in Collector");
    }
  }
  if (const FieldsPtr& fields = event.fields()) {
    // Only session and crash events carry the session id; the removal changes the event.
    if (event.logType() != "SESSION" && !fields->contains("DmpData")) fields->erase("SessionID");
    for (const auto& [key, value] : *fields) o.set(key, toJson(value));
  }
  return o;
}

std::string write(const json::Object& o) {
  std::string out;
  if (!kstCJSONSerializer().appendDictionary(out, o)) return "{}";
  return out;
}

}  // namespace

std::string getJsonFromVelaEvent(const VelaEventPtr& event) {
  return guarded<std::string>("getJsonFromVelaEvent", std::string("{}"), [&]() -> std::string {
    if (!event) return "{}";
    return write(eventObject(*event));
  });
}

std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex) {
  return guarded<std::string>("getJsonFromVelaEvent", std::string("{}"), [&]() -> std::string {
    if (!event) return "{}";
    json::Object o = eventObject(*event);
    // Written last, so it replaces a field of the same name.
    o.erase("kstBulkIndex");
    o.appendNew("kstBulkIndex", std::to_string(kstBulkIndex));
    return write(o);
  });
}

}  // namespace zeplog::detail
