#include "common/fork_locks.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>

namespace zeplog::detail {
namespace {

struct Entry {
  int order;
  void* object;
  ForkLockOps ops;
};

// A fixed table: registration happens a handful of times per process, and the fork
// handlers must not allocate.
constexpr int kMaxEntries = 32;

struct Registry {
  std::mutex lock;  // guards the members below; held from the prepare handler to the after
  Entry entries[kMaxEntries];
  int count = 0;
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: a fork during exit still finds it
  return *r;
}

void prepare() {
  Registry& r = registry();
  r.lock.lock();
  for (int i = 0; i < r.count; ++i) r.entries[i].ops.lock(r.entries[i].object);
}

void parent() {
  Registry& r = registry();
  for (int i = r.count - 1; i >= 0; --i) r.entries[i].ops.unlockParent(r.entries[i].object);
  r.lock.unlock();
}

void child() {
  Registry& r = registry();
  for (int i = r.count - 1; i >= 0; --i) r.entries[i].ops.resetChild(r.entries[i].object);
  r.lock.unlock();
}

}  // namespace

void registerForkLock(ForkLockRank rank, int offset, void* object, ForkLockOps ops) {
  static const bool installed = [] {
    registry();
    return ::pthread_atfork(prepare, parent, child) == 0;
  }();
  (void)installed;  // without fork handlers a forked child may hang: nothing else to do
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.count == kMaxEntries) return;  // a programming error: raise kMaxEntries
  const int order = static_cast<int>(rank) + offset;
  Entry* end = r.entries + r.count;
  Entry* at =
      std::upper_bound(r.entries, end, order, [](int o, const Entry& e) { return o < e.order; });
  std::move_backward(at, end, end + 1);
  *at = Entry{order, object, ops};
  ++r.count;
}

}  // namespace zeplog::detail
