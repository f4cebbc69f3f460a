// Entry points for the application's background and foreground transitions.
#include "common/guard.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

void ZEPLog::applicationDidEnterBackground() noexcept {
  detail::guarded("applicationDidEnterBackground", [] {
    if (kstVelaBlockQueue* queue = detail::blockQueue()) queue->saveToFile();
  });
}

void ZEPLog::applicationWillEnterForeground() noexcept {
  detail::guarded("applicationWillEnterForeground", [] {
    if (kstVelaBlockQueue* queue = detail::blockQueue()) queue->FileToMemory();
  });
}

}  // namespace zeplog
