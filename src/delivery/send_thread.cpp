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
#include "common/no_destructor.hpp"
#include "common/upload_consent.hpp"
#include "common/waits.hpp"
#include "delivery/before_send.hpp"
#include "delivery/collector_transport.hpp"
#include "delivery/cycle_handles.hpp"
#include "delivery/durable_delivery.hpp"
#include "delivery/flush_signal.hpp"
#include "delivery/send_filter.hpp"
#include "delivery/session.hpp"
#include "event/common_fields.hpp"
#include "event/event_json.hpp"
#include "event/event_kind.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// Event JSON taken per cycle, each event weighed as it will be sent (common and custom
// fields included). The event that crosses it is still sent; the rest wait for the next
// cycle, which then starts at once.
constexpr std::size_t kCycleBudgetBytes = kstVelaBlockQueue::kHighWaterBytes;

bool sendHeld() {
  const GlobalState& g = globals();
  return g.gs_SyncSend.load() || g.gs_ThreadStop.load();
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

// A taken event, completed with its handle's common fields and judged by the filter.
struct Completed {
  const CycleHandles::Handle* handle = nullptr;
  Batch* batch = nullptr;    // its project's batch in this cycle
  CommonFragmentPtr common;  // the common fields still to follow its own in its JSON
  bool send = false;         // the filter lets it through
  std::size_t size = 0;      // its JSON as it will be sent, custom fields included
};

// Gives the event its handle's common fields: the handle's fragment when it can follow the
// event's own fields as they are, else copies in the event's dictionary. The fragment, if
// taken, is returned.
CommonFragmentPtr completeCommonFields(VelaEvent& event, const CycleHandles::Handle& handle) {
  if (handle.common && handle.common->fits(event)) {
    event.setHost(getHost());
    return handle.common;
  }
  if (!event.fields()) event.setFields(std::make_shared<Fields>());
  Fields& fields = *event.fields();
  ZEP_CONSOLE("copyCommonFields");
  {
    GlobalLock lock(global_resource_lock());
    copyCommonFieldsOf(fields, *handle.record);
  }
  ZEP_CONSOLE("getHost");
  event.setHost(getHost());
  ZEP_CONSOLE("get userid");
  completeUserId(fields, *handle.record);
  return nullptr;
}

// The weight of an event whose JSON is not written as it is gathered (no "v2/log" request):
// for a log call still in its text, its texts and the shared common fields' JSON plus room
// for the member names, counted without a pass over them (escapes are not counted; the
// weight only bounds a cycle); for any other event, its JSON's size.
std::size_t unwrittenWeight(const VelaEventPtr& event, const CommonFragmentPtr& common) {
  constexpr std::size_t kNamesAndIdentity = 160;
  const LogEventMaker::PendingText text = LogEventMaker::pendingText(*event);
  const std::string_view commonJson = common ? common->json() : std::string_view();
  if (!text.body || !text.fields) return jsonSizeOfVelaEvent(event, commonJson);
  return kNamesAndIdentity + text.bodyBytes + text.fieldBytes + commonJson.size();
}

// Completes one taken event: common fields, host, user id, the filter's verdict. None for an
// event that is lost (unknown handle or project).
std::optional<Completed> completeEvent(const VelaEventPtr& event, CycleHandles& cycle) {
  if (!event->handleId()) return lostUnknown();
  ZEP_CONSOLE("getJsonFromVelaEvent");

  ZEP_CONSOLE("kst_getHandler");
  Completed out;
  out.handle = cycle.handle(*event->handleId());
  if (!out.handle) return lostUnknown();

  out.common = completeCommonFields(*event, *out.handle);

  ZEP_CONSOLE("get gs_bulkObjectManager");
  out.batch = cycle.batch(event->projectName());
  if (!out.batch) return lostUnknown();

  // The application's hook and the redaction see the event complete, before the filter.
  if (!applyBeforeSend(*event)) return out;  // dropped by the hook: counted there, not sent

  ZEP_CONSOLE("checkSendStatus");
  const SendVerdict verdict = sendVerdict(event, out.handle->record, out.handle->switches);
  if (verdict == SendVerdict::kRefused) countUp(eventCounters().refusedByFilter);
  if (verdict == SendVerdict::kCollapsed) countUp(eventCounters().collapsedRepeats);
  out.send = verdict == SendVerdict::kSend;
  if (out.send) {
    ZEP_CONSOLE("get bulkEventQueue");
    ZEP_CONSOLE("remove dmpdata");
    // (A log call's fields still in its text hold neither.)
    if (!LogEventMaker::pendingFields(*event) && event->fields() && !isCrashEvent(*event)) {
      event->fields()->erase(kSymMethodKey);
      event->fields()->erase(kCrashStyleKey);
    }
    // Without a "v2/log" request only the weight is needed now (see jsonDeferrable).
    out.size = cycle.deferJson() ? unwrittenWeight(event, out.common)
                                 : out.batch->write(event, out.common);
  }
  return out;
}

// Adds a completed event that the filter lets through to its project's batch.
void addToBatch(const VelaEventPtr& event, const Completed& completed) {
  ZEP_CONSOLE("add object");
  completed.batch->push(event, completed.common, completed.size);
  if (isCrashEvent(*event)) {
    std::vector<VelaEventPtr> session;
    {
      GlobalLock lock(global_resource_lock());
      if (globals().gs_isUnity) regenerateSession(event, session, completed.handle->record);
    }
    for (VelaEventPtr& e : session) {
      const std::size_t weight = completed.batch->write(e, nullptr);
      completed.batch->push(std::move(e), nullptr, weight);
    }
  }
  ZEP_CONSOLE("add object done");
}

// What a cycle's gathering did.
struct Gathered {
  bool tookAll = true;   // took the n events counted at the start, or emptied the queue
  bool lost = false;     // an event was lost for an unknown handle or project
  bool atBound = false;  // stopped at the budget or took a full queue's worth of events
  // An event larger than the budget on its own, taken after others: it goes in a request of
  // its own once the others are sent, so a body the collector may refuse holds nothing else.
  VelaEventPtr alone;
  std::optional<Completed> aloneCompleted;
};

// Takes up to n events into the batches, until the events added weigh more than the budget
// as they will be sent (so a body holds at most the budget plus one event).
Gathered gatherCycle(kstVelaBlockQueue& queue, std::int32_t n, CycleHandles& cycle) {
  Gathered out;
  out.atBound = n >= static_cast<std::int32_t>(kstVelaBlockQueue::kMaxEvents);
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
    std::optional<Completed> completed = completeEvent(event, cycle);
    if (!completed) {
      out.lost = true;
      continue;
    }
    if (!completed->send) continue;
    if (total > 0 && completed->size > kCycleBudgetBytes) {
      out.alone = std::move(event);
      out.aloneCompleted = std::move(completed);
    } else {
      addToBatch(event, *completed);
      total += completed->size;
      if (total <= kCycleBudgetBytes) continue;
    }
    out.tookAll = i + 1 == n;
    out.atBound = true;
    return out;
  }
  return out;
}

// Sends the cycle's batches, then the event that goes alone, if any. True when every
// request was answered 200.
bool sendGathered(Gathered& gathered, CycleHandles& cycle) {
  cycle.publish();
  bool delivered = sendVelaEventByRestAPI();
  if (gathered.alone) {
    addToBatch(gathered.alone, *gathered.aloneCompleted);
    cycle.publish();
    delivered = sendVelaEventByRestAPI() && delivered;
  }
  return delivered;
}

// Nothing in the queue, and nothing in the spool of durable mode.
bool nothingToSend(kstVelaBlockQueue& queue) {
  return queue.queueCount() == 0 && spoolBacklog() == 0;
}

// The pause before a cycle gathers events into fewer requests; a flush cuts it short, and so
// does a queue that fills toward its bound, where waiting would only drop events. While the
// spool waits out a collector's backoff, the pause ends when the backoff does, and a flush
// does not cut it short (the flush waits for the spool to be sent).
//
// Log calls staged in their threads' rings reach the high water without waking the pause,
// so it looks again every kStagedLookInterval.
constexpr std::chrono::milliseconds kStagedLookInterval{200};

void pauseBeforeCycle(kstVelaBlockQueue& queue, FlushSignal& signal) {
  using Clock = std::chrono::steady_clock;
  const auto highWater = [&] { return queue.atHighWater(); };
  const std::chrono::milliseconds sleep = waits().sendCycleSleep.load();
  const std::chrono::milliseconds backoff = untilRetry();
  const bool forBackoff = spoolBacklog() > 0 && backoff.count() > 0;
  const std::chrono::milliseconds length = forBackoff ? std::min(sleep, backoff) : sleep;
  const Clock::time_point end = Clock::now() + length;
  for (auto left = length; left.count() > 0;
       left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())) {
    signal.pause(std::min(left, kStagedLookInterval), highWater, !forBackoff);
    if (highWater() || (!forBackoff && signal.flushWaiting())) return;
  }
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
  queue->setHighWaterHook([] { flushSignal().wake(); });
  guarded("openSpool", [] { openSpoolForThisProcess(); });
  // The last cycle stopped at a bound, or bodies of an earlier run wait in the spool: the
  // next cycle starts at once.
  bool atBound = spoolBacklog() > 0;
  std::uint64_t revocationsSeen = revocationCount();
  bool reopenSpool = false;
  for (;;) {
    guarded("logSendThread", [&] {
      // Held by sync start or paused by the settings thread: sleep until released.
      waitWhileSendHeld();
      // Upload consent unknown or revoked: the events stay queued (and are saved as usual).
      // A revocation wakes the thread too: the spool it has open is its own to delete.
      waitForUploadConsent(&revocationsSeen);
      if (revocationCount() != revocationsSeen) {
        revocationsSeen = revocationCount();
        countUp(eventCounters().droppedByConsent, discardSpool());
        reopenSpool = durableDeliveryOn();
        return;  // back to the wait
      }
      if (reopenSpool) {
        reopenSpool = false;
        openSpoolForThisProcess();
      }
      if (!atBound) pauseBeforeCycle(*queue, signal);
      atBound = false;
      // A flush that finds nothing left to take (the cycle before it took the rest) is done.
      signal.answerIfEmpty([&] { return nothingToSend(*queue); });
      // With bodies waiting in the spool the cycle runs even with an empty queue, to post
      // them; otherwise it waits for an event.
      (void)queue->takeStagedLogs();  // the log calls staged so far become events
      const std::int32_t n = spoolBacklog() > 0 ? queue->queueCount() : queue->queueSize();
      ZEP_CONSOLE("queue size : " + std::to_string(n));
      // A hold that began while the thread waited for events keeps them queued.
      if (sendHeld()) return;
      const std::uint64_t ticket = signal.beginCycle();
      Gathered gathered;
      bool delivered = false;
      CycleHandles cycle(CycleHandles::commonDeferrable(), CycleHandles::jsonDeferrable());
      try {
        gathered = gatherCycle(*queue, n, cycle);
        delivered = sendGathered(gathered, cycle);
      } catch (...) {
        // What was gathered is sent by the next cycle, as it would have been from the
        // shared batches.
        guarded("publish", [&] { cycle.publish(); });
        signal.endCycle(ticket, false, false);
        throw;
      }
      atBound = gathered.atBound || (spoolBacklog() > 0 && untilRetry().count() == 0);
      if (durableDeliveryOn()) {
        // Durable: a flush is answered once the spool is empty too; a failed post is retried,
        // so it does not decide the flush's answer.
        signal.endCycle(ticket, gathered.tookAll && spoolBacklog() == 0, !gathered.lost);
      } else {
        signal.endCycle(ticket, gathered.tookAll, delivered && !gathered.lost);
      }
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

// Made at compile time, not on first use: a forked child never inherits it half made.
constinit NoDestructor<std::vector<std::thread>> g_sendThreads;  // never destroyed
std::vector<std::thread>& gs_logSendThreads() { return g_sendThreads.value; }

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
  const auto nothing = [&] { return nothingToSend(*queue); };
  // Without upload consent nothing is sent, so there is nothing to wait for.
  if (!threadRuns || onSendThread || !uploadsAllowed())
    return flushSignal().idleAndEmpty(nothing) && queue->fileQueueCount() == 0;
  // Events a background save takes out meanwhile are kept, not delivered.
  const std::uint64_t saved = queue->eventsSavedToFile();
  return flushSignal().flush(timeout, nothing) && queue->fileQueueCount() == 0 &&
         spoolBacklog() == 0 && queue->eventsSavedToFile() == saved;
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
