// The library's locks around fork(): a forked child never inherits one of them held.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

namespace zeplog::detail {

// Where a lock stands in the fixed order the fork handlers take the library's locks in.
// Before fork() every registered lock is taken in ascending rank; after it, the parent
// releases them and the child resets them, in descending rank. A lock may only be taken
// while holding locks of lower rank, never of higher rank, or the fork handler could
// deadlock against the thread holding it. docs/architecture.md lists every lock.
enum class ForkLockRank : int {
  kGlobalResource = 100,      // global_resource_lock
  kLogStaging = 140,          // the staging drain (channel locks, flush signal inside)
  kLogStagingRings = 145,     // the staging rings' consumer side (short holds)
  kFlushSignal = 150,         // the flush signal of the send thread (takes channel locks inside)
  kQueueFiles = 190,          // a queue's file monitor (takes channel locks inside)
  kQueueChannel = 200,        // the four channels of the event queue: 200 + channel number
  kQueueRing = 210,           // the wait lock of the main queue's ring
  kSendHold = 300,            // the send thread's hold switches
  kQueueByteLimit = 350,      // the event queue's byte bound
  kSettingsBase = 400,        // the settings base URL override
  kCrashState = 420,          // crash capture's armed state
  kHttpClient = 450,          // libcurl's one-time setup, the trusted certificates, the proxy
  kDeviceId = 500,            // the device-id file
  kUploadConsent = 550,       // the upload-consent record and its waiters
  kDataDirectory = 600,       // the data-directory override
  kReachability = 650,        // a reachability object's blocks and notifier (650, 651)
  kNotificationCenter = 660,  // a notification centre's observers
  kConsoleHandler = 700,      // the installed console handler
  kConsoleSink = 800,         // the stderr writer
  kBlockPool = 900,           // the block pool's depot (blocks are freed under any lock)
  kReaderSlots = 950,         // the snapshot readers' slots (no lock: reset in the child)
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
// installs the fork handlers (pthread_atfork). A registered lock stays registered until
// unregisterForkLock(object); an object must not be destroyed while it is registered.
void registerForkLock(ForkLockRank rank, int offset, void* object, ForkLockOps ops);
void unregisterForkLock(void* object);

// The locks registered now, in the order the fork handlers take them (for the fork test,
// which holds each of them from a thread of its own while it forks).
struct RegisteredForkLock {
  int order;
  void* object;
  ForkLockOps ops;
};
std::vector<RegisteredForkLock> registeredForkLocks();

// A mutex (std::mutex, std::recursive_mutex, ...) that joins the fork order at
// construction, at its rank, and leaves it at destruction: a forked child never inherits it
// held. The child gets it back unlocked: its only thread is the one that forked, which took
// it before fork() and unlocks a plain mutex; a recursive mutex records its owner by thread
// id, which is new in the child, so it is made afresh there instead.
//
// It is the mutex itself (std::lock_guard<std::mutex>, std::unique_lock<std::mutex> and
// std::condition_variable take it as one). `renewInChild`, when given, also runs in the
// child, before the lock is given back, with `owner`: an owner renews there its condition
// variables, whose parent's waiters do not exist in the child (a condition that still
// counts them could block the child's first notify).
template <typename Mutex>
class ForkSafe : public Mutex {
 public:
  explicit ForkSafe(ForkLockRank rank, int offset = 0, void (*renewInChild)(void*) = nullptr,
                    void* owner = nullptr)
      : renewInChild_(renewInChild), owner_(owner) {
    registerForkLock(rank, offset, this,
                     ForkLockOps{[](void* m) { static_cast<ForkSafe*>(m)->lock(); },
                                 [](void* m) { static_cast<ForkSafe*>(m)->unlock(); },
                                 [](void* m) { static_cast<ForkSafe*>(m)->resetInChild(); }});
  }
  ~ForkSafe() { unregisterForkLock(this); }
  ForkSafe(const ForkSafe&) = delete;
  ForkSafe& operator=(const ForkSafe&) = delete;

 private:
  void resetInChild() {
    if (renewInChild_) renewInChild_(owner_);
    if constexpr (std::is_same_v<Mutex, std::mutex>) {
      // A plain mutex has no owner check: the thread that took it before fork() gives it
      // back, which also keeps ThreadSanitizer's view of the lock whole.
      this->unlock();
    } else {
      // No destructor: the old mutex is held by a thread that does not exist here.
      new (static_cast<Mutex*>(this)) Mutex;
    }
  }

  void (*const renewInChild_)(void*);
  void* const owner_;
};

using ForkSafeMutex = ForkSafe<std::mutex>;
using ForkSafeRecursiveMutex = ForkSafe<std::recursive_mutex>;

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
