// Session events.
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::createSession(Text handleId) {
  if (handleId.absent()) return;
  // The lookup's outcome is not used: an unknown id gets the log call's own message.
  (void)kst_getHandler(handleId);
  sendLog("INFO", Text(), "SESSION", Text(), handleId);
}

}  // namespace zeplog
