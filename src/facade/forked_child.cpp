#include "facade/forked_child.hpp"

#include <thread>
#include <utility>
#include <vector>

#include "common/global_lock.hpp"
#include "common/no_destructor.hpp"
#include "crash/crash_capture.hpp"
#include "delivery/send_thread.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "settings/probe_thread.hpp"
#include "settings/settings_thread.hpp"

namespace zeplog::detail {
namespace {

// The parent's threads do not exist in the child, but their std::thread objects say they
// are joinable: destroying one would end the process and joining one would wait forever.
// They are moved into storage that is never destroyed. Caller holds global_resource_lock.
constinit NoDestructor<std::vector<std::thread>> g_abandoned;  // guarded by global_resource_lock
void abandonInheritedThreads(std::vector<std::thread>& threads) {
  for (std::thread& t : threads) g_abandoned.value.push_back(std::move(t));
  threads.clear();
}

}  // namespace

void restartLibraryInForkedChild() {
  GlobalState& g = globals();
  std::vector<Batch> inherited;  // the parent's gathered batches, destroyed after the lock
  kstVelaBlockQueue* queue = blockQueue();
  bool sendRan = false;
  bool settingsRan = false;
  {
    GlobalLock lock(global_resource_lock());
    abandonInheritedThreads(gs_logSendThreads());
    abandonInheritedThreads(gs_logPerformanceThreads());
    abandonInheritedThreads(gs_logPerformanceSendThreads());
    sendRan = std::exchange(g.gs_logSendThreadFlag, false);
    settingsRan = std::exchange(g.gs_performanceThreadFlag, false);
    if (g.gs_bulkObjectManager) {
      for (auto& entry : *g.gs_bulkObjectManager) {
        if (entry.second) inherited.push_back(std::exchange(*entry.second, Batch()));
      }
    }
    // The failed-send and probe queues hold only the parent's items: the child's log calls
    // go to the main queue, whose inherited events the fork's child handler dropped.
    if (queue) queue->discardInheritedFromParent();
  }
  // A settings fetch the parent was making at the fork ends only in the parent.
  g.gs_ThreadStop.store(false);

  {
    GlobalLock lock(global_resource_lock());
    if (settingsRan) createPerformanceThread([] { createLogSendThread(); });
    // The settings thread starts the send thread after its next fetch; when it has no
    // handle left to fetch for, the fetch that would have started it was the parent's.
    const bool fetchPending = queue && queue->queueSize_handler() > 0;
    if (sendRan || (settingsRan && !fetchPending)) createLogSendThread();
  }
  rearmCrashCaptureInForkedChild();
}

}  // namespace zeplog::detail
