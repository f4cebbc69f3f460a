#include "queue/log_submit.hpp"

#include <string>
#include <string_view>

#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// s when it is UTF-8, else its repair kept in spare: valid text is not copied.
std::string_view validText(std::string_view s, std::string& spare) {
  if (isValidUtf8(s)) return s;
  spare = repairUtf8(s);
  return spare;
}

}  // namespace

// The event is made whole before the lock (its one allocation); under the lock the handle is
// looked up, the event takes the handle's identity (a pointer copy) and is queued. An event
// the full queue drops, or one that found no handle, is released after the lock.
void sendLog(Text level, Text errorCode, Text message, Text handleId) {
  guarded("sendLog", [&] {
    if (handleId.absent()) {
      (void)getHandler(handleId);  // writes its own line for the absent id
      ZEP_CONSOLE("handleId is null");
      countUp(eventCounters().lostUnknownHandle);
      return;
    }
    std::string spareBody, spareLevel, spareCode;
    const std::string_view body = validText(message.view(), spareBody);
    const std::string_view levelText = validText(level.view(), spareLevel);
    const std::string_view code =
        errorCode.emptyOrAbsent() ? std::string_view() : validText(errorCode.view(), spareCode);
    const bool hostDash = !globals().gs_enablehost.load();
    VelaEventPtr event = LogEventMaker::make(body, levelText, code, nowMillis(), hostDash);
    const bool isSession = message == "SESSION";

    VelaEventPtr dropped;  // released after the lock
    GlobalLock lock(global_resource_lock());
    const auto* entry = findHandleLocked(handleId.view());
    if (!entry || !entry->second.identity) {
      ZEP_CONSOLE("handleId is null");
      countUp(eventCounters().lostUnknownHandle);
      return;
    }
    if (isSession) {
      // A session start is of type "SESSION" whatever the handle's log type: its own
      // identity, made once per session start.
      auto identity = std::make_shared<VelaEventIdentity>(*entry->second.identity);
      identity->logType = std::string("SESSION");
      LogEventMaker::setIdentity(*event, std::move(identity));
    } else {
      LogEventMaker::setIdentity(*event, entry->second.identity);
    }
    if (kstVelaBlockQueue* queue = blockQueue()) dropped = queue->enqueue(std::move(event));
  });
}

}  // namespace zeplog::detail
