#include "common/global_lock.hpp"

#include "common/console.hpp"
#include "common/fork_locks.hpp"

namespace zeplog::detail {
namespace {
// How deep the calling thread holds the lock; only that thread reads or writes it. Above
// zero exactly while the thread holds the mutex.
thread_local int tl_depth = 0;

// What runBeforeRelease asked for in the calling thread's current hold.
constexpr int kMaxBeforeRelease = 4;
thread_local void (*tl_beforeRelease[kMaxBeforeRelease])() = {};

void runBeforeReleaseNow() noexcept {
  for (auto& fn : tl_beforeRelease) {
    if (!fn) continue;
    void (*run)() = fn;
    fn = nullptr;
    try {
      run();
    } catch (...) {
    }
  }
}

}  // namespace

void GlobalResourceLock::lock() {
  if (tl_depth == 0) mutex_.lock();
  ++tl_depth;
}

bool GlobalResourceLock::try_lock() {
  if (tl_depth == 0 && !mutex_.try_lock()) return false;
  ++tl_depth;
  return true;
}

bool GlobalResourceLock::try_lock_for(std::chrono::milliseconds timeout) {
  if (tl_depth > 0) {
    ++tl_depth;
    return true;
  }
  // Against the system clock: that wait is pthread_mutex_timedlock, which ThreadSanitizer
  // understands (the steady-clock wait is pthread_mutex_clocklock, which it does not see).
  if (!mutex_.try_lock_until(std::chrono::system_clock::now() + timeout)) return false;
  ++tl_depth;
  return true;
}

void GlobalResourceLock::unlock() {
  if (tl_depth == 1) runBeforeReleaseNow();
  if (--tl_depth > 0) return;
  mutex_.unlock();
  flushDeferredConsoleLines();
}

bool GlobalResourceLock::heldByThisThread() noexcept { return tl_depth > 0; }

void GlobalResourceLock::runBeforeRelease(void (*fn)()) {
  for (auto& slot : tl_beforeRelease) {
    if (slot == fn) return;
  }
  for (auto& slot : tl_beforeRelease) {
    if (!slot) {
      slot = fn;
      return;
    }
  }
  fn();  // more users than slots: a programming error; running it now is still correct
}

void GlobalResourceLock::forkPrepare() { lock(); }

void GlobalResourceLock::forkParent() { unlock(); }

// The child's one thread is the forking thread, which took the lock in forkPrepare: it
// releases it like the parent does (the mutex records no owner for the new thread id to
// contradict).
void GlobalResourceLock::forkChild() { unlock(); }

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

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_globalLockMadeAtLoad =
    (static_cast<void>(global_resource_lock()), true);

}  // namespace zeplog::detail
