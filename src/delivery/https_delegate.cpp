#include "delivery/https_delegate.hpp"

#include <charconv>
#include <memory>

#include "common/console.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"
#include "zeplog/json_reader.hpp"

namespace zeplog {
namespace {

// Members of an event object that become the event's own members, not fields.
bool isEventMember(std::string_view key) {
  return key == "projectName" || key == "projectVersion" || key == "logType" ||
         key == "logSource" || key == "host" || key == "body" || key == "sendTime";
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

// The event an object of a sent body stands for: every value comes back as text (levels
// included), handle id of the request.
VelaEventPtr eventFromObject(const json::Object& o, const std::string& handleId) {
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

}  // namespace

void kstVelaHttpsDelegate::didReceiveResponse(long status) {
  answered_ = true;
  if (status == 200) {
    ZEP_CONSOLE("didReceiveResponse 200");
    saveToFile(log_, false);
  } else {
    ZEP_CONSOLE("didReceiveResponse not 200");
    saveToFile(log_, true);
  }
}

void kstVelaHttpsDelegate::didFailWithError(const std::string& description, bool hostNotFound) {
  ZEP_CONSOLE("Request failed with error : " + (description.empty() ? "unknown" : description));
  if (hostNotFound) ZEP_CONSOLE("hostname could not be found");
  // A failure after the answer was handled (the body broke off) changes nothing: the status
  // decided the batch's fate.
  if (!answered_) saveToFile(log_, true);
}

void kstVelaHttpsDelegate::connectionDidFinishLoading() {
  ZEP_CONSOLE("connectionDidFinishLoading");
}

void kstVelaHttpsDelegate::saveToFile(const std::string& text, bool writeBack) const {
  ZEP_CONSOLE(text);
  // Nothing is written back for a delivered batch, so its text need not be read again.
  if (!writeBack) return;
  try {
    std::optional<json::Value> parsed = kstCJSONDeserializer().deserialize(std::string_view(text));
    if (!parsed || !parsed->isArray()) return;
    kstVelaBlockQueue* queue = detail::blockQueue();
    for (const json::Value& item : *parsed->asArray()) {
      if (!item.isObject()) {
        ZEP_CONSOLE("Warning: Create VelaEvent object is failed.");
        continue;
      }
      VelaEventPtr event = eventFromObject(*item.asObject(), handleId_);
      ZEP_CONSOLE("enqueue to File");
      if (!queue) continue;
      queue->enqueueFile(std::move(event));
      detail::countUp(detail::eventCounters().writtenBack);
    }
  } catch (const std::exception& e) {
    ZEP_CONSOLE(std::string("connection ") + e.what());
  }
}

}  // namespace zeplog
