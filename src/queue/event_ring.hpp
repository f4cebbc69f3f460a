// A bounded ring of events that producers append to without a shared lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/fork_locks.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog {

// At most `capacity` events, oldest first. Producers (any thread, any number) append with
// push(), which never takes a lock in the usual case: a ticket from one atomic counter
// names the slot, and a full ring makes room by dropping the event the slot holds, which is
// the oldest one (the one `capacity` tickets back). The consumer side (takeHead) is
// serialised by the caller's lock.
//
// Each slot is a small state machine in one atomic word: the ticket of the event it holds
// (or held) and EMPTY, BUSY (one thread is moving an event in or out) or FULL. Whoever moves
// a slot to BUSY owns its contents until it leaves BUSY; that is the only way contents are
// touched. A thread that finds the slot it needs BUSY, or the consumer that finds the
// producer of the head ticket still writing it, waits on a condition, never spins; the
// thread that changes a slot wakes waiters only when a waiter has announced itself, so an
// append costs no system call.
//
// Per-producer order holds: a thread's tickets grow, and the consumer takes tickets in
// order. An event of ticket t is dropped only for ticket t + capacity (that producer takes
// it out of the slot, or finds its own event older than the slot's and drops that one).
//
// size() counts the events in the ring; it is exact whenever no push or take is under way.
// weight() sums the weights given with them.
class EventRing {
 public:
  explicit EventRing(std::size_t capacity, int forkOffset);
  ~EventRing();
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  std::size_t capacity() const { return capacity_; }

  struct Pushed {
    VelaEventPtr dropped;         // the event dropped to make room (or the new one itself), if any
    std::size_t sizeAfter = 0;    // the ring's size once the event was in
    std::size_t weightAfter = 0;  // its weight then
    bool kept = true;             // false: the new event was older than the slot's and dropped
  };
  // Appends event (not null) of the given weight.
  Pushed push(VelaEventPtr event, std::size_t weight);

  // The consumer side; the caller serialises these. Removes and returns the oldest event of
  // a ticket below `before`, waiting for a producer still writing it; nullptr when there is
  // none.
  VelaEventPtr takeHead(std::uint64_t before = UINT64_MAX);
  // The ticket the next push takes: takeHead(tail()) takes what was pushed before.
  std::uint64_t tail() const { return tail_.load(std::memory_order_seq_cst); }
  // True when takeHead would find an event without waiting (asked without the caller's lock,
  // so only a hint: the consumer re-checks).
  bool headReady() const;

  std::size_t size() const { return size_.load(std::memory_order_seq_cst); }
  std::size_t weight() const { return weight_.load(std::memory_order_relaxed); }

  // Waits until pred() holds, re-asking it whenever a slot changes (pred reads atomics only).
  // For consumers that wait for events to arrive.
  template <typename Pred>
  void waitUntil(Pred&& pred);
  // The same, giving up after `bound` (for conditions whose changes may be announced late).
  template <typename Pred>
  void waitUntilFor(Pred&& pred, std::chrono::milliseconds bound);
  // Wakes the threads in waitUntil; for changes the ring does not see (another store of
  // events gaining one). Free when nobody waits.
  void wake();
  // wake() when a thread waits; one relaxed load otherwise. A thread that starts to wait
  // just as this looks may be missed: for wakes that waitUntilFor's bound backs up.
  void wakeIfWaiting() {
    if (waiters_.load(std::memory_order_relaxed) != 0) wake();
  }

 private:
  struct Slot;
  static constexpr std::uint64_t kEmpty = 0, kBusy = 1, kFull = 2;
  static std::uint64_t word(std::uint64_t stamp, std::uint64_t state) { return stamp << 2 | state; }
  static std::uint64_t stampOf(std::uint64_t w) { return w >> 2; }
  static std::uint64_t stateOf(std::uint64_t w) { return w & 3; }

  // Releases a slot: stores w and wakes the waiters if any.
  void release(Slot& slot, std::uint64_t w);
  // In a forked child: every slot empty, counters at zero. A slot some other thread of the
  // parent was writing at the fork keeps its contents unreleased (they may be half moved).
  static void resetInChild(void* self);

  const std::size_t capacity_;
  std::unique_ptr<Slot[]> slots_;
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // the next ticket
  alignas(64) std::atomic<std::size_t> size_{0};
  std::atomic<std::size_t> weight_{0};
  alignas(64) std::uint64_t head_ = 0;      // the next ticket to take; guarded by the caller's lock
  std::atomic<std::uint64_t> headHint_{0};  // head_, for headReady()
  // Waiting: waiters_ counts the threads in a wait, so releasers skip the condition when
  // none is. The lock is in the fork order; the child resets the ring in its renew step.
  alignas(64) std::atomic<int> waiters_{0};
  detail::ForkSafeMutex waitMu_;
  std::condition_variable waitCv_;
};

template <typename Pred>
void EventRing::waitUntil(Pred&& pred) {
  if (pred()) return;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(waitMu_);
    waitCv_.wait(lock, pred);
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

template <typename Pred>
void EventRing::waitUntilFor(Pred&& pred, std::chrono::milliseconds bound) {
  if (pred()) return;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(waitMu_);
    waitCv_.wait_for(lock, bound, pred);
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace zeplog
