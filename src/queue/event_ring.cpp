#include "queue/event_ring.hpp"

#include <mutex>
#include <new>
#include <utility>

namespace zeplog {

// One slot; a line of its own, so producers writing neighbouring tickets do not share one.
struct alignas(64) EventRing::Slot {
  std::atomic<std::uint64_t> word{0};  // stamp (ticket + 1; 0: never written) and state
  VelaEventPtr event;                  // owned by whoever moved the word to BUSY
  std::size_t weight = 0;              // of event; likewise
};

EventRing::EventRing(std::size_t capacity, int forkOffset)
    : capacity_(capacity),
      slots_(new Slot[capacity]),
      waitMu_(detail::ForkLockRank::kQueueRing, forkOffset, &EventRing::resetInChild, this) {}

EventRing::~EventRing() = default;

EventRing::Pushed EventRing::push(VelaEventPtr event, std::size_t weight) {
  const std::uint64_t ticket = tail_.fetch_add(1, std::memory_order_seq_cst);
  const std::uint64_t stamp = ticket + 1;
  Slot& slot = slots_[ticket % capacity_];
  Pushed out;
  std::uint64_t cur = slot.word.load(std::memory_order_acquire);
  for (;;) {
    if (stampOf(cur) > stamp) {
      // A producer a lap ahead wrote the slot first: its event is newer, so ours, the older
      // of the two, is the one that goes.
      out.dropped = std::move(event);
      out.kept = false;
      out.sizeAfter = size();
      out.weightAfter = this->weight();
      return out;
    }
    if (stateOf(cur) == kBusy) {
      const std::uint64_t seen = cur;
      waitUntil([&] { return slot.word.load(std::memory_order_seq_cst) != seen; });
      cur = slot.word.load(std::memory_order_acquire);
      continue;
    }
    if (slot.word.compare_exchange_weak(cur, word(stamp, kBusy), std::memory_order_acq_rel,
                                        std::memory_order_acquire))
      break;
  }
  // The slot is ours. An event still in it is the ring's oldest: the ring is full.
  const bool full = stateOf(cur) == kFull;
  std::size_t delta = weight;
  if (full) {
    out.dropped = std::move(slot.event);
    delta -= slot.weight;  // modular: the sum below comes out right either way
  }
  slot.event = std::move(event);
  slot.weight = weight;
  out.sizeAfter = full ? size() : size_.fetch_add(1, std::memory_order_seq_cst) + 1;
  out.weightAfter = weight_.fetch_add(delta, std::memory_order_relaxed) + delta;
  release(slot, word(stamp, kFull));
  return out;
}

VelaEventPtr EventRing::takeHead(std::uint64_t before) {
  for (;;) {
    const std::uint64_t tail = tail_.load(std::memory_order_seq_cst);
    if (head_ >= tail || head_ >= before) {
      headHint_.store(head_, std::memory_order_seq_cst);
      return nullptr;
    }
    // Tickets more than a lap behind the tail are dropped, or will be by the producer
    // holding the ticket a lap later.
    if (tail - head_ > capacity_) head_ = tail - capacity_;
    const std::uint64_t stamp = head_ + 1;
    Slot& slot = slots_[head_ % capacity_];
    std::uint64_t cur = slot.word.load(std::memory_order_acquire);
    if (stampOf(cur) > stamp || (stampOf(cur) == stamp && stateOf(cur) == kEmpty)) {
      ++head_;  // this ticket's event was dropped
      continue;
    }
    if (stampOf(cur) == stamp && stateOf(cur) == kFull) {
      if (!slot.word.compare_exchange_strong(cur, word(stamp, kBusy), std::memory_order_acq_rel,
                                             std::memory_order_acquire))
        continue;  // a producer a lap ahead took it meanwhile
      VelaEventPtr event = std::move(slot.event);
      size_.fetch_sub(1, std::memory_order_seq_cst);
      weight_.fetch_sub(slot.weight, std::memory_order_relaxed);
      slot.weight = 0;
      release(slot, word(stamp, kEmpty));
      ++head_;
      headHint_.store(head_, std::memory_order_seq_cst);
      return event;
    }
    // The producer of this ticket has not finished writing it: wait for it, as for a lock.
    waitUntil([&] {
      const std::uint64_t w = slot.word.load(std::memory_order_seq_cst);
      return stampOf(w) > stamp || (stampOf(w) == stamp && stateOf(w) != kBusy);
    });
  }
}

bool EventRing::headReady() const {
  const std::uint64_t tail = tail_.load(std::memory_order_seq_cst);
  std::uint64_t head = headHint_.load(std::memory_order_seq_cst);
  if (head >= tail) return false;
  if (tail - head > capacity_) head = tail - capacity_;
  const std::uint64_t w = slots_[head % capacity_].word.load(std::memory_order_seq_cst);
  return stampOf(w) > head + 1 || (stampOf(w) == head + 1 && stateOf(w) == kFull);
}

void EventRing::release(Slot& slot, std::uint64_t w) {
  slot.word.store(w, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) != 0) wake();
}

void EventRing::wake() {
  // Taking the lock orders this wake after a waiter's test of its condition.
  { std::lock_guard<std::mutex> lock(waitMu_); }
  waitCv_.notify_all();
}

void EventRing::resetInChild(void* self) {
  auto* ring = static_cast<EventRing*>(self);
  new (&ring->waitCv_) std::condition_variable;  // no destructor: the parent's waiters
  for (std::size_t i = 0; i < ring->capacity_; ++i) {
    Slot& slot = ring->slots_[i];
    if (stateOf(slot.word.load(std::memory_order_relaxed)) == kBusy) {
      new (&slot.event) VelaEventPtr;  // half moved at the fork: left unreleased
    } else {
      slot.event.reset();  // the parent's event, which the parent sends
    }
    slot.weight = 0;
    slot.word.store(0, std::memory_order_relaxed);
  }
  ring->tail_.store(0);
  ring->size_.store(0);
  ring->weight_.store(0);
  ring->head_ = 0;
  ring->headHint_.store(0);
  ring->waiters_.store(0);
}

}  // namespace zeplog
