#include "common/fork_locks.hpp"

#include "common/console.hpp"
#include "common/no_destructor.hpp"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <new>

namespace zeplog::detail {
namespace {

struct Entry {
  int order;
  void* object;
  ForkLockOps ops;
};

// A fixed table: the fork handlers must not allocate. Process-wide locks stay for the
// process; an object that owns locks (a queue, a reachability object) adds a few while it
// lives.
constexpr int kMaxEntries = 128;

// The registry's own two locks stay out of the fork order: they are the fork handlers'
// machinery (the child rebuilds `lock` and releases `forking` itself).
struct Registry {
  std::mutex lock;  // guards entries and count; held only briefly, never across fork()
  Entry entries[kMaxEntries] = {};
  int count = 0;
  bool handlersInstalled = false;  // guarded by lock

  // Held from the prepare handler to the parent's or child's handler: one fork at a time
  // uses `taken`, the copy of the entries whose locks the prepare handler took. The
  // registry's own lock is not held across fork(), because a lock may be registered
  // while its holder holds another registered lock (a first use under the global lock).
  std::mutex forking;
  Entry taken[kMaxEntries] = {};  // guarded by forking
  int takenCount = 0;             // guarded by forking
};

std::atomic<void (*)()> g_restart{nullptr};

// Made at compile time and never destroyed: a fork during exit still finds it, and no first
// use can leave a forked child waiting on a half-made guard.
constinit NoDestructor<Registry> g_registry;
Registry& registry() { return g_registry.value; }

void prepare() {
  Registry& r = registry();
  r.forking.lock();
  {
    std::lock_guard<std::mutex> g(r.lock);
    std::copy(r.entries, r.entries + r.count, r.taken);
    r.takenCount = r.count;
  }
  for (int i = 0; i < r.takenCount; ++i) r.taken[i].ops.lock(r.taken[i].object);
}

void parent() {
  Registry& r = registry();
  for (int i = r.takenCount - 1; i >= 0; --i) r.taken[i].ops.unlockParent(r.taken[i].object);
  r.forking.unlock();
}

void child() {
  Registry& r = registry();
  for (int i = r.takenCount - 1; i >= 0; --i) r.taken[i].ops.resetChild(r.taken[i].object);
  // Another thread may have been registering at the fork; it does not exist here.
  new (&r.lock) std::mutex;
  r.forking.unlock();
  if (g_restart.load() != nullptr) g_forkedChildRestartPending.store(true);
}

}  // namespace

std::atomic<bool> g_forkedChildRestartPending{false};

void setForkedChildRestart(void (*restart)()) { g_restart.store(restart); }

void runForkedChildRestart() noexcept {
  // Exchanged first: the restart itself calls entry points, and a grandchild forked during
  // it is marked afresh by its own child handler.
  if (!g_forkedChildRestartPending.exchange(false)) return;
  try {
    if (void (*restart)() = g_restart.load()) restart();
  } catch (const std::exception& e) {
    consoleFailureLine(__LINE__, "restart in forked child", e.what());
  } catch (...) {
    consoleFailureLine(__LINE__, "restart in forked child", "unknown");
  }
}

void registerForkLock(ForkLockRank rank, int offset, void* object, ForkLockOps ops) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  // Without fork handlers a forked child may hang: nothing else to do if this fails.
  if (!r.handlersInstalled) r.handlersInstalled = ::pthread_atfork(prepare, parent, child) == 0;
  if (r.count == kMaxEntries) return;  // a programming error: raise kMaxEntries
  const int order = static_cast<int>(rank) + offset;
  Entry* end = r.entries + r.count;
  Entry* at =
      std::upper_bound(r.entries, end, order, [](int o, const Entry& e) { return o < e.order; });
  std::move_backward(at, end, end + 1);
  *at = Entry{order, object, ops};
  ++r.count;
}

void unregisterForkLock(void* object) {
  Registry& r = registry();
  // Also waits for a fork under way, which may have taken the lock about to be destroyed.
  // (Unlike a registration, which may happen under another registered lock, no library lock
  // is destroyed while its owner holds another one.)
  std::lock_guard<std::mutex> forking(r.forking);
  std::lock_guard<std::mutex> g(r.lock);
  Entry* end = r.entries + r.count;
  Entry* at = std::find_if(r.entries, end, [object](const Entry& e) { return e.object == object; });
  if (at == end) return;
  std::move(at + 1, end, at);
  --r.count;
}

std::vector<RegisteredForkLock> registeredForkLocks() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  std::vector<RegisteredForkLock> out;
  for (int i = 0; i < r.count; ++i)
    out.push_back({r.entries[i].order, r.entries[i].object, r.entries[i].ops});
  return out;
}

}  // namespace zeplog::detail
