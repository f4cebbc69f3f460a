#include "queue/queue_counters.hpp"

#include <chrono>
#include <mutex>
#include <string>

#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/no_destructor.hpp"

namespace zeplog::detail {
namespace {

constexpr std::int64_t kDropReportIntervalMillis = 60'000;

std::int64_t steadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<MillisClock> dropReportClock{nullptr};

struct DropReport {
  RateLimit limit{kDropReportIntervalMillis};
  std::atomic<std::uint64_t> reported{0};  // drops already named in a line
};
// Made at compile time, not by their first user (a log call, without a lock: a child forked
// while a thread made one of them would wait for that thread forever); never destroyed.
constinit NoDestructor<DropReport> g_dropReport;
constinit NoDestructor<EventCounters> g_eventCounters;
DropReport& dropReport() { return g_dropReport.value; }

// The byte bound, fixed once the event queue is made.
struct ByteLimit {
  ForkSafeMutex mu{ForkLockRank::kQueueByteLimit};
  std::size_t bytes = kDefaultQueueByteLimit;  // guarded by mu
  bool frozen = false;                         // guarded by mu
};
ByteLimit& byteLimit() {
  static auto* l = new ByteLimit;  // never destroyed
  return *l;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_byteLimitMadeAtLoad = (static_cast<void>(byteLimit()), true);

}  // namespace

EventCounters& eventCounters() { return g_eventCounters.value; }

namespace {
// The members in the enumeration's order; each name is checked against its place.
constexpr std::atomic<std::uint64_t> EventCounters::*kCounterMembers[] = {
#define ZEPLOG_COUNTER_POINTER(member, name) &EventCounters::member,
    ZEPLOG_EVENT_COUNTERS(ZEPLOG_COUNTER_POINTER)
#undef ZEPLOG_COUNTER_POINTER
};
constexpr Counter kCounterNames[] = {
#define ZEPLOG_COUNTER_NAME(member, name) Counter::name,
    ZEPLOG_EVENT_COUNTERS(ZEPLOG_COUNTER_NAME)
#undef ZEPLOG_COUNTER_NAME
};
constexpr bool namesInOrder() {
  for (std::size_t i = 0; i < kCounterCount; ++i)
    if (static_cast<std::size_t>(kCounterNames[i]) != i) return false;
  return true;
}
static_assert(namesInOrder(), "the counters are listed in Counter's order");
}  // namespace

std::uint64_t counterValue(Counter which) {
  const auto index = static_cast<std::size_t>(which);
  if (index >= kCounterCount) return 0;
  return (eventCounters().*kCounterMembers[index]).load(std::memory_order_relaxed);
}

Counters countersSnapshot() {
  const EventCounters& c = eventCounters();
  Counters out;
  out.droppedFromQueue = c.droppedFromQueue.load(std::memory_order_relaxed);
  out.droppedFromFailedQueue = c.droppedFromFailedQueue.load(std::memory_order_relaxed);
  out.refusedByFilter = c.refusedByFilter.load(std::memory_order_relaxed);
  out.collapsedRepeats = c.collapsedRepeats.load(std::memory_order_relaxed);
  out.lostUnknownHandle = c.lostUnknownHandle.load(std::memory_order_relaxed);
  out.writtenBack = c.writtenBack.load(std::memory_order_relaxed);
  out.delivered = c.delivered.load(std::memory_order_relaxed);
  out.belowMinimumLevel = c.belowMinimumLevel.load(std::memory_order_relaxed);
  out.droppedByBeforeSend = c.droppedByBeforeSend.load(std::memory_order_relaxed);
  out.droppedFromSpool = c.droppedFromSpool.load(std::memory_order_relaxed);
  out.otlpRejected = c.otlpRejected.load(std::memory_order_relaxed);
  return out;
}

ControlCounters controlCountersSnapshot() {
  const EventCounters& c = eventCounters();
  ControlCounters out;
  out.sampledOut = c.sampledOut.load(std::memory_order_relaxed);
  out.rateLimited = c.rateLimited.load(std::memory_order_relaxed);
  out.droppedByConsent = c.droppedByConsent.load(std::memory_order_relaxed);
  return out;
}

bool RateLimit::allow(std::int64_t nowMillis) {
  std::int64_t last = lastYes_.load();
  if (last != kNever && nowMillis - last < interval_) return false;
  return lastYes_.compare_exchange_strong(last, nowMillis);
}

void noteDroppedAtBound(std::size_t n, bool failedQueue) {
  if (n == 0) return;
  EventCounters& c = eventCounters();
  countUp(failedQueue ? c.droppedFromFailedQueue : c.droppedFromQueue, n);
  MillisClock clock = dropReportClock.load();
  DropReport& report = dropReport();
  if (!report.limit.allow(clock ? clock() : steadyMillis())) return;
  const std::uint64_t fromQueue = c.droppedFromQueue.load();
  const std::uint64_t fromFailed = c.droppedFromFailedQueue.load();
  const std::uint64_t since =
      fromQueue + fromFailed - report.reported.exchange(fromQueue + fromFailed);
  ZEP_CONSOLE(std::to_string(since) + " events dropped at a queue bound (" +
              std::to_string(fromQueue) + " from the queue and " + std::to_string(fromFailed) +
              " from the failed-send queue since the start)");
}

void setDropReportClock(MillisClock clock) { dropReportClock.store(clock); }

bool setQueueByteLimit(std::size_t bytes) {
  ByteLimit& l = byteLimit();
  {
    std::lock_guard<std::mutex> g(l.mu);
    if (!l.frozen && bytes > 0) {
      l.bytes = bytes;
      return true;
    }
  }
  ZEP_CONSOLE(bytes == 0 ? "setQueueByteLimit : a limit of 0 bytes is refused"
                         : "setQueueByteLimit : only before the first initialisation");
  return false;
}

std::size_t freezeQueueByteLimit() {
  ByteLimit& l = byteLimit();
  std::lock_guard<std::mutex> g(l.mu);
  l.frozen = true;
  return l.bytes;
}

}  // namespace zeplog::detail
