// The library's locks around fork(): a forked child never inherits one of them held.
#pragma once

#include <atomic>
#include <mutex>

namespace zeplog::detail {

// Where a lock stands in the fixed order the fork handlers take the library's locks in.
// Before fork() every registered lock is taken in ascending rank; after it, the parent
// releases them and the child resets them, in descending rank. A lock may only be taken
// while holding locks of lower rank, never of higher rank, or the fork handler could
// deadlock against the thread holding it. Locks that later subsystems add (the send thread,
// the settings) take one of the reserved ranks.
enum class ForkLockRank : int {
  kGlobalResource = 100,  // global_resource_lock
  kFlushSignal = 150,     // the flush signal of the send thread (takes channel locks inside)
  kQueueChannel = 200,    // the four channels of the event queue: 200 + channel number
  kSendThread = 300,      // reserved for the send thread
  kSettings = 400,        // reserved for the settings and probe threads
  kHttpClient = 450,      // libcurl's one-time setup and the trusted certificates
  kDeviceId = 500,        // the device-id file
  kDataDirectory = 600,   // the data-directory override
  kConsoleHandler = 700,  // the installed console handler
  kConsoleSink = 800,     // the stderr writer
};

// What the fork handlers do with one lock. `lock` runs before fork(); `unlockParent` in the
// parent after it; `resetChild` in the child, whose only thread is the one that forked and
// so holds the lock (a recursive mutex can't simply be unlocked there: its owner is recorded
// by thread id, and the child's thread has a new one).
struct ForkLockOps {
  void (*lock)(void* object);
  void (*unlockParent)(void* object);
  void (*resetChild)(void* object);
};

// Adds a lock to the fork order; offset orders locks of one rank. The first registration
// installs the fork handlers (pthread_atfork). Registered locks must live for the process.
void registerForkLock(ForkLockRank rank, int offset, void* object, ForkLockOps ops);

// Locks whose child reset is a plain unlock (std::mutex: no owner check on unlock).
inline void registerForkLock(ForkLockRank rank, std::mutex* mutex, int offset = 0) {
  registerForkLock(rank, offset, mutex,
                   ForkLockOps{[](void* m) { static_cast<std::mutex*>(m)->lock(); },
                               [](void* m) { static_cast<std::mutex*>(m)->unlock(); },
                               [](void* m) { static_cast<std::mutex*>(m)->unlock(); }});
}

// ---- The forked child's restart ----------------------------------------------------------
//
// A forked child has only the thread that called fork(): the library's own threads (send,
// settings, probes, crash upload) are gone, and their state says they run. The child handler
// marks the child; its first library call then runs the restart registered here, once, on
// the caller's thread, before it does anything else. A child that never calls the library
// (fork and exec) pays nothing.

// Registers the restart (replacing an earlier one). Registered by the first initialisation.
void setForkedChildRestart(void (*restart)());

// True from the fork to the start of the restart, in a child only.
extern std::atomic<bool> g_forkedChildRestartPending;
void runForkedChildRestart() noexcept;  // a failure becomes a console line

// Runs the restart if this process is a child whose library has not restarted yet. Cheap:
// every entry point calls it.
inline void restartIfForkedChild() noexcept {
  if (g_forkedChildRestartPending.load(std::memory_order_relaxed)) runForkedChildRestart();
}

}  // namespace zeplog::detail
