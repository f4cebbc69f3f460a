// A blocking FIFO hand-over channel: one mutex, one condition, one container.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "common/fork_locks.hpp"

namespace zeplog {

namespace detail {

// Blocks a channel's deque has freed, kept for its next allocations of the same size: items
// that come and go in a steady stream (a producer appending, a consumer taking) make the
// deque free one block at the head and allocate one at the tail every few dozen items; with
// the cache that stops once the channel has reached its usual depth. Holds at most
// kMaxBlocks blocks of one size (the deque's item blocks). Used only under the channel's lock.
class BlockCache {
 public:
  static constexpr std::size_t kMaxBlocks = 64;

  BlockCache() = default;
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;
  ~BlockCache() {
    for (std::size_t i = 0; i < count_; ++i) ::operator delete(blocks_[i]);
  }

  void* allocate(std::size_t bytes) {
    if (bytes == size_ && count_ > 0) return blocks_[--count_];
    if (size_ == 0) size_ = bytes;
    return ::operator new(bytes);
  }
  void deallocate(void* p, std::size_t bytes) noexcept {
    if (size_ == 0) size_ = bytes;
    if (bytes == size_ && count_ < kMaxBlocks) {
      blocks_[count_++] = p;
      return;
    }
    ::operator delete(p);
  }

 private:
  std::size_t size_ = 0;  // the one block size kept
  std::size_t count_ = 0;
  void* blocks_[kMaxBlocks];
};

// The deque allocator over a channel's BlockCache. Only the blocks of items (T == Item) go
// through the cache; the deque's other allocations (its block map) go to the heap.
template <typename T, typename Item>
struct CachedAllocator {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = CachedAllocator<U, Item>;
  };

  explicit CachedAllocator(BlockCache* cache) noexcept : cache(cache) {}
  template <typename U>
  CachedAllocator(const CachedAllocator<U, Item>& other) noexcept : cache(other.cache) {}

  T* allocate(std::size_t n) {
    if constexpr (std::is_same_v<T, Item>) return static_cast<T*>(cache->allocate(n * sizeof(T)));
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if constexpr (std::is_same_v<T, Item>) {
      cache->deallocate(p, n * sizeof(T));
    } else {
      ::operator delete(p);
    }
  }

  template <typename U>
  bool operator==(const CachedAllocator<U, Item>& other) const noexcept {
    return cache == other.cache;
  }

  BlockCache* cache;
};

}  // namespace detail

// The weight of items that are only bounded in number.
struct NoWeight {
  template <typename T>
  constexpr std::size_t operator()(const T&) const noexcept {
    return 0;
  }
};

// A first-in-first-out channel between producer threads and one consumer thread. Index 0 of
// the items is the head (the oldest), the end is the tail. Producers never wait for room:
// a bounded append makes room by dropping an item, and the caller chooses which one.
// Consumers wait on the condition, re-testing emptiness after every wake-up, so a wake-up
// without an item is harmless.
//
// Besides their number, the channel keeps the total weight of its items (Weigh(item), e.g.
// an event's bytes), so appends can bound both. The weight of an item is taken again when it
// leaves; an item changed while queued is reweighed when a Locked access ends, and the total
// restarts from 0 whenever the channel empties, so it never drifts for long.
//
// Every append wakes one waiter; Locked::broadcast wakes all of them, for callers that put
// many items back at once while holding the lock.
template <typename T, typename Weigh = NoWeight>
class Channel {
 public:
  using Items = std::deque<T, detail::CachedAllocator<T, T>>;
  static constexpr std::size_t kNoBound = std::numeric_limits<std::size_t>::max();

  // forkOffset: the channel's place in the fork order, ForkLockRank::kQueueChannel + offset
  // (the event queue numbers its four channels 0 to 3).
  explicit Channel(int forkOffset = 0)
      : mu_(detail::ForkLockRank::kQueueChannel, forkOffset, &Channel::renewInChild, this) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // What an append dropped to make room: the first dropped item, handed back so the caller
  // releases it outside the lock (and outside any lock of its own), and how many went. More
  // than one goes only when the weight bound makes room for a heavy item; those after the
  // first are released under the lock.
  struct Dropped {
    T head{};
    std::size_t count = 0;
    std::size_t sizeAfter = 0;    // items held once the append was done
    std::size_t weightAfter = 0;  // their total weight then
    std::size_t weighed = 0;      // the appended item's weight (0 when it was dropped)
  };

  // Appends at the tail; first drops heads while `bound` or more items are held, or while
  // the new item would take the total weight past `weightBound`. An item heavier than
  // `weightBound` on its own is dropped instead (and handed back), and the queued ones stay.
  Dropped pushBackTakeHead(T item, std::size_t bound, std::size_t weightBound = kNoBound) {
    const std::size_t w = Weigh{}(item);
    Dropped dropped;
    if (w > weightBound) {
      dropped.head = std::move(item);
      dropped.count = 1;
      return dropped;
    }
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!items_.empty() && (items_.size() >= bound || weight_ > weightBound - w)) {
        dropped.head = popHead();
        dropped.count = 1 + trimHead(items_, weight_, bound, weightBound - w);
      }
      items_.push_back(std::move(item));
      weight_ += w;
      dropped.sizeAfter = items_.size();
      dropped.weightAfter = weight_;
      dropped.weighed = w;
    }
    cv_.notify_one();
    return dropped;
  }

  // The same, for callers that need only the number dropped.
  std::size_t pushBackDropHead(T item, std::size_t bound, std::size_t weightBound = kNoBound) {
    return pushBackTakeHead(std::move(item), bound, weightBound).count;
  }

  // Inserts at the head; first drops tails (the newest items) while `bound` or more are held
  // or the weight bound would be passed, as pushBackDropHead. Returns the number dropped.
  std::size_t pushFrontDropTail(T item, std::size_t bound, std::size_t weightBound = kNoBound) {
    const std::size_t w = Weigh{}(item);
    std::size_t dropped = 0;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (w > weightBound) return 1;
      while (!items_.empty() && (items_.size() >= bound || weight_ > weightBound - w)) {
        removeWeight(weight_, Weigh{}(items_.back()));
        items_.pop_back();
        ++dropped;
      }
      if (items_.empty()) weight_ = 0;
      items_.push_front(std::move(item));
      weight_ += w;
    }
    cv_.notify_one();
    return dropped;
  }

  // Appends at the tail only while fewer than `bound` items are held; a full channel drops
  // the new item and wakes nobody. True when the item was kept.
  bool pushBackIfRoom(T item, std::size_t bound) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (items_.size() >= bound) return false;
      items_.push_back(std::move(item));
    }
    cv_.notify_one();
    return true;
  }

  // Appends at the tail without a limit.
  void pushBack(T item) { pushBackDropHead(std::move(item), kNoBound); }

  // Waits while the channel is empty, then removes and returns the head.
  T take() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return !items_.empty(); });
    return popHead();
  }

  // Removes and returns the head without waiting; a default T when the channel is empty.
  T takeIfAny() {
    std::lock_guard<std::mutex> g(mu_);
    if (items_.empty()) return T();
    return popHead();
  }

  // Waits while the channel is empty, then returns the number of items (at least 1).
  std::int32_t waitCount() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return !items_.empty(); });
    return toCount(items_.size());
  }

  // The number of items now, without waiting.
  std::int32_t count() {
    std::lock_guard<std::mutex> g(mu_);
    return toCount(items_.size());
  }

  // The total weight of the items now.
  std::size_t weight() {
    std::lock_guard<std::mutex> g(mu_);
    return weight_;
  }

  // Exclusive access to the items for as long as the object lives; for saving a channel to
  // a file and putting saved items back. Take it after any outer lock of the caller's and
  // never hold two channels' Locked at once. The total weight is taken afresh when it ends,
  // so the holder may change the items freely.
  class Locked {
   public:
    explicit Locked(Channel& c) : channel_(c), lock_(c.mu_) {}
    ~Locked() { channel_.weight_ = weighAll(channel_.items_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    Items& items() { return channel_.items_; }
    // Drops heads while `bound` or more items are held or their weight is above
    // `weightBound`: the rule of pushBackDropHead. Returns the number dropped.
    std::size_t trimHead(std::size_t bound, std::size_t weightBound = kNoBound) {
      std::size_t w = weighAll(channel_.items_);
      return Channel::trimHead(channel_.items_, w, bound, weightBound);
    }
    // Wakes every waiter; they re-test emptiness once the lock is released.
    void broadcast() { channel_.cv_.notify_all(); }

   private:
    Channel& channel_;
    std::unique_lock<std::mutex> lock_;
  };
  Locked lock() { return Locked(*this); }

 private:
  // In a forked child: a fresh condition, since the parent's waiting threads do not exist
  // there and a condition that still counts them could block the child's first notify (no
  // destructor: it would wait for them).
  static void renewInChild(void* self) {
    new (&static_cast<Channel*>(self)->cv_) std::condition_variable;
  }

  // Drops heads while `bound` or more items are held or their weight is above `weightRoom`.
  static std::size_t trimHead(Items& items, std::size_t& weight, std::size_t bound,
                              std::size_t weightRoom) {
    std::size_t dropped = 0;
    while (!items.empty() && (items.size() >= bound || weight > weightRoom)) {
      removeWeight(weight, Weigh{}(items.front()));
      items.pop_front();
      ++dropped;
    }
    if (items.empty()) weight = 0;
    return dropped;
  }
  static void removeWeight(std::size_t& total, std::size_t w) { total = w < total ? total - w : 0; }
  static std::size_t weighAll(const Items& items) {
    std::size_t total = 0;
    if constexpr (!std::is_same_v<Weigh, NoWeight>) {
      for (const T& item : items) total += Weigh{}(item);
    }
    return total;
  }
  // Removes the head; the caller holds mu_ and has seen the channel non-empty.
  T popHead() {
    T head = std::move(items_.front());
    items_.pop_front();
    removeWeight(weight_, Weigh{}(head));
    if (items_.empty()) weight_ = 0;
    return head;
  }
  static std::int32_t toCount(std::size_t n) {
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(n < kMax ? n : kMax);
  }

  // Guards items_, cache_ and weight_; cv_ waits on it. In the fork order, so a forked
  // child never inherits the channel locked.
  detail::ForkSafeMutex mu_;
  std::condition_variable cv_;  // signalled when items_ gains an item
  detail::BlockCache cache_;    // guarded by mu_; declared first, so it outlives items_
  Items items_{detail::CachedAllocator<T, T>(&cache_)};  // guarded by mu_
  std::size_t weight_ = 0;  // guarded by mu_: the sum of Weigh over items_
};

}  // namespace zeplog
