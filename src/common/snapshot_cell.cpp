#include "common/snapshot_cell.hpp"

#include <cstddef>

#include "common/fork_locks.hpp"

namespace zeplog::detail {
namespace {

// More threads than this read under the writers' lock instead.
constexpr std::size_t kReaderSlots = 128;

// Made at compile time, not on first use, and never destroyed (reads during exit): a child
// forked while a thread made them would find them half made. ReaderSlot is trivially
// destructible.
constinit ReaderSlot g_slots[kReaderSlots];

ReaderSlot* slots() { return g_slots; }

enum class SlotState : unsigned char { kNone, kHeld, kReading, kEnded };

// Trivially destructible, so still readable while the thread's other thread-locals are
// destroyed; the Release object gives the slot back at thread exit.
thread_local ReaderSlot* tl_slot = nullptr;
thread_local SlotState tl_state = SlotState::kNone;

// In a forked child, whose only thread is the one that forked: the other threads' claims and
// announcements are dropped, so their slots serve the child's threads and a writer there
// frees the versions they named. The forking thread keeps its own slot (it is not reading:
// no read forks).
void forgetVanishedReaders(void*) {
  for (ReaderSlot& s : g_slots) {
    if (&s == tl_slot) continue;
    s.reading.store(nullptr, std::memory_order_relaxed);
    s.claimed.store(false, std::memory_order_relaxed);
  }
}
void noForkLock(void*) {}

// Joins the fork handlers while the program starts, before any thread can read.
[[maybe_unused]] const bool g_inForkOrder = [] {
  registerForkLock(ForkLockRank::kReaderSlots, 0, g_slots,
                   ForkLockOps{&noForkLock, &noForkLock, &forgetVanishedReaders});
  return true;
}();

struct Release {
  ~Release() {
    tl_state = SlotState::kEnded;
    if (tl_slot) tl_slot->claimed.store(false, std::memory_order_release);
    tl_slot = nullptr;
  }
};

ReaderSlot* claimSlot() {
  ReaderSlot* s = slots();
  for (std::size_t i = 0; i < kReaderSlots; ++i) {
    bool expected = false;
    if (!s[i].claimed.load(std::memory_order_relaxed) &&
        s[i].claimed.compare_exchange_strong(expected, true, std::memory_order_acquire))
      return &s[i];
  }
  return nullptr;
}

}  // namespace

ReaderSlot* enterRead() noexcept {
  if (tl_state == SlotState::kReading || tl_state == SlotState::kEnded) return nullptr;
  if (!tl_slot) {
    tl_slot = claimSlot();
    if (!tl_slot) return nullptr;
    static thread_local Release release;
    (void)release;
  }
  tl_state = SlotState::kReading;
  return tl_slot;
}

void leaveRead(ReaderSlot* slot) noexcept {
  slot->reading.store(nullptr, std::memory_order_release);
  tl_state = SlotState::kHeld;
}

bool anyReaderOf(const void* p) noexcept {
  const ReaderSlot* s = slots();
  for (std::size_t i = 0; i < kReaderSlots; ++i) {
    if (s[i].reading.load(std::memory_order_seq_cst) == p) return true;
  }
  return false;
}

}  // namespace zeplog::detail
