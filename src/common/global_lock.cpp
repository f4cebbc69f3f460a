#include "common/global_lock.hpp"

#include <new>

#include "common/console.hpp"
#include "common/fork_locks.hpp"

namespace zeplog::detail {
namespace {
// How deep the calling thread holds the lock; only that thread reads or writes it.
thread_local int tl_depth = 0;
}  // namespace

void GlobalResourceLock::lock() {
  mutex_.lock();
  ++tl_depth;
}

bool GlobalResourceLock::try_lock() {
  if (!mutex_.try_lock()) return false;
  ++tl_depth;
  return true;
}

bool GlobalResourceLock::try_lock_for(std::chrono::milliseconds timeout) {
  // Against the system clock: that wait is pthread_mutex_timedlock, which ThreadSanitizer
  // understands (the steady-clock wait is pthread_mutex_clocklock, which it does not see).
  if (!mutex_.try_lock_until(std::chrono::system_clock::now() + timeout)) return false;
  ++tl_depth;
  return true;
}

void GlobalResourceLock::unlock() {
  const bool outermost = --tl_depth == 0;
  mutex_.unlock();
  if (outermost) flushDeferredConsoleLines();
}

bool GlobalResourceLock::heldByThisThread() noexcept { return tl_depth > 0; }

void GlobalResourceLock::forkPrepare() { lock(); }

void GlobalResourceLock::forkParent() { unlock(); }

void GlobalResourceLock::forkChild() {
  // The recursive mutex records its owner by thread id and the child's thread has a new one,
  // so it can't be unlocked here: it is replaced (not destroyed: it is still locked).
  const int keep = --tl_depth;
  new (&mutex_) std::recursive_mutex;
  for (int i = 0; i < keep; ++i) mutex_.lock();
}

GlobalResourceLock& global_resource_lock() {
  static auto* lock = [] {
    auto* made = new GlobalResourceLock;  // never destroyed: late log calls at exit
    registerForkLock(
        ForkLockRank::kGlobalResource, 0, made,
        ForkLockOps{[](void* l) { static_cast<GlobalResourceLock*>(l)->forkPrepare(); },
                    [](void* l) { static_cast<GlobalResourceLock*>(l)->forkParent(); },
                    [](void* l) { static_cast<GlobalResourceLock*>(l)->forkChild(); }});
    return made;
  }();
  return *lock;
}

}  // namespace zeplog::detail
