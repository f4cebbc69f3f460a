#include "common/snapshot_cell.hpp"

#include <cstddef>

namespace zeplog::detail {
namespace {

// More threads than this read under the writers' lock instead.
constexpr std::size_t kReaderSlots = 128;

ReaderSlot* slots() {
  static auto* s = new ReaderSlot[kReaderSlots];  // never destroyed: reads during exit
  return s;
}

enum class SlotState : unsigned char { kNone, kHeld, kReading, kEnded };

// Trivially destructible, so still readable while the thread's other thread-locals are
// destroyed; the Release object gives the slot back at thread exit.
thread_local ReaderSlot* tl_slot = nullptr;
thread_local SlotState tl_state = SlotState::kNone;

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
