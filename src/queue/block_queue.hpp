// The event queue: four hand-over channels between the API and the library's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "queue/channel.hpp"
#include "queue/event_bytes.hpp"
#include "queue/failed_event.hpp"
#include "queue/main_channel.hpp"
#include "queue/network_data.hpp"
#include "queue/queue_counters.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog {

// The failed-send channel: events or their sent text, weighed in bytes for its byte bound.
using FailedEventChannel = Channel<detail::FailedEvent, detail::FailedEventBytes>;

// The one process-wide hand-over point between producers (log calls, transport callbacks,
// the settings and probe threads) and the background consumers. Four independent FIFO
// channels, each with its own lock; no operation holds two of them at once. The main queue
// is a MainEventChannel, whose appends take no lock; the others are Channels.
//
//   main queue       events to send (at most 2000 events and the byte bound; a full queue
//                    drops its oldest events)
//   failed-send      events whose POST failed (the same bounds and rule)
//   handler queue    handle ids for the settings thread (at most 10; a full queue drops the new id)
//   probe queue      latency-probe requests (unbounded)
class kstVelaBlockQueue {
 public:
  static constexpr std::size_t kMaxEvents = 2000;
  static constexpr std::size_t kMaxHandlers = 10;
  // The main queue's high water: half its event bound, or a send cycle's budget of bytes.
  // A consumer that waits to gather events stops waiting there (see setHighWaterHook).
  static constexpr std::size_t kHighWaterEvents = kMaxEvents / 2;
  static constexpr std::size_t kHighWaterBytes = std::size_t{2} << 20;

  // byteLimit bounds the bytes (detail::eventBytes) held by each of the two event channels.
  explicit kstVelaBlockQueue(std::size_t byteLimit = detail::kDefaultQueueByteLimit);

  std::size_t byteLimit() const { return byteLimit_; }

  // In a forked child: drops the events and probe requests inherited from the parent, which
  // the parent still sends and runs; sending them again from the child would deliver each
  // twice. Handle ids waiting for their settings stay: the child's handles need their own.
  void discardInheritedFromParent();

  // Every enqueue ignores an absent item (null pointer, absent id) and wakes nobody for it.
  // Events dropped at a bound are counted (detail::noteDroppedAtBound).

  // Main queue. The staged log calls count as queued; the waiting take and count and the
  // saves move them to the queue first.
  // Appends; drops the head while full and hands it back, to be released outside the
  // caller's locks.
  VelaEventPtr enqueue(VelaEventPtr event);
  void frontEnqueue(VelaEventPtr event);  // inserts at the head; drops the tail while full
  VelaEventPtr dequeue();                 // waits while empty
  VelaEventPtr dequeueIfAny();            // never waits (nor drains); nullptr when empty
  std::int32_t queueSize();               // drains, waits while empty, counts the queue
  std::int32_t queueCount();              // counts without waiting, staged calls included
  std::size_t queueBytes();               // the bytes its events weigh now
  // True when the main queue holds kHighWaterEvents events or kHighWaterBytes bytes, the
  // staged log calls included, or a thread's staging ring is more than half full. Takes no lock:
  // the staged calls do not wake a waiter as they pile up, so a wait on this must look again now
  // and then (see the send thread's pause).
  bool atHighWater();
  // hook runs, outside every channel lock, in the enqueue that takes the main queue up to
  // its high water: once per crossing, so other log calls never pay for it. nullptr: none.
  void setHighWaterHook(void (*hook)()) { highWaterHook_.store(hook); }
  // For the log calls' staging: wakes a consumer waiting for the main queue, if any.
  void wakeConsumerIfWaiting() { logArray_.wakeIfWaiting(); }
  // For the log calls' staging: a thread's ring went past half full; runs the high-water
  // hook, as the append that takes the main queue to its high water does.
  void stagingAtHighWater() {
    if (void (*hook)() = highWaterHook_.load()) hook();
  }
  // Moves the log calls staged so far onto the main queue (see detail::LogStaging): the
  // waiting take and count, and the saves, do this first. It may wait for a drain under way,
  // so never under global_resource_lock or a lock ranked above the staging's. The IfFree
  // form does nothing when a drain is under way, for callers that must not wait. Only the
  // process's queue (detail::blockQueue()) takes staged calls. Returns how many moved.
  std::size_t takeStagedLogs();
  std::size_t takeStagedLogsIfFree();

  // Failed-send queue. An event written back from a failed request is best given as its
  // text (see detail::FailedEvent).
  void enqueueFile(VelaEventPtr event);
  void enqueueFile(detail::FailedEvent event);
  std::int32_t fileQueueCount();
  std::size_t fileQueueBytes();
  std::vector<VelaEventPtr> fileQueueEvents();  // its events (texts read back), oldest first

  // Handler queue. An absent id is ignored; an id that finds the queue full is
  // dropped.
  void enqueue_handler(std::optional<std::string> handleId);
  std::string dequeue_handler();
  std::int32_t queueSize_handler();

  // Probe queue.
  void enqueue_network(std::shared_ptr<NetworkData> item);
  std::shared_ptr<NetworkData> dequeue_network();

  // Paths of the two queue files in the data directory, computed afresh on every call.
  static std::string dataFilePath();  // .../Vela2SavedLog
  static std::string fileFilePath();  // .../fileVela2SavedLog

  // The queue files. Each runs entirely inside the queue's monitor, so the three never
  // overlap, and holds at most one channel lock at a time, never while it reads or writes a
  // file. None reports to its caller: failures become console lines.
  //
  // Writes each non-empty event channel to its file (replacing the file atomically) and
  // empties it. A channel whose file could not be written keeps its events. An empty channel
  // writes nothing and leaves an earlier file in place. With EarlierSave::kKeep the events of
  // a file that no restore has taken yet stay in it, ahead of the new ones (the crash-time
  // save, which may follow a background save of the same run).
  enum class EarlierSave { kReplace, kKeep };
  void saveToFile(EarlierSave earlier = EarlierSave::kReplace);
  // Puts the saved events back into the channels they came from, behind the events queued
  // since, and deletes the files.
  void FileToMemory();
  // At the start of a process: moves the saved main queue and the saved failed-send queue
  // into the main queue, so that failed events are sent again, and raises every queued
  // event's "errorRate". Deletes the files.
  void loadFromFile();
  // Upload consent revoked: empties both event channels and deletes the queue files (and any
  // temporary a save left), so none of their events is kept. Returns the events taken from
  // the channels. saveToFile writes nothing while consent is revoked.
  std::size_t discardEventsAndFiles();
  // The same for the files alone, before any queue exists (the start of a run whose record
  // says revoked, which must not restore them).
  static void deleteQueueFiles();
  // How many events saves have moved from the channels to files so far (for a flush, which
  // must not call saved events delivered).
  std::uint64_t eventsSavedToFile() const { return savedToFile_.load(); }

 private:
  // Each channel carries its own lock (see Channel, MainEventChannel). Saving and restoring
  // reach the two event channels' items through their lock(), one channel at a time, after
  // monitor_.
  const std::size_t byteLimit_;
  std::atomic<std::uint64_t> savedToFile_{0};
  std::atomic<void (*)()> highWaterHook_{nullptr};
  // Serialises saveToFile, FileToMemory and loadFromFile; taken before a channel lock.
  detail::ForkSafeRecursiveMutex monitor_{detail::ForkLockRank::kQueueFiles};
  MainEventChannel logArray_{kMaxEvents, byteLimit_, 0};   // main queue
  FailedEventChannel fileArray_{1};                        // failed-send queue
  Channel<std::string> handlerArray_{2};                   // handler queue
  Channel<std::shared_ptr<NetworkData>> networkArray_{3};  // probe queue
};

namespace detail {

// The event queue. Created once by the first initialisation (createQueueAndRestoreSavedEvents)
// and never replaced or destroyed; published through an atomic pointer so that the queue
// counters, which take no lock, see either no queue or the whole queue.
extern std::atomic<kstVelaBlockQueue*> gs_blockQueue;

// The event queue, or nullptr before the first initialisation created it.
inline kstVelaBlockQueue* blockQueue() { return gs_blockQueue.load(std::memory_order_acquire); }

// The log calls staged so far become events now, unless a drain is under way; for public
// calls that must see them as events (counters settle, a handle's identity changes next).
inline void settleStagedLogsIfFree() {
  if (kstVelaBlockQueue* queue = blockQueue()) (void)queue->takeStagedLogsIfFree();
}

}  // namespace detail
}  // namespace zeplog
