// An immutable object published through an atomic pointer: readers take no lock.
#pragma once

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace zeplog::detail {

// A reader's announcement of the snapshot it is reading. Each thread claims one slot on its
// first read and gives it back when it ends; a writer frees a replaced snapshot only once no
// slot names it.
struct alignas(64) ReaderSlot {
  std::atomic<bool> claimed{false};
  std::atomic<const void*> reading{nullptr};
};

// The calling thread's slot, claimed on first use; nullptr when every slot is taken, the
// thread is ending, or the thread is already inside a read (reads do not nest).
ReaderSlot* enterRead() noexcept;
// Ends the read enterRead began.
void leaveRead(ReaderSlot* slot) noexcept;
// True when some reader's slot names p.
bool anyReaderOf(const void* p) noexcept;

// The current version of a T that many threads read and few change. Readers (tryRead) take
// no lock and write only their own slot; writers (publish) are serialised by a lock of the
// caller's (global_resource_lock for the handle table), replace the whole object
// copy-on-write and free the versions they replaced once no reader holds them. A reader
// that finds no free slot gets false and reads under the writers' lock instead (current()).
// Never destroyed in practice (process-wide state); destroying it frees every version.
template <typename T>
class SnapshotCell {
 public:
  SnapshotCell() = default;
  SnapshotCell(const SnapshotCell&) = delete;
  SnapshotCell& operator=(const SnapshotCell&) = delete;
  ~SnapshotCell() {
    delete current_.load();
    for (const T* p : retired_) delete p;
  }

  // Calls fn(const T*) (nullptr before the first publish) with the version current at the
  // call, which stays alive until fn returns. False, without calling fn, when the thread
  // has no reader slot.
  template <typename Fn>
  bool tryRead(Fn&& fn) const {
    ReaderSlot* slot = enterRead();
    if (!slot) return false;
    struct Leave {
      ReaderSlot* slot;
      ~Leave() { leaveRead(slot); }
    } leave{slot};
    // Announce, then check the announcement was in time: a writer that replaced p before
    // seeing the announcement has published another version, which this load sees.
    const T* p = current_.load(std::memory_order_acquire);
    for (;;) {
      slot->reading.store(p, std::memory_order_seq_cst);
      const T* again = current_.load(std::memory_order_seq_cst);
      if (again == p) break;
      p = again;
    }
    std::forward<Fn>(fn)(p);
    return true;
  }

  // The version now, for readers that hold the writers' lock.
  const T* current() const { return current_.load(std::memory_order_acquire); }

  // Writers, under their lock: makes next the current version and frees the replaced
  // versions no reader holds (the others wait for a later publish).
  void publish(std::unique_ptr<const T> next) {
    const T* old = current_.exchange(next.release(), std::memory_order_seq_cst);
    if (old) retired_.push_back(old);
    std::vector<const T*> held;
    for (const T* p : retired_) {
      if (anyReaderOf(p)) {
        held.push_back(p);
      } else {
        delete p;
      }
    }
    retired_ = std::move(held);
  }

  // Versions replaced but not yet freed (for tests).
  std::size_t retiredCount() const { return retired_.size(); }

 private:
  std::atomic<const T*> current_{nullptr};
  std::vector<const T*> retired_;  // guarded by the writers' lock
};

}  // namespace zeplog::detail
