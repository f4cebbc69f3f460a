#include "queue/log_submit.hpp"

#include <atomic>
#include <string>
#include <string_view>

#include "common/breadcrumbs.hpp"
#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/upload_consent.hpp"
#include "common/utf8.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/handle_views.hpp"
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

// The rank below which log calls are held back; 0 holds back nothing.
std::atomic<int> minimumRank{0};

// True when a call at this level is below the minimum level; one relaxed load while the
// threshold is off.
bool belowMinimum(Text level) {
  const int minimum = minimumRank.load(std::memory_order_relaxed);
  if (minimum == 0) return false;
  const int rank = levelRank(level.view());
  return rank >= 0 && rank < minimum;
}

}  // namespace

int levelRank(std::string_view level) {
  if (level == "DEBUG") return 0;
  if (level == "INFO") return 1;
  if (level == "WARN") return 2;
  if (level == "ERROR") return 3;
  if (level == "FATAL") return 4;
  return -1;
}

bool setMinimumLevel(std::string_view level) {
  const int rank = levelRank(level);
  if (rank < 0) return false;
  minimumRank.store(rank, std::memory_order_relaxed);
  return true;
}

// No lock on the way: the handle's identity is read from the published views (a pointer
// copy), the event is made whole and takes it, and the main queue's append
// takes no lock. An event the full queue drops is released on return.
void sendLog(Text level, Text errorCode, Text message, Text handleId) {
  guarded("sendLog", [&] {
    if (consentRevoked()) {  // nothing is kept or sent: the call costs one load and a count
      countUp(eventCounters().droppedByConsent);
      return;
    }
    const bool isSession = message == kSessionLogType;
    if (!isSession && belowMinimum(level)) {
      countUp(eventCounters().belowMinimumLevel);
      return;
    }
    const std::int64_t now = nowMillis();
    if (!isSession) breadcrumbs().record(now, level.view(), errorCode.view(), message.view());
    if (handleId.absent()) {
      (void)getHandler(handleId);  // writes its own line for the absent id
      ZEP_CONSOLE("handleId is null");
      countUp(eventCounters().lostUnknownHandle);
      return;
    }
    VelaEventIdentityPtr identity = handleIdentity(handleId.view());
    if (!identity) {
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
    VelaEventPtr event = LogEventMaker::make(body, levelText, code, now, hostDash);
    if (isSession) {
      // A session start is of type "SESSION" whatever the handle's log type: its own
      // identity, made once per session start.
      auto session = std::make_shared<VelaEventIdentity>(*identity);
      session->logType = std::string(kSessionLogType);
      identity = std::move(session);
    }
    LogEventMaker::setIdentity(*event, std::move(identity));
    if (kstVelaBlockQueue* queue = blockQueue()) (void)queue->enqueue(std::move(event));
  });
}

}  // namespace zeplog::detail
