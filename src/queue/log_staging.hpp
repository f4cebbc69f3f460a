// Log calls staged in per-thread rings, turned into events off the caller's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/fork_locks.hpp"
#include "queue/staging_ring.hpp"
#include "zeplog/attribute.hpp"
#include "zeplog/trace_context.hpp"

namespace zeplog {
class kstVelaBlockQueue;
}

namespace zeplog::detail {

// What a log call hands to the staging: views valid for the call.
struct StagedCall {
  std::string_view level;
  std::string_view errorCode;
  std::string_view message;
  std::string_view handleId;
  std::span<const Attribute> attributes;
  const TraceContext* trace = nullptr;  // null: no trace context
};

// The cheap timestamp a staged record carries: the CPU's time-stamp counter where there is
// one, else the monotonic clock in nanoseconds. The drain maps it to wall time.
std::uint64_t stagingStamp() noexcept;

// The log calls' staging area: a StagingRing per thread that logs, and the drain that turns
// their records into events on the main queue.
//
// A log call (stage) copies a compact record (handle id, level, timestamp, texts and packed
// attributes) into its own thread's ring and publishes it: no lock, no shared counter, no
// reference count, no allocation, no UTF-8 check. Only a thread's first call (which finds
// or makes its ring) and a call that finds its ring full take a lock. A full ring drops its
// oldest records to make room, counted as the main queue counts its drops, under a
// try-lock of ringsMu_; when a drain holds that lock just then, the new call is dropped
// instead (counted): the call never waits. A call that takes its ring past half full wakes
// the send thread, whose pause ends then (kstVelaBlockQueue::atHighWater).
//
// The drain takes the records published so far from every ring (copied out under
// ringsMu_, a short hold), merges them by timestamp (a thread's own records keep their
// order), maps each timestamp to wall time between the previous drain and this one, checks
// the texts as UTF-8, resolves the handle and puts the event on the main queue, under
// drainMu_ alone, so that drains do not interleave their events. Whatever needs the queue
// whole (waiting for it, saving it) drains first; counting it counts the staged records.
//
// A thread's ring is marked ended when the thread ends; the drain that empties an ended ring
// frees it for the next new thread. A forked child empties every ring (the parent sends
// their records) and frees those of the parent's other threads.
//
// Locks: drainMu_ (rank kLogStaging) is taken after the queue files' monitor and before the
// queue's channel locks; ringsMu_ (rank kLogStagingRings) after it, held only to copy or
// drop records and to claim a ring.
class LogStaging {
 public:
  static constexpr std::size_t kMaxRings = 1024;

  LogStaging();
  LogStaging(const LogStaging&) = delete;
  LogStaging& operator=(const LogStaging&) = delete;

  // Stages the call in the calling thread's ring. False when it cannot be staged (a record
  // too large for a ring, the thread past its end, every ring taken): the caller makes the
  // event itself.
  bool stage(const StagedCall& call) noexcept;

  // Moves every published record into queue as an event; returns how many records moved.
  std::size_t drainInto(kstVelaBlockQueue& queue);
  // The same unless a drain is under way (then nothing, at once).
  std::size_t tryDrainInto(kstVelaBlockQueue& queue);
  // Drops every published record (consent revoked); returns how many.
  std::size_t discard();
  // True when some ring holds a published record; reads atomics only (a hint for waits).
  bool anyStaged() const;
  // True when some ring is more than half full (atomics only).
  bool anyOverHalf() const;
  // The records staged now and their bytes; reads atomics only, exact at rest.
  struct Staged {
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
  };
  Staged staged() const;
  // How many rings were ever made (a thread's ring is reused after the thread ended).
  std::size_t ringsMade() const { return ringCount_.load(std::memory_order_acquire); }

  // The drain's mapping from a record's timestamp to wall-clock milliseconds: linear between
  // the (stamp, wall) pairs of the last two drains, clamped to that span. A formula with
  // its inputs passed in, for the tests.
  struct ClockPair {
    std::uint64_t stamp = 0;
    std::int64_t wallNs = 0;
  };
  static std::int64_t wallMillis(std::uint64_t stamp, ClockPair from, ClockPair to);

 private:
  struct Taken;  // the records one drain copied out, per ring
  StagingRing* ringOfThisThread() noexcept;
  [[gnu::noinline]] StagingRing* claimRingForThisThread() noexcept;  // a thread's first call
  StagingRing* claimRingLocked() noexcept;
  // Under ringsMu_: copies every ring's published records out and frees their space.
  void takeRecordsLocked(Taken& taken);
  // Under drainMu_: the copied records as events on queue (none: dropped); how many.
  std::size_t makeEvents(const Taken& taken, kstVelaBlockQueue* queue);
  std::size_t drainHoldingDrainLock(kstVelaBlockQueue* queue);
  static void renewInChild(void* self);

  ForkSafeMutex drainMu_;
  ForkSafeMutex ringsMu_;
  std::atomic<StagingRing*> rings_[kMaxRings]{};  // appended under ringsMu_, never removed
  std::atomic<std::size_t> ringCount_{0};         // written under ringsMu_
  ClockPair lastDrain_;                           // guarded by ringsMu_
};

// The process's staging, made while the library loads.
LogStaging& logStaging();

}  // namespace zeplog::detail
