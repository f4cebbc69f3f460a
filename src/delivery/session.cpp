// Session events.
#include "delivery/session.hpp"

#include "event/handle_registry.hpp"
#include "queue/log_submit.hpp"

namespace zeplog::detail {

void createSession(Text handleId) {
  if (handleId.absent()) return;
  // The lookup's outcome is not used: an unknown id gets the log call's own message.
  (void)getHandler(handleId);
  sendLog("INFO", Text(), "SESSION", handleId);
}

}  // namespace zeplog::detail
