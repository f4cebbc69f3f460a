// The process-wide re-entrant lock and what happens when its outermost hold ends.
#pragma once

#include <chrono>
#include <mutex>

namespace zeplog::detail {

// The library's one re-entrant lock (global_resource_lock). It guards the handle registry,
// the handle records, the process-wide switches and the send thread's batches. A log call
// does not take it on its usual road: it reads its handle from a snapshot and appends to
// the main queue's lock-free ring (docs/api.md says when it still can).
//
// Contract: nothing that can block runs while it is held (no name lookup, request, file I/O,
// console output or application callback). Console lines made under it are kept per thread
// and delivered, in order, when the thread's outermost hold ends, so a console handler never
// runs under the lock. Channel locks of the event queue are taken after it, never before;
// it has the lowest rank of the fork order (common/fork_locks.hpp), so no other library lock
// is ever held while it is taken.
class GlobalResourceLock {
 public:
  GlobalResourceLock() = default;
  GlobalResourceLock(const GlobalResourceLock&) = delete;
  GlobalResourceLock& operator=(const GlobalResourceLock&) = delete;

  void lock();
  bool try_lock();
  // Waits at most timeout for the lock (the crash upload, which must not wait forever).
  bool try_lock_for(std::chrono::milliseconds timeout);
  void unlock();

  // True when the calling thread holds the lock (at any depth).
  static bool heldByThisThread() noexcept;
  // Runs fn, still under the lock, when the calling thread's outermost hold ends; once
  // however often it is asked for in one hold. The caller holds the lock. For state that
  // readers without the lock see only whole: made under the lock, published at its end.
  // An exception fn throws is swallowed (fn keeps its own state for a later attempt).
  static void runBeforeRelease(void (*fn)());

  // The fork handlers (see common/fork_locks.hpp): taken before fork() and released after
  // it, in the parent and in the child alike.
  void forkPrepare();
  void forkParent();
  void forkChild();

 private:
  // Re-entry is counted per thread (a thread that holds the lock takes it again without
  // touching the mutex), so the mutex itself need not be recursive. A plain mutex records no
  // owner, which lets the child of fork() release what its forking thread took.
  //
  // Not a ForkSafe mutex: the fork handlers must take it through lock()/unlock(), which
  // keep the per-thread depth right (a thread that forks while holding it must not take the
  // mutex a second time); global_resource_lock() registers those at the lowest rank.
  std::timed_mutex mutex_;
};

// The one instance; created on first use and never destroyed.
GlobalResourceLock& global_resource_lock();

using GlobalLock = std::lock_guard<GlobalResourceLock>;
using GlobalUniqueLock = std::unique_lock<GlobalResourceLock>;

}  // namespace zeplog::detail
