// The main event queue's channel: a lock-free ring for log calls, a locked stash before it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <vector>

#include "common/fork_locks.hpp"
#include "queue/event_ring.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog {

// A FIFO of events with the main queue's bounds: at most `bound` events and `byteLimit`
// bytes (detail::eventBytes), the oldest dropped first to make room. It offers what Channel
// offers the other queues, and the same rules, but appends at the tail (the log calls) take
// no lock: they go into an EventRing of `bound` slots.
//
// The queue is the stash (the oldest events; a deque under mu_) followed by the ring. Only
// the operations that need the queue as a whole take mu_: a Locked access moves the ring's
// events (those pushed before it began) into the stash and works there, as a Channel's
// Locked does on its items; a put back at the head goes into the stash. The consumer takes
// from the stash first, then from the ring. While the stash holds events, an append also
// takes mu_ after it, to drop the stash's oldest when the two together pass the bound; the
// end of every Locked access does the same the other way round, so at rest the bound is
// exact.
//
// Appends wake a waiting consumer only when one waits (see EventRing).
class MainEventChannel {
 public:
  using Items = std::deque<VelaEventPtr>;
  static constexpr std::size_t kNoBound = std::numeric_limits<std::size_t>::max();

  // forkOffset: the channel's place among the queue's channels (see Channel).
  MainEventChannel(std::size_t bound, std::size_t byteLimit, int forkOffset);
  MainEventChannel(const MainEventChannel&) = delete;
  MainEventChannel& operator=(const MainEventChannel&) = delete;

  // What an append dropped (as Channel::Dropped): the first dropped event, handed back to be
  // released outside the caller's locks, and how many went.
  struct Dropped {
    VelaEventPtr head;
    std::size_t count = 0;
    std::size_t sizeAfter = 0;
    std::size_t weightAfter = 0;
    std::size_t weighed = 0;  // the appended event's weight (0 when it was dropped)
  };
  // Appends at the tail, dropping the oldest while full; an event heavier than the byte
  // bound on its own is dropped instead. Takes no lock unless the byte bound or a non-empty
  // stash asks for a drop there.
  Dropped pushBackTakeHead(VelaEventPtr event);
  // Inserts at the head; drops the newest while full. Returns the number dropped.
  std::size_t pushFrontDropTail(VelaEventPtr event);

  VelaEventPtr take();       // waits while empty
  VelaEventPtr takeIfAny();  // nullptr when empty; waits only for an append under way
  std::int32_t waitCount();  // waits while empty, then counts
  // Waits while empty and more() is false, at most `bound`, then counts. more() reads
  // atomics only; whoever makes it true calls wakeIfWaiting().
  template <typename More>
  std::int32_t waitCountOr(More&& more, std::chrono::milliseconds bound) {
    ring_.waitUntilFor([&] { return anyReady() || more(); }, bound);
    return count();
  }
  void wakeIfWaiting() { ring_.wakeIfWaiting(); }
  std::int32_t count() const;
  std::size_t weight() const;

  // Exclusive access to the whole queue, as Channel::Locked: the events appended before it
  // began are in items(), oldest first; appends made meanwhile wait in the ring behind them.
  class Locked {
   public:
    explicit Locked(MainEventChannel& c);
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    Items& items() { return channel_.stash_; }
    // Drops the oldest while `bound` or more events are queued (items and the ring) or
    // items() weigh more than `weightBound`. Returns the number dropped.
    std::size_t trimHead(std::size_t bound, std::size_t weightBound = kNoBound);
    // Wakes every waiter.
    void broadcast() { channel_.ring_.wake(); }

   private:
    MainEventChannel& channel_;
    std::unique_lock<std::mutex> lock_;
  };
  Locked lock() { return Locked(*this); }

 private:
  // The caller holds mu_. Drops the oldest (stash first, then ring) while keep() says so;
  // the dropped events go to `out`.
  template <typename Keep>
  void dropOldestLocked(Keep&& tooMany, std::vector<VelaEventPtr>& out);
  // The caller holds mu_: publishes the stash's size and weight.
  void stashChangedLocked();
  VelaEventPtr takeIfAnyLocked();
  bool anyReady() const;
  // In a forked child: the stash is the parent's (the ring resets itself).
  static void renewInChild(void* self);

  const std::size_t bound_;
  const std::size_t byteLimit_;
  EventRing ring_;  // the tail of the queue; its own synchronisation
  // Guards stash_ and the ring's consumer side (takeHead). Before the ring's wait lock.
  detail::ForkSafeMutex mu_;
  Items stash_;  // guarded by mu_
  // stash_'s size and weight, written under mu_, read without it.
  std::atomic<std::size_t> stashCount_{0};
  std::atomic<std::size_t> stashWeight_{0};
};

}  // namespace zeplog
