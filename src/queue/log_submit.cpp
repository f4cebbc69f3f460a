#include "queue/log_submit.hpp"

#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "event/common_fields.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {

void sendLog(Text level, Text errorCode, Text message, Text handleId) {
  guarded("sendLog", [&] {
    auto fields = std::make_shared<Fields>();
    // Room for what this call puts in, no more: the log call is the hot path, and the send
    // thread grows the dictionary when it adds the common fields.
    fields->reserve(errorCode.emptyOrAbsent() ? 1 : 2);
    if (!errorCode.emptyOrAbsent())
      fields->appendNew("errorCode", Bytes(toValidUtf8(errorCode.view())));
    fields->appendNew("logLevel", Bytes(toValidUtf8(level.view())));
    Bytes body(toValidUtf8(message.view()));
    const std::int64_t now = nowMillis();

    if (handleId.absent()) {
      (void)getHandler(handleId);  // writes its own line for the absent id
      ZEP_CONSOLE("handleId is null");
      countUp(eventCounters().lostUnknownHandle);
      return;
    }
    // The lookup and the handle's attributes are read under the lock, so a concurrent
    // registration, setLogType or setLogSource is seen either wholly before or wholly after.
    GlobalLock lock(global_resource_lock());
    const auto* entry = findHandleLocked(handleId.view());
    if (!entry) {
      ZEP_CONSOLE("handleId is null");
      countUp(eventCounters().lostUnknownHandle);
      return;
    }
    const kstVelaHandle& handle = *entry->second;
    const bool isSession = message == "SESSION";
    auto event = std::make_shared<VelaEvent>(
        handle.projectName, handle.projectVersion,
        isSession ? OptText(std::string("SESSION")) : handle.logType, handle.logSource,
        std::move(body), now, getHost(), std::move(fields), entry->first);
    if (kstVelaBlockQueue* queue = blockQueue()) queue->enqueue(std::move(event));
  });
}

}  // namespace zeplog::detail
