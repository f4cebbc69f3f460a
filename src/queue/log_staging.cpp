#include "queue/log_staging.hpp"

#include <time.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <queue>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/small_copy.hpp"
#include "common/utf8.hpp"
#include "event/attribute_blob.hpp"
#include "event/global_state.hpp"
#include "event/handle_views.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog::detail {
namespace {

// A staged log call: this header, then the trace context (when hasTrace), the handle id,
// level, error code, message and packed attributes, padded to StagingRing::kAlign.
struct RecordHeader {
  std::uint32_t size = 0;  // the whole record, padding included
  std::uint32_t kind = kLogRecord;
  std::uint64_t stamp = 0;
  std::uint32_t messageBytes = 0;
  std::uint32_t errorCodeBytes = 0;
  std::uint32_t attributeBytes = 0;
  std::uint16_t handleBytes = 0;
  std::uint8_t levelBytes = 0;
  std::uint8_t cut = 0;  // attributes cut or left out by the limits, up to 255
  std::uint8_t hasTrace = 0;
  std::uint8_t hostDash = 0;  // the host switch at the call: the event's host is "-"
  static constexpr std::uint32_t kLogRecord = 1;
};
static_assert(sizeof(RecordHeader) % StagingRing::kAlign == 0);
static_assert(offsetof(RecordHeader, size) == 0 && offsetof(RecordHeader, kind) == 4,
              "a record starts with the ring's prefix");

constexpr std::size_t kTraceBytes = LogEventMaker::kTraceBytes;

char* put(char* at, std::string_view part) { return copyBytes(at, part.data(), part.size()); }

// A record read back: views into the ring.
struct StagedRecord {
  RecordHeader header;
  std::optional<TraceContext> trace;
  std::string_view handleId, level, errorCode, message, attributes;
};

StagedRecord readRecord(const char* at) {
  StagedRecord r;
  std::memcpy(&r.header, at, sizeof r.header);
  at += sizeof r.header;
  if (r.header.hasTrace) {
    r.trace = LogEventMaker::readTrace(at);
    at += kTraceBytes;
  }
  auto next = [&](std::size_t n) {
    std::string_view part(at, n);
    at += n;
    return part;
  };
  r.handleId = next(r.header.handleBytes);
  r.level = next(r.header.levelBytes);
  r.errorCode = next(r.header.errorCodeBytes);
  r.message = next(r.header.messageBytes);
  r.attributes = next(r.header.attributeBytes);
  return r;
}

// The event of one record, on the queue; an unknown handle loses it (counted, with a line).
void enqueueRecord(const StagedRecord& r, std::int64_t sendTime, kstVelaBlockQueue& queue) {
  EventCounters& counters = eventCounters();
  if (r.header.cut != 0) countUp(counters.attributesCut, r.header.cut);
  VelaEventIdentityPtr identity = handleIdentity(r.handleId);
  if (!identity) {
    ZEP_CONSOLE("handleId is null");
    countUp(counters.lostUnknownHandle);
    return;
  }
  std::string spareBody, spareLevel, spareCode, spareAttributes;
  std::uint32_t clashes = 0;
  const std::string_view attributes =
      sendablePackedAttributes(r.attributes, spareAttributes, clashes);
  if (clashes != 0) countUp(counters.attributeClashes, clashes);
  VelaEventPtr event =
      LogEventMaker::make(validUtf8View(r.message, spareBody), validUtf8View(r.level, spareLevel),
                          validUtf8View(r.errorCode, spareCode), sendTime, r.header.hostDash != 0,
                          attributes, r.trace ? &*r.trace : nullptr);
  LogEventMaker::setIdentity(*event, std::move(identity));
  (void)queue.enqueue(std::move(event));
}

std::int64_t wallNowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The calling thread's ring; kEndedThread once the thread's end released it (a call from a
// later thread-exit destructor takes the direct path).
thread_local StagingRing* t_ring = nullptr;
StagingRing* const kEndedThread = reinterpret_cast<StagingRing*>(alignof(StagingRing));

// Marks the thread's ring ended when the thread ends, so a drain frees it for reuse.
struct RingRelease {
  ~RingRelease() {
    if (t_ring && t_ring != kEndedThread)
      t_ring->owner.store(StagingRing::Owner::kEnded, std::memory_order_release);
    t_ring = kEndedThread;
  }
};
thread_local RingRelease t_release;

}  // namespace

std::uint64_t stagingStamp() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
#endif
}

LogStaging::LogStaging()
    : drainMu_(ForkLockRank::kLogStaging),
      ringsMu_(ForkLockRank::kLogStagingRings, 0, &LogStaging::renewInChild, this),
      lastDrain_{stagingStamp(), wallNowNs()} {}

LogStaging& logStaging() {
  static LogStaging* const staging = new LogStaging();
  return *staging;
}

// Made while the library loads: a forked child must never find its guard half set.
[[maybe_unused]] const bool g_stagingMadeAtLoad = (static_cast<void>(logStaging()), true);

bool LogStaging::stage(const StagedCall& call) noexcept {
  if (call.handleId.size() > UINT16_MAX || call.level.size() > UINT8_MAX) return false;
  const std::size_t attributeBytes =
      call.attributes.empty() ? 0 : packedAttributeBytes(call.attributes);
  const std::size_t traceBytes = call.trace ? kTraceBytes : 0;
  const std::size_t raw = sizeof(RecordHeader) + traceBytes + call.handleId.size() +
                          call.level.size() + call.errorCode.size() + call.message.size() +
                          attributeBytes;
  if (raw > StagingRing::kMaxRecord) return false;
  const std::size_t bytes = StagingRing::rounded(raw);
  StagingRing* ring = ringOfThisThread();
  if (!ring) return false;
  char* at = ring->reserve(bytes);
  if (!at) {
    // Full: the oldest records make room, an eighth of the ring at once so that a thread
    // logging faster than the drain pays the lock and the count once per many calls;
    // unless a drain is copying them just now: then this call is the one dropped. Either
    // way counted, and nothing waits.
    std::unique_lock<std::mutex> lock(ringsMu_, std::try_to_lock);
    if (lock.owns_lock()) {
      noteDroppedAtBound(ring->dropOldest(bytes + StagingRing::kBytes / 8), false);
      lock.unlock();
      at = ring->reserve(bytes);
    }
    if (!at) {
      noteDroppedAtBound(1, false);
      return true;
    }
  }
  const bool wasOverHalf = ring->producerSeesOverHalf();
  // Made in place: the record's bytes are written once.
  RecordHeader& h = *new (at) RecordHeader;
  h.size = static_cast<std::uint32_t>(bytes);
  h.stamp = stagingStamp();
  h.messageBytes = static_cast<std::uint32_t>(call.message.size());
  h.errorCodeBytes = static_cast<std::uint32_t>(call.errorCode.size());
  h.attributeBytes = static_cast<std::uint32_t>(attributeBytes);
  h.handleBytes = static_cast<std::uint16_t>(call.handleId.size());
  h.levelBytes = static_cast<std::uint8_t>(call.level.size());
  h.hasTrace = call.trace ? 1 : 0;
  h.hostDash = globals().gs_enablehost.load(std::memory_order_relaxed) ? 0 : 1;
  char* p = at + sizeof h;
  if (call.trace) {
    LogEventMaker::writeTrace(p, *call.trace);
    p += kTraceBytes;
  }
  for (std::string_view part : {call.handleId, call.level, call.errorCode, call.message})
    p = put(p, part);
  const std::uint32_t cut = call.attributes.empty() ? 0 : packAttributes(call.attributes, p);
  h.cut = static_cast<std::uint8_t>(std::min<std::uint32_t>(cut, UINT8_MAX));
  ring->publish(bytes);
  if (kstVelaBlockQueue* queue = blockQueue()) {
    queue->wakeConsumerIfWaiting();
    // Past half full: the send thread's pause ends, so the drain comes before the ring fills.
    if (!wasOverHalf && ring->producerSeesOverHalf()) queue->stagingAtHighWater();
  }
  return true;
}

StagingRing* LogStaging::ringOfThisThread() noexcept {
  StagingRing* ring = t_ring;
  if (ring) [[likely]]
    return ring == kEndedThread ? nullptr : ring;
  return claimRingForThisThread();
}

StagingRing* LogStaging::claimRingForThisThread() noexcept {
  StagingRing* ring = nullptr;
  try {
    std::lock_guard<std::mutex> lock(ringsMu_);
    ring = claimRingLocked();
  } catch (...) {
    return nullptr;
  }
  if (!ring) return nullptr;
  (void)&t_release;  // registers the thread-exit release before the ring is used
  t_ring = ring;
  return ring;
}

StagingRing* LogStaging::claimRingLocked() noexcept {
  const std::size_t count = ringCount_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    StagingRing* ring = rings_[i].load(std::memory_order_relaxed);
    if (ring->owner.load(std::memory_order_acquire) == StagingRing::Owner::kFree) {
      ring->owner.store(StagingRing::Owner::kThread, std::memory_order_relaxed);
      return ring;
    }
  }
  if (count == kMaxRings) return nullptr;
  auto* ring = new (std::nothrow) StagingRing();
  if (!ring) return nullptr;
  ring->owner.store(StagingRing::Owner::kThread, std::memory_order_relaxed);
  rings_[count].store(ring, std::memory_order_release);
  ringCount_.store(count + 1, std::memory_order_release);
  return ring;
}

LogStaging::Staged LogStaging::staged() const {
  Staged out;
  const std::size_t count = ringCount_.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i) {
    const StagingRing* ring = rings_[i].load(std::memory_order_acquire);
    out.records += ring->recordCount();
    out.bytes += ring->byteCount();
  }
  return out;
}

bool LogStaging::anyOverHalf() const {
  const std::size_t count = ringCount_.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i) {
    if (rings_[i].load(std::memory_order_acquire)->overHalf()) return true;
  }
  return false;
}

bool LogStaging::anyStaged() const {
  const std::size_t count = ringCount_.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i) {
    if (rings_[i].load(std::memory_order_acquire)->hasRecords()) return true;
  }
  return false;
}

std::size_t LogStaging::drainInto(kstVelaBlockQueue& queue) {
  if (!anyStaged()) return 0;  // ended rings wait for a drain with records to be freed
  std::lock_guard<std::mutex> lock(drainMu_);
  return drainHoldingDrainLock(&queue);
}

std::size_t LogStaging::tryDrainInto(kstVelaBlockQueue& queue) {
  if (!anyStaged()) return 0;
  std::unique_lock<std::mutex> lock(drainMu_, std::try_to_lock);
  return lock.owns_lock() ? drainHoldingDrainLock(&queue) : 0;
}

std::size_t LogStaging::discard() {
  std::lock_guard<std::mutex> lock(drainMu_);
  return drainHoldingDrainLock(nullptr);
}

std::int64_t LogStaging::wallMillis(std::uint64_t stamp, ClockPair from, ClockPair to) {
  std::int64_t ns = to.wallNs;
  if (stamp <= from.stamp) {
    ns = from.wallNs;
  } else if (stamp < to.stamp && to.wallNs > from.wallNs) {
    const double share =
        static_cast<double>(stamp - from.stamp) / static_cast<double>(to.stamp - from.stamp);
    ns = from.wallNs +
         static_cast<std::int64_t>(share * static_cast<double>(to.wallNs - from.wallNs));
  }
  return ns / 1'000'000;
}

// The records of one drain: each ring's run of records, copied out, in the ring's order,
// and the wall-clock span they were made in.
struct LogStaging::Taken {
  std::vector<std::string> runs;
  ClockPair from, to;
};

void LogStaging::takeRecordsLocked(Taken& taken) {
  const std::size_t count = ringCount_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    StagingRing* ring = rings_[i].load(std::memory_order_relaxed);
    // Ended before the tail is read: every record it will ever hold is published by then.
    const bool ended = ring->owner.load(std::memory_order_acquire) == StagingRing::Owner::kEnded;
    const std::uint64_t end = ring->publishedTail();
    std::string run;
    std::uint64_t records = 0;
    for (std::uint64_t at = ring->head(); at != end;) {
      const StagingRing::Prefix p = StagingRing::prefixAt(ring->recordAt(at));
      if (p.kind != 0) {
        run.append(ring->recordAt(at), p.size);
        ++records;
      }
      at += p.size;
    }
    ring->release(end, records);
    if (!run.empty()) taken.runs.push_back(std::move(run));
    if (ended) ring->owner.store(StagingRing::Owner::kFree, std::memory_order_release);
  }
  // The wall-time span these records were made in: from the last drain to now (read after
  // the tails, so every record taken was stamped before it).
  taken.from = lastDrain_;
  taken.to = ClockPair{stagingStamp(), wallNowNs()};
  lastDrain_ = taken.to;
}

std::size_t LogStaging::makeEvents(const Taken& taken, kstVelaBlockQueue* queue) {
  // Merged by timestamp; a ring's records leave in their order.
  struct Cursor {
    std::string_view rest;
    std::uint64_t stamp() const { return readRecord(rest.data()).header.stamp; }
  };
  std::vector<Cursor> cursors;
  for (const std::string& run : taken.runs) cursors.push_back({run});
  auto later = [&](std::size_t a, std::size_t b) {
    return cursors[a].stamp() > cursors[b].stamp();
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> next(later);
  for (std::size_t i = 0; i < cursors.size(); ++i) next.push(i);
  std::size_t moved = 0;
  while (!next.empty()) {
    const std::size_t index = next.top();
    next.pop();
    Cursor& c = cursors[index];
    const StagedRecord record = readRecord(c.rest.data());
    if (queue) enqueueRecord(record, wallMillis(record.header.stamp, taken.from, taken.to), *queue);
    ++moved;
    c.rest.remove_prefix(record.header.size);
    if (!c.rest.empty()) next.push(index);
  }
  return moved;
}

std::size_t LogStaging::drainHoldingDrainLock(kstVelaBlockQueue* queue) {
  Taken taken;
  {
    std::lock_guard<std::mutex> lock(ringsMu_);
    takeRecordsLocked(taken);
  }
  return makeEvents(taken, queue);
}

void LogStaging::renewInChild(void* self) {
  auto* staging = static_cast<LogStaging*>(self);
  const std::size_t count = staging->ringCount_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    StagingRing* ring = staging->rings_[i].load(std::memory_order_relaxed);
    ring->emptyInChild();
    // The parent's other threads do not exist here: their rings are free.
    if (ring != t_ring) ring->owner.store(StagingRing::Owner::kFree, std::memory_order_relaxed);
  }
  staging->lastDrain_ = {stagingStamp(), wallNowNs()};
}

}  // namespace zeplog::detail
