// Breadcrumbs: the last log calls of the process, kept for crash reports.
//
// A fixed ring of at most kMaxBreadcrumbs slots in static storage, written by log calls
// without locks or allocation and read by the crash handler without allocating. Each slot
// is a sequence lock of its own: its sequence number is odd while a writer fills it and
// 2 * index + 2 once entry `index` is whole, so a reader takes only whole entries and
// recognises a slot that was overwritten or is being written. Every word is an atomic
// (relaxed), so readers and writers never race in the language's sense.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/log_gate.hpp"

namespace zeplog::detail {

constexpr std::uint32_t kMaxBreadcrumbs = 1000;
constexpr std::size_t kBreadcrumbLevelBytes = 16;
constexpr std::size_t kBreadcrumbCodeBytes = 64;
constexpr std::size_t kBreadcrumbMessageBytes = 256;
constexpr std::size_t kBreadcrumbTextBytes =
    kBreadcrumbLevelBytes + kBreadcrumbCodeBytes + kBreadcrumbMessageBytes;

// One entry as read back: its time, and its level, error code and message stored one after
// the other in text.
struct Breadcrumb {
  std::int64_t timeMs = 0;
  std::uint32_t levelSize = 0;
  std::uint32_t codeSize = 0;
  std::uint32_t messageSize = 0;
  alignas(8) char text[kBreadcrumbTextBytes];

  std::string_view level() const { return {text, levelSize}; }
  std::string_view code() const { return {text + levelSize, codeSize}; }
  std::string_view message() const { return {text + levelSize + codeSize, messageSize}; }
};

class BreadcrumbRing {
 public:
  // n = 0 turns recording off; at most kMaxBreadcrumbs (the caller checks).
  void setCapacity(std::uint32_t n) {
    // The slots used: the smallest power of two that holds n, so a slot is found with a mask
    // and a small ring stays in a few cache lines.
    std::uint64_t slots = 1;
    while (slots < n) slots <<= 1;
    mask_.store(slots - 1, std::memory_order_relaxed);
    capacity_.store(n, std::memory_order_relaxed);
    syncLogGate(LogGate::kBreadcrumbs, [this] { return capacity() != 0; });
  }
  std::uint32_t capacity() const { return capacity_.load(std::memory_order_relaxed); }

  // Records one log call: lock-free, no allocation. Each text is cut to its bound (the
  // message at a UTF-8 character boundary).
  void record(std::int64_t timeMs, std::string_view level, std::string_view code,
              std::string_view message) {
    const std::uint32_t cap = capacity_.load(std::memory_order_relaxed);
    if (cap == 0 || frozen_.load(std::memory_order_relaxed)) return;
    level = level.substr(0, kBreadcrumbLevelBytes);
    code = code.substr(0, kBreadcrumbCodeBytes);
    message = cutMessage(message);
    alignas(8) char buf[kBreadcrumbTextBytes + 8];
    if (!level.empty()) std::memcpy(buf, level.data(), level.size());
    if (!code.empty()) std::memcpy(buf + level.size(), code.data(), code.size());
    if (!message.empty())
      std::memcpy(buf + level.size() + code.size(), message.data(), message.size());
    const std::size_t used = level.size() + code.size() + message.size();
    const std::size_t words = (used + 7) / 8;

    const std::uint64_t index = head_.fetch_add(1, std::memory_order_relaxed);
    Slot& slot = slots_[index & mask_.load(std::memory_order_relaxed)];
    // One writer at a time per slot: a writer lapped by the whole ring while it writes (or
    // one that finds a newer entry there) gives up its entry rather than mix its words into
    // another's, and none waits for another.
    std::uint64_t seen = slot.seq.load(std::memory_order_relaxed);
    if ((seen & 1) != 0 || seen > 2 * index ||
        !slot.seq.compare_exchange_strong(seen, 2 * index + 1, std::memory_order_relaxed))
      return;
    // The entry's stores are release stores (no fences, which ThreadSanitizer does not
    // model): a reader that sees any of them also sees the odd sequence stored before.
    slot.timeMs.store(timeMs, std::memory_order_release);
    slot.sizes.store(std::uint64_t{level.size()} | std::uint64_t{code.size()} << 8 |
                         std::uint64_t{message.size()} << 16,
                     std::memory_order_release);
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t v;
      std::memcpy(&v, buf + 8 * w, 8);
      slot.words[w].store(v, std::memory_order_release);
    }
    slot.seq.store(2 * index + 2, std::memory_order_release);
  }

  // Calls visit(const Breadcrumb&) for each whole entry of the last `capacity` recorded,
  // oldest first; an entry being written or already overwritten is skipped. Allocates
  // nothing and takes no lock: the crash handler calls it.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    const std::uint32_t cap = capacity_.load(std::memory_order_relaxed);
    if (cap == 0) return;
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t first = head > cap ? head - cap : 0;
    const std::uint64_t mask = mask_.load(std::memory_order_relaxed);
    Breadcrumb entry;
    for (std::uint64_t index = first; index < head; ++index) {
      const Slot& slot = slots_[index & mask];
      const std::uint64_t seq = slot.seq.load(std::memory_order_acquire);
      if (seq != 2 * index + 2) continue;
      // Acquire loads: the sequence read again below cannot be read before them.
      entry.timeMs = slot.timeMs.load(std::memory_order_acquire);
      const std::uint64_t sizes = slot.sizes.load(std::memory_order_acquire);
      entry.levelSize = static_cast<std::uint32_t>(sizes & 0xff);
      entry.codeSize = static_cast<std::uint32_t>((sizes >> 8) & 0xff);
      entry.messageSize = static_cast<std::uint32_t>((sizes >> 16) & 0xffff);
      if (entry.levelSize > kBreadcrumbLevelBytes || entry.codeSize > kBreadcrumbCodeBytes ||
          entry.messageSize > kBreadcrumbMessageBytes)
        continue;
      const std::size_t used = entry.levelSize + entry.codeSize + entry.messageSize;
      for (std::size_t w = 0; w < (used + 7) / 8; ++w) {
        const std::uint64_t v = slot.words[w].load(std::memory_order_acquire);
        std::memcpy(entry.text + 8 * w, &v, 8);
      }
      if (slot.seq.load(std::memory_order_relaxed) != seq) continue;  // overwritten meanwhile
      visit(static_cast<const Breadcrumb&>(entry));
    }
  }

  // While frozen nothing is recorded: the crash handler freezes the ring before it reads,
  // so the log calls other threads make meanwhile do not push out the last entries.
  void freeze(bool frozen) { frozen_.store(frozen, std::memory_order_relaxed); }

  // The longest prefix of message within kBreadcrumbMessageBytes that does not end inside
  // a UTF-8 sequence.
  static std::string_view cutMessage(std::string_view message) {
    if (message.size() <= kBreadcrumbMessageBytes) return message;
    std::size_t n = kBreadcrumbMessageBytes;
    // Back off over continuation bytes to the start of the cut character, at most 3.
    for (int i = 0; i < 3 && n > 0 && (static_cast<unsigned char>(message[n]) & 0xC0) == 0x80; ++i)
      --n;
    return message.substr(0, n);
  }

 private:
  struct Slot {
    std::atomic<std::uint64_t> seq{0};
    std::atomic<std::int64_t> timeMs{0};
    std::atomic<std::uint64_t> sizes{0};
    std::atomic<std::uint64_t> words[(kBreadcrumbTextBytes + 7) / 8];
  };

  // A power of two of slots, at least kMaxBreadcrumbs; the ring uses the first mask_ + 1 of
  // them (at least capacity_), so the last `capacity` entries always sit in distinct slots.
  // The sequence check makes a change of the mask safe for readers: an entry is taken only
  // from the slot it was written to.
  static constexpr std::uint64_t kSlots = 1024;
  static_assert(kSlots >= kMaxBreadcrumbs && (kSlots & (kSlots - 1)) == 0);

  alignas(64) std::atomic<std::uint32_t> capacity_{0};
  std::atomic<std::uint64_t> mask_{0};
  std::atomic<bool> frozen_{false};
  alignas(64) std::atomic<std::uint64_t> head_{0};
  alignas(64) Slot slots_[kSlots];
};

// The process's ring; static storage, constant-initialised, never destroyed.
BreadcrumbRing& breadcrumbs();

// One line of the "Breadcrumbs" field: "<UTC time with ms> <level> <error code or -> <message>",
// e.g. "2026-12-07T17:50:01.123Z WARN E42 frame took 40 ms". Control characters and "\" in
// the texts are escaped ("\n", "\t", "\x01", "\\"), so a line holds one call; text that is
// not UTF-8 is repaired.
std::string breadcrumbLine(std::int64_t timeMs, std::string_view level, std::string_view code,
                           std::string_view message);
// The "Breadcrumbs" field of the ring as it is now: one line per entry, oldest first, each
// ended by "\n"; "" when there is none.
std::string breadcrumbsText();

}  // namespace zeplog::detail
