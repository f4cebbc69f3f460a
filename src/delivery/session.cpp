// Session events.
#include "delivery/session.hpp"

#include <charconv>
#include <chrono>

#include "common/console.hpp"
#include "common/uuid.hpp"
#include "event/common_fields.hpp"
#include "event/crash_key.hpp"
#include "event/event_json.hpp"
#include "event/event_kind.hpp"
#include "event/handle_registry.hpp"
#include "queue/log_submit.hpp"
#include "zeplog/json_reader.hpp"

namespace zeplog::detail {
namespace {

// Members of the crash event's object that the session event does not inherit as fields:
// the event members but the host, which it keeps as a field.
bool isOwnMember(std::string_view key) { return key != "host" && isEventMember(key); }

std::int32_t crashCount(const VelaEvent& crashEvent, bool& known) {
  const std::string key = crashKey(crashEvent);
  const std::string* stored = globals().deDuplicateCrashQueue->find(key);
  known = stored != nullptr;
  std::int32_t n = 0;
  if (stored) std::from_chars(stored->data(), stored->data() + stored->size(), n);
  return n;
}

}  // namespace

void createSession(Text handleId) {
  if (handleId.absent()) return;
  // The lookup's outcome is not used: an unknown id gets the log call's own message.
  (void)getHandler(handleId);
  sendLog("INFO", Text(), kSessionLogType, handleId);
}

void regenerateSession(const VelaEventPtr& crashEvent, std::vector<VelaEventPtr>& batch,
                       const std::shared_ptr<kstVelaHandle>& handle) {
  if (!crashEvent || !crashEvent->handleId()) {
    ZEP_CONSOLE("handlerId is null");
    return;
  }
  if (!handle) {
    ZEP_CONSOLE("handle is null");
    return;
  }
  try {
    GlobalLock lock(global_resource_lock());
    if (!globals().deDuplicateCrashQueue) return;
    bool known = false;
    const std::int32_t count = crashCount(*crashEvent, known);
    if (!known) ZEP_CONSOLE("deDuplicateCrashQueue not contains");
    // A crash already seen twice does not end the session again.
    if (count >= 2 && known && handle->isDeduplicate) return;

    std::string sessionId = generateUUID();
    if (sessionId.empty()) sessionId.push_back('-');
    if (!handle->customFields) handle->customFields = std::make_shared<Fields>();
    handle->customFields->set(kSessionIdKey, Bytes(sessionId));

    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t sendTime =
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    auto fields = std::make_shared<Fields>();
    fields->reserve(24);
    std::shared_ptr<json::Object> crash =
        kstCJSONDeserializer().deserializeAsDictionary(getJsonFromVelaEvent(crashEvent));
    if (!crash) {
      ZEP_CONSOLE("reset error : the crash event's JSON could not be read back");
      return;
    }
    for (const auto& [key, value] : *crash) {
      if (!isOwnMember(key) && value.isString()) fields->set(key, FieldValue(value.asString()));
      // A crash event restored from an earlier run's file starts no session event.
      if (key == "errorRate") return;
    }
    fields->set(kSessionIdKey, Bytes(sessionId));
    fields->set(kLogLevelKey, FieldValue(std::string("INFO")));
    for (std::string_view gone : {kCrashDataKey, kSymMethodKey, kCrashStyleKey, kErrorCodeKey,
                                  std::string_view("Breadcrumbs")})
      fields->erase(gone);

    batch.push_back(std::make_shared<VelaEvent>(handle->projectName, handle->projectVersion,
                                                std::string(kSessionLogType), handle->logSource,
                                                Bytes(kSessionLogType), sendTime, getHost(),
                                                std::move(fields), crashEvent->handleId()));
  } catch (const std::exception& e) {
    ZEP_CONSOLE(std::string("reset error : ") + e.what());
  }
}

}  // namespace zeplog::detail
