// One thread's ring of log-call records: written by its thread, read by the drain.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace zeplog::detail {

// A single-producer, single-consumer ring of variable-size records in a fixed buffer.
//
// The producer (the one thread that owns the ring) writes a record into free space and
// publishes it with one release store of tail_; the consumer (the drain, serialised by the
// staging lock) reads records between head_ and the tail it loaded with acquire, and hands
// the space back with a release store of head_. Positions are byte counts that only grow;
// a position's place in the buffer is its remainder by kBytes. A record never wraps: when
// one does not fit before the buffer's end, a padding record fills the rest and the record
// starts at the beginning.
//
// The producer knows the ring is full when the record does not fit behind head_; it then
// makes room with dropOldest under the consumer's lock (see LogStaging), never waits here. Nothing
// here locks, counts between threads or allocates after construction.
class StagingRing {
 public:
  static constexpr std::size_t kBytes = std::size_t{256} << 10;
  static constexpr std::size_t kAlign = 8;
  // The largest record kept here; a larger one takes the caller's direct path.
  static constexpr std::size_t kMaxRecord = kBytes / 4;

  static constexpr std::size_t rounded(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

  // Room for a record of `bytes` (a multiple of kAlign, at most kMaxRecord): its address, or
  // nullptr when the ring is full. Producer only; publish() makes it visible.
  char* reserve(std::size_t bytes) {
    std::uint64_t at = tail_.load(std::memory_order_relaxed);
    const std::size_t offset = at % kBytes;
    const std::size_t pad = kBytes - offset < bytes ? kBytes - offset : 0;
    if (at + pad + bytes - cachedHead_ > kBytes) {
      cachedHead_ = head_.load(std::memory_order_acquire);
      if (at + pad + bytes - cachedHead_ > kBytes) return nullptr;
    }
    if (pad != 0) {
      writePadding(buffer_ + offset, pad);
      at += pad;
      tail_.store(at, std::memory_order_release);
    }
    return buffer_ + at % kBytes;
  }
  // Makes the reserved record of `bytes` visible to the consumer.
  void publish(std::size_t bytes) {
    published_.store(published_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    tail_.store(tail_.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
  }

  // Consumer side, under the staging lock.
  std::uint64_t head() const { return head_.load(std::memory_order_relaxed); }
  std::uint64_t publishedTail() const { return tail_.load(std::memory_order_acquire); }
  bool hasRecords() const { return publishedTail() != head(); }
  // The record at position `at` (head() <= at < publishedTail()), padding included.
  const char* recordAt(std::uint64_t at) const { return buffer_ + at % kBytes; }
  // Under the lock that serialises the consumer side: drops the oldest records until
  // `bytes` more fit behind the tail (all of them at most); returns how many records went
  // (padding aside).
  std::uint64_t dropOldest(std::size_t bytes) {
    std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t offset = tail % kBytes;
    const std::size_t pad = kBytes - offset < bytes ? kBytes - offset : 0;
    std::uint64_t dropped = 0;
    while (head != tail && tail + pad + bytes - head > kBytes) {
      const Prefix p = prefixAt(recordAt(head));
      dropped += p.kind != 0;
      head += p.size;
    }
    release(head, dropped);
    return dropped;
  }
  // True when more than half the ring holds records: the drain should come soon.
  bool overHalf() const { return byteCount() > kBytes / 2; }
  // The same as the producer sees it, from its own last look at head_ (looked at again only
  // when that says over half): no read of the consumer's line on the usual call.
  bool producerSeesOverHalf() {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - cachedHead_ <= kBytes / 2) return false;
    cachedHead_ = head_.load(std::memory_order_acquire);
    return tail - cachedHead_ > kBytes / 2;
  }

  // Hands the space up to upTo back to the producer; `records` records were in it.
  void release(std::uint64_t upTo, std::uint64_t records) {
    taken_.store(taken_.load(std::memory_order_relaxed) + records, std::memory_order_relaxed);
    head_.store(upTo, std::memory_order_release);
  }
  // The records published and not yet released, and their bytes: exact when neither side
  // is under way, else off by the records in flight (for bounds and waits, not for data).
  std::uint64_t recordCount() const {
    const std::uint64_t taken = taken_.load(std::memory_order_relaxed);
    const std::uint64_t published = published_.load(std::memory_order_relaxed);
    return published > taken ? published - taken : 0;
  }
  std::uint64_t byteCount() const {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    return tail > head ? tail - head : 0;
  }

  // Every record's first word is its size; padding records have kind 0.
  struct Prefix {
    std::uint32_t size;
    std::uint32_t kind;  // 0: padding
  };
  static Prefix prefixAt(const char* record) {
    Prefix p;
    std::memcpy(&p, record, sizeof p);
    return p;
  }

  // A forked child's ring: empty, its records left to the parent, which sends them.
  void emptyInChild() {
    head_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    taken_.store(published_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    cachedHead_ = head_.load(std::memory_order_relaxed);
  }

  // Who holds the ring: a live thread, a thread that ended (drained before reuse), nobody.
  enum class Owner : std::uint8_t { kFree, kThread, kEnded };
  std::atomic<Owner> owner{Owner::kFree};  // changed under the staging lock, or by the
                                           // owning thread at its end (kThread to kEnded)

 private:
  static void writePadding(char* at, std::size_t bytes) {
    const Prefix p{static_cast<std::uint32_t>(bytes), 0};
    std::memcpy(at, &p, sizeof p);
  }

  alignas(64) std::atomic<std::uint64_t> tail_{0};  // written by the producer
  std::atomic<std::uint64_t> published_{0};         // records published; the producer's
  std::uint64_t cachedHead_ = 0;                    // the producer's last look at head_
  alignas(64) std::atomic<std::uint64_t> head_{0};  // written by the consumer
  std::atomic<std::uint64_t> taken_{0};             // records released; the consumer's
  alignas(64) char buffer_[kBytes];
};

}  // namespace zeplog::detail
