#include "queue/main_channel.hpp"

#include <limits>
#include <utility>

#include "queue/event_bytes.hpp"
#include "queue/queue_counters.hpp"

namespace zeplog {
namespace {

std::size_t weighAll(const MainEventChannel::Items& items) {
  std::size_t total = 0;
  for (const VelaEventPtr& e : items) total += detail::EventBytes{}(e);
  return total;
}

std::int32_t toCount(std::size_t n) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(n < kMax ? n : kMax);
}

// Collects the dropped events of one operation: the first goes back to the caller, the
// others are released when the operation returns, outside every lock of the channel.
void addDropped(MainEventChannel::Dropped& out, VelaEventPtr event,
                std::vector<VelaEventPtr>& others) {
  ++out.count;
  if (!out.head) {
    out.head = std::move(event);
  } else {
    others.push_back(std::move(event));
  }
}

}  // namespace

MainEventChannel::MainEventChannel(std::size_t bound, std::size_t byteLimit, int forkOffset)
    : bound_(bound),
      byteLimit_(byteLimit),
      ring_(bound, forkOffset),
      mu_(detail::ForkLockRank::kQueueChannel, forkOffset, &MainEventChannel::renewInChild, this) {}

MainEventChannel::Dropped MainEventChannel::pushBackTakeHead(VelaEventPtr event) {
  Dropped out;
  if (!event) return out;
  const std::size_t w = detail::EventBytes{}(event);
  if (w > byteLimit_) {
    out.head = std::move(event);
    out.count = 1;
    return out;
  }
  std::vector<VelaEventPtr> others;  // empty unless a bound dropped more than one
  if (weight() > byteLimit_ - w) {
    std::vector<VelaEventPtr> heavy;
    {
      std::lock_guard<std::mutex> g(mu_);
      dropOldestLocked([&] { return weight() > byteLimit_ - w; }, heavy);
    }
    for (VelaEventPtr& e : heavy) addDropped(out, std::move(e), others);
  }
  EventRing::Pushed pushed = ring_.push(std::move(event), w);
  if (pushed.dropped) addDropped(out, std::move(pushed.dropped), others);
  out.weighed = pushed.kept ? w : 0;
  // The stash's count is read after the push: a Locked access ending meanwhile either sees
  // this event in the ring or is seen here, and the one that sees the other trims.
  std::size_t stashed = stashCount_.load(std::memory_order_seq_cst);
  if (stashed != 0) {
    std::vector<VelaEventPtr> over;
    {
      std::lock_guard<std::mutex> g(mu_);
      dropOldestLocked([&] { return stash_.size() + ring_.size() > bound_; }, over);
      stashed = stash_.size();
    }
    for (VelaEventPtr& e : over) addDropped(out, std::move(e), others);
  }
  out.sizeAfter = pushed.sizeAfter + stashed;
  out.weightAfter = pushed.weightAfter + stashWeight_.load(std::memory_order_relaxed);
  return out;
}

std::size_t MainEventChannel::pushFrontDropTail(VelaEventPtr event) {
  if (!event) return 0;
  const std::size_t w = detail::EventBytes{}(event);
  if (w > byteLimit_) return 1;
  std::vector<VelaEventPtr> dropped;
  {
    Locked locked(*this);
    // Without appends under way the ring is empty now and the stash is the whole queue.
    std::size_t weight = weighAll(stash_);
    while (!stash_.empty() && (stash_.size() + ring_.size() >= bound_ || weight > byteLimit_ - w)) {
      const std::size_t last = detail::EventBytes{}(stash_.back());
      weight = last < weight ? weight - last : 0;
      dropped.push_back(std::move(stash_.back()));
      stash_.pop_back();
    }
    stash_.push_front(std::move(event));
    locked.broadcast();
  }
  return dropped.size();
}

VelaEventPtr MainEventChannel::take() {
  for (;;) {
    ring_.waitUntil([this] { return anyReady(); });
    if (VelaEventPtr event = takeIfAny()) return event;
  }
}

VelaEventPtr MainEventChannel::takeIfAny() {
  std::lock_guard<std::mutex> g(mu_);
  return takeIfAnyLocked();
}

std::int32_t MainEventChannel::waitCount() {
  ring_.waitUntil([this] { return anyReady(); });
  return count();
}

std::int32_t MainEventChannel::count() const {
  return toCount(stashCount_.load(std::memory_order_seq_cst) + ring_.size());
}

std::size_t MainEventChannel::weight() const {
  return stashWeight_.load(std::memory_order_relaxed) + ring_.weight();
}

bool MainEventChannel::anyReady() const {
  return stashCount_.load(std::memory_order_seq_cst) != 0 || ring_.headReady();
}

VelaEventPtr MainEventChannel::takeIfAnyLocked() {
  if (stash_.empty()) return ring_.takeHead();
  VelaEventPtr head = std::move(stash_.front());
  stash_.pop_front();
  const std::size_t w = detail::EventBytes{}(head);
  const std::size_t total = stashWeight_.load(std::memory_order_relaxed);
  stashWeight_.store(stash_.empty() || w > total ? 0 : total - w, std::memory_order_relaxed);
  stashCount_.store(stash_.size(), std::memory_order_seq_cst);
  return head;
}

template <typename Keep>
void MainEventChannel::dropOldestLocked(Keep&& tooMany, std::vector<VelaEventPtr>& out) {
  while (tooMany()) {
    VelaEventPtr head = takeIfAnyLocked();
    if (!head) return;
    out.push_back(std::move(head));
  }
}

void MainEventChannel::stashChangedLocked() {
  stashWeight_.store(weighAll(stash_), std::memory_order_relaxed);
  stashCount_.store(stash_.size(), std::memory_order_seq_cst);
}

void MainEventChannel::renewInChild(void* self) {
  auto* channel = static_cast<MainEventChannel*>(self);
  channel->stash_.clear();  // the parent's events, which the parent sends
  channel->stashWeight_.store(0);
  channel->stashCount_.store(0);
}

MainEventChannel::Locked::Locked(MainEventChannel& c) : channel_(c), lock_(c.mu_) {
  // Only what was appended before: appends go on meanwhile, and would keep this going.
  const std::uint64_t before = c.ring_.tail();
  while (VelaEventPtr event = c.ring_.takeHead(before)) c.stash_.push_back(std::move(event));
  c.stashChangedLocked();
}

MainEventChannel::Locked::~Locked() {
  MainEventChannel& c = channel_;
  std::vector<VelaEventPtr> dropped;
  try {
    c.stashChangedLocked();
    // Appends made during the access saw the stash busy or were seen here: see the class.
    c.dropOldestLocked([&] { return c.stash_.size() + c.ring_.size() > c.bound_; }, dropped);
    if (!dropped.empty()) c.stashChangedLocked();
  } catch (...) {
    // Only the list of dropped events can fail to grow; the queue is whole either way.
  }
  lock_.unlock();
  detail::noteDroppedAtBound(dropped.size(), false);
}

std::size_t MainEventChannel::Locked::trimHead(std::size_t bound, std::size_t weightBound) {
  MainEventChannel& c = channel_;
  std::size_t weight = weighAll(c.stash_);
  std::size_t dropped = 0;
  while (!c.stash_.empty() && (c.stash_.size() + c.ring_.size() >= bound || weight > weightBound)) {
    const std::size_t w = detail::EventBytes{}(c.stash_.front());
    weight = w < weight ? weight - w : 0;
    c.stash_.pop_front();
    ++dropped;
  }
  return dropped;
}

}  // namespace zeplog
