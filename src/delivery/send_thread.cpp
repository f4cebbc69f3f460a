// The log send thread: once a cycle it takes the queued events, completes and filters them,
// gathers them per project and sends each project's batch as one request.
#include "delivery/send_thread.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "common/alt_signal_stack.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/waits.hpp"
#include "delivery/collector_transport.hpp"
#include "delivery/flush_signal.hpp"
#include "delivery/send_filter.hpp"
#include "delivery/session.hpp"
#include "event/common_fields.hpp"
#include "event/event_json.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// Event JSON taken per cycle, measured before the common fields are added. The event that
// crosses it is still sent; the rest wait for the next cycle.
constexpr std::size_t kCycleBudgetBytes = 2u << 20;

bool sendHeld() {
  const GlobalState& g = globals();
  return g.gs_SyncSend.load() || g.gs_ThreadStop.load();
}

// The project's batch, or none when the project was never initialised in this process.
std::shared_ptr<Batch> batchOf(const OptText& project) {
  if (!project) return nullptr;
  GlobalLock lock(global_resource_lock());
  auto& table = globals().gs_bulkObjectManager;
  if (!table) return nullptr;
  std::shared_ptr<Batch>* batch = table->find(*project);
  return batch ? *batch : nullptr;
}

// Puts the handle's user id into an event that has none of its own.
void completeUserId(Fields& fields, const kstVelaHandle& handle) {
  const FieldValue* v = fields.find("UserID");
  bool empty = true;
  if (const auto* text = v ? std::get_if<std::string>(v) : nullptr) {
    empty = text->empty();
  } else if (v) {
    empty = idToNSString(v).value_or("").empty();
  }
  if (!empty) return;
  GlobalLock lock(global_resource_lock());
  if (handle.userId) fields.set("UserID", FieldValue(*handle.userId));
}

// Counts an event that is lost because its handle or project is unknown.
std::nullopt_t lostUnknown() {
  countUp(eventCounters().lostUnknownHandle);
  return std::nullopt;
}

// Completes one taken event and, if the filter lets it through, appends it to its project's
// batch. Returns the event's size toward the cycle's budget, or none for an event that does
// not count (lost before the filter).
std::optional<std::size_t> takeEvent(const VelaEventPtr& event) {
  if (!event->handleId()) return lostUnknown();
  const std::string handleId = *event->handleId();
  ZEP_CONSOLE("getJsonFromVelaEvent");
  const std::size_t size = jsonSizeOfVelaEvent(event);

  ZEP_CONSOLE("kst_getHandler");
  std::shared_ptr<kstVelaHandle> handle = getHandler(handleId);
  if (!handle) return lostUnknown();

  ZEP_CONSOLE("copyCommonFields");
  if (!event->fields()) event->setFields(std::make_shared<Fields>());
  Fields& fields = *event->fields();
  if (!copyCommonFields(fields, handleId)) {
    // Handles are never removed, so this cannot happen; if it did, only this event is lost.
    ZEP_CONSOLE("copyCommonFields failed : " + handleId);
    return lostUnknown();
  }
  ZEP_CONSOLE("getHost");
  event->setHost(getHost());
  ZEP_CONSOLE("get userid");
  completeUserId(fields, *handle);

  ZEP_CONSOLE("get gs_bulkObjectManager");
  std::shared_ptr<Batch> batch = batchOf(event->projectName());
  if (!batch) return lostUnknown();

  ZEP_CONSOLE("checkSendStatus");
  const SendVerdict verdict = sendVerdict(event, handle);
  if (verdict == SendVerdict::kRefused) countUp(eventCounters().refusedByFilter);
  if (verdict == SendVerdict::kCollapsed) countUp(eventCounters().collapsedRepeats);
  if (verdict == SendVerdict::kSend) {
    ZEP_CONSOLE("get bulkEventQueue");
    ZEP_CONSOLE("remove dmpdata");
    const bool crash = fields.contains("DmpData");
    if (!crash) {
      fields.erase("SymMethod");
      fields.erase("CrashStyle");
    }
    ZEP_CONSOLE("add object");
    batch->push_back(event);
    if (crash) {
      GlobalLock lock(global_resource_lock());
      if (globals().gs_isUnity) regenerateSession(event, *batch, handle);
    }
    ZEP_CONSOLE("add object done");
  }
  return size;
}

// What a cycle's gathering did.
struct Gathered {
  bool tookAll = true;  // took the n events counted at the start, or emptied the queue
  bool lost = false;    // an event was lost for an unknown handle or project
};

// Takes up to n events (fewer once the budget is spent) into the batches.
Gathered gatherCycle(kstVelaBlockQueue& queue, std::int32_t n) {
  Gathered out;
  std::size_t total = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    VelaEventPtr event;
    {
      // Taken under the lock, in order with a background save of the queue; never waits,
      // because waiting here would stop every producer.
      GlobalLock lock(global_resource_lock());
      ZEP_CONSOLE("dequeue");
      event = queue.dequeueIfAny();
    }
    // A background save emptied the queue between the count and the take.
    if (!event) return out;
    const std::optional<std::size_t> size = takeEvent(event);
    if (!size) {
      out.lost = true;
      continue;
    }
    if (total + *size > kCycleBudgetBytes) {
      out.tookAll = i + 1 == n;
      return out;
    }
    total += *size;
  }
  return out;
}

// Marks the send thread, so a flush made on it (from a console handler, say) never waits
// for the thread's own next cycle.
thread_local bool onSendThread = false;

void logSendThread() {
  installAltSignalStack();                            // a stack overflow here can still be reported
  pthread_setname_np(pthread_self(), "zeplog-send");  // shows in top, gdb and perf
  onSendThread = true;
  ZEP_CONSOLE("logSendThread start");
  kstVelaBlockQueue* queue = blockQueue();  // made by the initialisation that started us
  FlushSignal& signal = flushSignal();
  for (;;) {
    guarded("logSendThread", [&] {
      // Held by sync start or paused by the settings thread: sleep until released.
      waitWhileSendHeld();
      // The pause gathers events into fewer requests; a flush cuts it short.
      signal.pause(waits().sendCycleSleep.load());
      // A flush that finds nothing left to take (the cycle before it took the rest) is done.
      signal.answerIfEmpty([&] { return queue->queueCount() == 0; });
      const std::int32_t n = queue->queueSize();  // waits while the queue is empty
      ZEP_CONSOLE("queue size : " + std::to_string(n));
      // A hold that began while the thread waited for events keeps them queued.
      if (sendHeld()) return;
      const std::uint64_t ticket = signal.beginCycle();
      Gathered gathered;
      bool delivered = false;
      try {
        gathered = gatherCycle(*queue, n);
        delivered = sendVelaEventByRestAPI();
      } catch (...) {
        signal.endCycle(ticket, false, false);
        throw;
      }
      signal.endCycle(ticket, gathered.tookAll, delivered && !gathered.lost);
    });
  }
}

}  // namespace

bool createLogSendThread() {
  GlobalLock lock(global_resource_lock());
  GlobalState& g = globals();
  if (g.gs_logSendThreadFlag || !blockQueue()) return false;
  try {
    gs_logSendThreads().emplace_back(logSendThread);
  } catch (const std::system_error& e) {
    ZEP_CONSOLE(std::string("logSendThread could not be started : ") + e.what());
    return false;
  }
  g.gs_logSendThreadFlag = true;
  return true;
}

std::vector<std::thread>& gs_logSendThreads() {
  static auto* threads = new std::vector<std::thread>;  // never destroyed
  return *threads;
}

bool flushQueued(std::chrono::milliseconds timeout) {
  kstVelaBlockQueue* queue = blockQueue();
  if (!queue) return true;  // before the first initialisation nothing can be queued
  bool threadRuns = false;
  {
    GlobalLock lock(global_resource_lock());
    // Just after initialisation the send thread waits for the settings thread's first
    // fetch to start it; the flush then waits for it as for a running one.
    threadRuns = globals().gs_logSendThreadFlag || globals().gs_performanceThreadFlag;
  }
  // Only the main queue is sent; the failed-send queue waits for the next run, so events
  // there make the answer false without anything to wait for.
  const auto nothingToSend = [&] { return queue->queueCount() == 0; };
  if (!threadRuns || onSendThread)
    return flushSignal().idleAndEmpty(nothingToSend) && queue->fileQueueCount() == 0;
  // Events a background save takes out meanwhile are kept, not delivered.
  const std::uint64_t saved = queue->eventsSavedToFile();
  return flushSignal().flush(timeout, nothingToSend) && queue->fileQueueCount() == 0 &&
         queue->eventsSavedToFile() == saved;
}

bool flushBeforeExit(std::chrono::milliseconds flushBound, std::chrono::milliseconds cancelBound) {
  if (flushQueued(flushBound)) return true;
  if (onSendThread) return false;
  // Whatever is still on the wire is cut off, so that its events are written back to the
  // failed-send queue (and can be saved) instead of leaving with the process.
  cancelRunningSends();
  flushSignal().waitIdle(cancelBound);
  return false;
}

}  // namespace zeplog::detail
