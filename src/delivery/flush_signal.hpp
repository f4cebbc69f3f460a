// Between the send thread and the threads that flush: the send thread's pause as a condition
// wait that a flush cuts short, and each flush's wait for the cycles that carry its events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/fork_locks.hpp"

namespace zeplog::detail {

// A flush registers a ticket and wakes the send thread; the send thread numbers each cycle
// with the latest ticket when the cycle begins. A flush is answered when a cycle that began
// after it has taken everything counted at its start (or the thread found the queue empty),
// and it was delivered only if every send that ended while the flush waited was: a send
// already running when the flush came may hold the flush's events, so its outcome counts
// too. Events that arrive after a flush may make it report a failure of theirs; never the
// other way round.
//
// The thread that runs cycles calls the cycle side; any other thread calls flush(). One
// mutex guards everything. The queue tests given to it run inside it and may take channel
// locks (which rank after it in the fork order), never global_resource_lock.
class FlushSignal {
 public:
  // ---- The send thread's side ----
  // Waits up to `pause`, returning at once when a flush is waiting or backlog() (asked
  // inside the lock, at the start and at every wake()) says the queue should not wait.
  // With flushesCut false a waiting flush does not end it: for a pause that waits for a
  // collector's backoff, which a flush must not make the thread run ahead of.
  void pause(std::chrono::milliseconds pause, const std::function<bool()>& backlog,
             bool flushesCut = true);
  // Has the pause ask backlog() again; for the enqueue that fills the queue toward its bound.
  void wake();
  // True when a flush waits for a cycle.
  bool flushWaiting();
  // Answers every waiting flush as done when queueEmpty() says nothing is left to take.
  void answerIfEmpty(const std::function<bool()>& queueEmpty);
  // A cycle begins taking events; returns its ticket.
  std::uint64_t beginCycle();
  // The cycle has ended. tookAll: it took every event counted at its start (or emptied the
  // queue); delivered: every request was answered 200 and no event was lost on the way.
  void endCycle(std::uint64_t ticket, bool tookAll, bool delivered);

  // ---- Any other thread ----
  // Waits, bounded, for the cycles that carry what is queued now; see the class comment.
  // nothingQueued() is asked (inside the lock) before waiting: true there answers at once
  // when no cycle is running.
  bool flush(std::chrono::milliseconds timeout, const std::function<bool()>& nothingQueued);
  // True when no cycle is running and nothingQueued() (asked inside the lock) says so; for
  // callers that must not wait.
  bool idleAndEmpty(const std::function<bool()>& nothingQueued);
  // Waits, bounded, until no cycle is running; true when none is.
  bool waitIdle(std::chrono::milliseconds timeout);

 private:
  struct Waiter {
    std::uint64_t ticket = 0;
    bool done = false;
    bool failed = false;
  };
  bool anyWaiting() const;  // caller holds mu_
  // In a forked child: the parent's waiters do not exist there, so fresh conditions and no
  // waiting flush (no destructors: they would wait for them).
  static void renewInChild(void* self);

  ForkSafeMutex mu_{ForkLockRank::kFlushSignal, 0, &FlushSignal::renewInChild, this};
  std::condition_variable wake_;  // the send thread's pause; signalled by a new flush
  std::condition_variable done_;  // the flushes; signalled at every cycle's end
  std::uint64_t lastTicket_ = 0;  // guarded by mu_
  bool inCycle_ = false;          // guarded by mu_
  std::vector<Waiter*> waiters_;  // guarded by mu_; each lives on its flush's stack
};

// The process's one signal (never destroyed).
FlushSignal& flushSignal();

}  // namespace zeplog::detail
