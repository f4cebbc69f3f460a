#include "common/block_pool.hpp"

#include <mutex>
#include <new>

#include "common/fork_locks.hpp"
#include "common/no_destructor.hpp"

namespace zeplog::detail {
namespace {

constexpr std::size_t kClasses = kMaxPooledBytes / kPoolClassBytes;

std::size_t classOf(std::size_t bytes) {
  return (bytes + kPoolClassBytes - 1) / kPoolClassBytes - 1;
}
std::size_t classBytes(std::size_t cls) { return (cls + 1) * kPoolClassBytes; }

// The free blocks every thread shares.
struct Depot {
  std::mutex mu;                                  // in the fork order at kBlockPool
  void* blocks[kClasses][kPoolDepotBlocks] = {};  // guarded by mu
  std::size_t count[kClasses] = {};               // guarded by mu
};
// Made at compile time, not on first use (a child forked while a thread made it would wait
// for that thread forever), and never destroyed: events are freed during exit.
constinit NoDestructor<Depot> g_depot;
Depot& depot() { return g_depot.value; }

// Its lock joins the fork order while the program starts, before any thread can take it:
// a forked child gets the depot whole and its lock free.
[[maybe_unused]] const bool g_inForkOrder = [] {
  registerForkLock(ForkLockRank::kBlockPool, 0, &g_depot.value,
                   ForkLockOps{[](void* d) { static_cast<Depot*>(d)->mu.lock(); },
                               [](void* d) { static_cast<Depot*>(d)->mu.unlock(); },
                               // The forking thread took it before fork(): it gives it back.
                               [](void* d) { static_cast<Depot*>(d)->mu.unlock(); }});
  return true;
}();

// One thread's free blocks per class. Trivially destructible, so usable while the thread's
// other thread-locals are destroyed; Flush hands them to the depot at thread exit.
struct Cache {
  void* blocks[kPoolCacheBlocks];
  std::size_t count = 0;
};
enum class CacheState : unsigned char { kNone, kLive, kEnded };
thread_local Cache tl_caches[kClasses];
thread_local CacheState tl_state = CacheState::kNone;

// Moves blocks from the cache to the depot until the cache holds `keep`; blocks the depot
// has no room for are freed.
void spill(Cache& cache, std::size_t cls, std::size_t keep) noexcept {
  Depot& d = depot();
  std::lock_guard<std::mutex> g(d.mu);
  while (cache.count > keep) {
    void* p = cache.blocks[--cache.count];
    if (d.count[cls] < kPoolDepotBlocks) {
      d.blocks[cls][d.count[cls]++] = p;
    } else {
      ::operator delete(p);
    }
  }
}

struct Flush {
  ~Flush() {
    tl_state = CacheState::kEnded;
    for (std::size_t cls = 0; cls < kClasses; ++cls) spill(tl_caches[cls], cls, 0);
  }
};

// The calling thread's cache of the class, or nullptr once the thread is ending.
Cache* cacheOf(std::size_t cls) {
  if (tl_state == CacheState::kEnded) return nullptr;
  if (tl_state == CacheState::kNone) {
    static thread_local Flush flush;
    (void)flush;
    tl_state = CacheState::kLive;
  }
  return &tl_caches[cls];
}

}  // namespace

void* poolAllocate(std::size_t bytes) {
  if (bytes == 0 || bytes > kMaxPooledBytes) return ::operator new(bytes);
  const std::size_t cls = classOf(bytes);
  Cache* cache = cacheOf(cls);
  if (cache && cache->count == 0) {
    // Refill half the cache from the depot.
    Depot& d = depot();
    std::lock_guard<std::mutex> g(d.mu);
    while (cache->count < kPoolCacheBlocks / 2 && d.count[cls] > 0)
      cache->blocks[cache->count++] = d.blocks[cls][--d.count[cls]];
  }
  if (cache && cache->count > 0) return cache->blocks[--cache->count];
  if (!cache) {
    Depot& d = depot();
    std::lock_guard<std::mutex> g(d.mu);
    if (d.count[cls] > 0) return d.blocks[cls][--d.count[cls]];
  }
  return ::operator new(classBytes(cls));
}

void poolFree(void* p, std::size_t bytes) noexcept {
  if (!p) return;
  if (bytes == 0 || bytes > kMaxPooledBytes) {
    ::operator delete(p);
    return;
  }
  const std::size_t cls = classOf(bytes);
  Cache* cache = cacheOf(cls);
  if (!cache) {
    Cache one;
    one.blocks[one.count++] = p;
    spill(one, cls, 0);
    return;
  }
  if (cache->count == kPoolCacheBlocks) spill(*cache, cls, kPoolCacheBlocks / 2);
  cache->blocks[cache->count++] = p;
}

}  // namespace zeplog::detail
