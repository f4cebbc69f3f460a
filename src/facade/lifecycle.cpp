// Entry points for the application's background and foreground transitions.
#include <chrono>

#include "common/guard.hpp"
#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::applicationDidEnterBackground() noexcept {
  detail::guarded("applicationDidEnterBackground", [] {
    if (kstVelaBlockQueue* queue = detail::blockQueue()) queue->saveToFile();
  });
}

void ZEPLog::applicationWillTerminate() noexcept {
  detail::guarded("applicationWillTerminate", [] {
    kstVelaBlockQueue* queue = detail::blockQueue();
    if (!queue) return;
    // Short bounds: the process is on its way out, and whatever is not sent by then is
    // saved for the next run rather than waited for.
    detail::flushBeforeExit(detail::waits().exitFlush.load(), detail::waits().exitCancel.load());
    queue->saveToFile();
  });
}

void ZEPLog::applicationWillEnterForeground() noexcept {
  detail::guarded("applicationWillEnterForeground", [] {
    if (kstVelaBlockQueue* queue = detail::blockQueue()) queue->FileToMemory();
  });
}

}  // namespace zeplog
