#include "queue/block_queue.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <iterator>
#include <utility>
#include <vector>

#include "common/files.hpp"
#include "queue/log_staging.hpp"

namespace zeplog {

namespace detail {
std::atomic<kstVelaBlockQueue*> gs_blockQueue{nullptr};
}  // namespace detail

kstVelaBlockQueue::kstVelaBlockQueue(std::size_t byteLimit) : byteLimit_(byteLimit) {}

namespace {

// Empties a channel, handing its items back to be destroyed after its lock is released.
template <typename T, typename Weigh>
std::vector<T> takeAllItems(Channel<T, Weigh>& channel) {
  auto locked = channel.lock();
  auto& items = locked.items();
  std::vector<T> out(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
  items.clear();
  return out;
}

}  // namespace

void kstVelaBlockQueue::discardInheritedFromParent() {
  // The main queue dropped the parent's events in the fork's child handler already, so
  // events the child's threads logged since stay.
  (void)takeAllItems(fileArray_);
  (void)takeAllItems(networkArray_);
}

VelaEventPtr kstVelaBlockQueue::enqueue(VelaEventPtr event) {
  if (!event) return nullptr;
  auto dropped = logArray_.pushBackTakeHead(std::move(event));
  detail::noteDroppedAtBound(dropped.count, false);
  const bool crossed = dropped.sizeAfter == kHighWaterEvents ||
                       (dropped.weightAfter >= kHighWaterBytes &&
                        dropped.weightAfter - dropped.weighed < kHighWaterBytes);
  if (crossed) {
    if (void (*hook)() = highWaterHook_.load()) hook();
  }
  return std::move(dropped.head);
}

bool kstVelaBlockQueue::atHighWater() {
  // Staged calls count as queued (from atomics: this is asked under other locks).
  const bool global = detail::blockQueue() == this;
  const detail::LogStaging::Staged staged =
      global ? detail::logStaging().staged() : detail::LogStaging::Staged{};
  return static_cast<std::size_t>(logArray_.count()) + staged.records >= kHighWaterEvents ||
         logArray_.weight() + staged.bytes >= kHighWaterBytes ||
         (global && detail::logStaging().anyOverHalf());
}

void kstVelaBlockQueue::frontEnqueue(VelaEventPtr event) {
  if (!event) return;
  detail::noteDroppedAtBound(logArray_.pushFrontDropTail(std::move(event)), false);
}

namespace {
// How long a wait for the main queue lasts before it looks at the staged calls again: a log
// call wakes the waiter without a fence, so it may miss one that is just starting to wait.
constexpr std::chrono::milliseconds kStagedWakeBound{200};
bool anyStaged() { return detail::logStaging().anyStaged(); }
}  // namespace

std::size_t kstVelaBlockQueue::takeStagedLogs() {
  if (detail::blockQueue() != this) return 0;
  return detail::logStaging().drainInto(*this);
}

std::size_t kstVelaBlockQueue::takeStagedLogsIfFree() {
  if (detail::blockQueue() != this) return 0;
  return detail::logStaging().tryDrainInto(*this);
}

VelaEventPtr kstVelaBlockQueue::dequeue() {
  for (;;) {
    (void)takeStagedLogs();
    if (VelaEventPtr event = logArray_.takeIfAny()) return event;
    (void)logArray_.waitCountOr(anyStaged, kStagedWakeBound);
  }
}

VelaEventPtr kstVelaBlockQueue::dequeueIfAny() { return logArray_.takeIfAny(); }

std::int32_t kstVelaBlockQueue::queueSize() {
  for (;;) {
    (void)takeStagedLogs();
    if (const std::int32_t n = logArray_.count(); n > 0) return n;
    (void)logArray_.waitCountOr(anyStaged, kStagedWakeBound);
  }
}

std::int32_t kstVelaBlockQueue::queueCount() {
  const std::uint64_t staged =
      detail::blockQueue() == this ? detail::logStaging().staged().records : 0;
  const std::uint64_t total = static_cast<std::uint64_t>(logArray_.count()) + staged;
  return static_cast<std::int32_t>(std::min<std::uint64_t>(total, INT32_MAX));
}

std::size_t kstVelaBlockQueue::queueBytes() { return logArray_.weight(); }

void kstVelaBlockQueue::enqueueFile(VelaEventPtr event) {
  enqueueFile(detail::FailedEvent(std::move(event)));
}

void kstVelaBlockQueue::enqueueFile(detail::FailedEvent event) {
  if (!event) return;
  detail::noteDroppedAtBound(fileArray_.pushBackDropHead(std::move(event), kMaxEvents, byteLimit_),
                             true);
}

std::int32_t kstVelaBlockQueue::fileQueueCount() { return fileArray_.count(); }

std::size_t kstVelaBlockQueue::fileQueueBytes() { return fileArray_.weight(); }

std::vector<VelaEventPtr> kstVelaBlockQueue::fileQueueEvents() {
  std::vector<detail::FailedEvent> items;
  {
    auto locked = fileArray_.lock();
    items.assign(locked.items().begin(), locked.items().end());
  }
  // Read back outside the channel's lock.
  std::vector<VelaEventPtr> out;
  out.reserve(items.size());
  for (const detail::FailedEvent& item : items) {
    if (VelaEventPtr event = item.event()) out.push_back(std::move(event));
  }
  return out;
}

void kstVelaBlockQueue::enqueue_handler(std::optional<std::string> handleId) {
  // Only an absent id is dropped: "" is a handle id like any other and needs its settings.
  if (!handleId) return;
  handlerArray_.pushBackIfRoom(std::move(*handleId), kMaxHandlers);
}

std::string kstVelaBlockQueue::dequeue_handler() { return handlerArray_.take(); }

std::int32_t kstVelaBlockQueue::queueSize_handler() { return handlerArray_.count(); }

void kstVelaBlockQueue::enqueue_network(std::shared_ptr<NetworkData> item) {
  if (!item) return;
  networkArray_.pushBack(std::move(item));
}

std::shared_ptr<NetworkData> kstVelaBlockQueue::dequeue_network() { return networkArray_.take(); }

std::string kstVelaBlockQueue::dataFilePath() {
  return detail::joinPath(detail::documentsDirectory(), "Vela2SavedLog");
}

std::string kstVelaBlockQueue::fileFilePath() {
  return detail::joinPath(detail::documentsDirectory(), "fileVela2SavedLog");
}

}  // namespace zeplog
