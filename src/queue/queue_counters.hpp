// The process-wide event counters, the rate-limited report of drops at a queue bound, and
// the byte bound of the event queues.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <vector>

#include "zeplog/counters.hpp"

namespace zeplog::detail {

// Every counter, once: its member here and its name in the public Counter enumeration, in
// the enumeration's order (which is also zeplog_counters2's). A new counter is a row at the
// end here, a name at the end of Counter and a member at the end of zeplog_counters2.
#define ZEPLOG_EVENT_COUNTERS(X)                    \
  X(droppedFromQueue, DroppedFromQueue)             \
  X(droppedFromFailedQueue, DroppedFromFailedQueue) \
  X(refusedByFilter, RefusedByFilter)               \
  X(collapsedRepeats, CollapsedRepeats)             \
  X(lostUnknownHandle, LostUnknownHandle)           \
  X(writtenBack, WrittenBack)                       \
  X(delivered, Delivered)                           \
  X(belowMinimumLevel, BelowMinimumLevel)           \
  X(droppedByBeforeSend, DroppedByBeforeSend)       \
  X(droppedFromSpool, DroppedFromSpool)             \
  X(otlpRejected, OtlpRejected)                     \
  X(sampledOut, SampledOut)                         \
  X(rateLimited, RateLimited)                       \
  X(droppedByConsent, DroppedByConsent)             \
  X(attributesCut, AttributesCut)                   \
  X(attributeClashes, AttributeClashes)

// Lock-free: every member is a relaxed atomic, moved where an event's fate is decided.
struct EventCounters {
#define ZEPLOG_COUNTER_MEMBER(member, name) std::atomic<std::uint64_t> member{0};
  ZEPLOG_EVENT_COUNTERS(ZEPLOG_COUNTER_MEMBER)
#undef ZEPLOG_COUNTER_MEMBER
};

// The number of counters; the public enumeration must name each, in the same order.
inline constexpr std::size_t kCounterCount = 0
#define ZEPLOG_COUNTER_ONE(member, name) +1
    ZEPLOG_EVENT_COUNTERS(ZEPLOG_COUNTER_ONE);
#undef ZEPLOG_COUNTER_ONE
static_assert(static_cast<std::size_t>(Counter::AttributeClashes) + 1 == kCounterCount,
              "the last name of Counter is the last counter");

// A counter's value by name; 0 for a value outside the enumeration.
std::uint64_t counterValue(Counter which);

EventCounters& eventCounters();  // never destroyed
Counters countersSnapshot();
ControlCounters controlCountersSnapshot();

inline void countUp(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
  if (n) counter.fetch_add(n, std::memory_order_relaxed);
}

// Counts events dropped at the bound of the main queue (failedQueue false) or of the
// failed-send queue, and writes at most one console line a minute about them:
// "<n> events dropped at a queue bound (<main> from the queue and <failed> from the
// failed-send queue since the start)", n counting since the previous line. Call it after
// releasing the channel's lock.
void noteDroppedAtBound(std::size_t n, bool failedQueue);

// The clock of that report (milliseconds on any steady scale); tests replace it. nullptr
// restores the steady clock.
using MillisClock = std::int64_t (*)();
void setDropReportClock(MillisClock clock);

// Decides, from a clock reading, whether a rate-limited line may be written now: the first
// call says yes, later ones only once `intervalMillis` has passed since the last yes.
// Lock-free and safe from any thread; of two racing callers only one gets the yes.
class RateLimit {
 public:
  constexpr explicit RateLimit(std::int64_t intervalMillis) : interval_(intervalMillis) {}
  bool allow(std::int64_t nowMillis);

 private:
  static constexpr std::int64_t kNever = INT64_MIN;
  const std::int64_t interval_;
  std::atomic<std::int64_t> lastYes_{kNever};  // the clock reading of the last yes
};

// The byte bound of each event queue (main and failed-send): 64 MiB unless the application
// set another before the first initialisation.
constexpr std::size_t kDefaultQueueByteLimit = std::size_t{64} << 20;
// Sets it; false with a console line after the event queue was made or for 0.
bool setQueueByteLimit(std::size_t bytes);
// The bound to make the event queue with; from then on setQueueByteLimit refuses.
std::size_t freezeQueueByteLimit();

}  // namespace zeplog::detail
