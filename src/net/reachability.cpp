#include "zeplog/reachability.hpp"

#include <arpa/inet.h>

#include <any>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/alt_signal_stack.hpp"
#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "net/netlink_watcher.hpp"
#include "net/route_probe.hpp"
#include "zeplog/notification_center.hpp"

namespace zeplog {

const char* const kst_kReachabilityChangedNotification = "kst_kReachabilityChangedNotification";

namespace {

// One run of the notifier thread. Shared by the thread and the monitor, so that a thread
// that outlives its monitor (stopped from inside a block) still owns what it uses.
struct NotifierRun {
  detail::NetlinkWatcher watcher;  // opened before the thread starts
  std::uint32_t lastFlags = 0;     // written before the thread starts, then by it alone
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> finished{false};  // set by the thread when its loop has ended
};

// The notifier thread: waits for the kernel to report a change, recomputes the flags and
// reports them when they differ from the last reported ones. self keeps the monitor alive
// while the thread runs.
void notifierLoop(std::shared_ptr<kstVelaReachability> self, std::shared_ptr<NotifierRun> run) {
  detail::installAltSignalStack();  // a stack overflow here can still be reported
  for (;;) {
    const auto event = run->watcher.wait();
    if (event == detail::NetlinkWatcher::Event::kStopped) break;
    if (event == detail::NetlinkWatcher::Event::kFailed) {
      ZEP_CONSOLE("reachability notifier: the netlink socket failed; change reports stop");
      break;
    }
    const std::uint32_t flags = self->reachabilityFlags();
    if (flags == run->lastFlags || run->stopRequested.load()) continue;
    run->lastFlags = flags;
    self->reachabilityChanged(flags);
  }
  run->finished.store(true);
  // Last: this may drop the last reference, whose destructor then detaches this thread.
  self.reset();
}

}  // namespace

struct kstVelaReachability::State {
  explicit State(const detail::ReachabilityTarget& t) : target(t) {}

  const detail::ReachabilityTarget target;  // immutable, so queries need no lock
  std::atomic<bool> reachableOnWWAN{true};

  // Guards the two blocks; never held while one runs.
  mutable detail::ForkSafeMutex blockLock{detail::ForkLockRank::kReachability, 0};
  Block reachableBlock;    // guarded by blockLock
  Block unreachableBlock;  // guarded by blockLock

  // Guards run and thread; never held while joining.
  detail::ForkSafeMutex notifierLock{detail::ForkLockRank::kReachability, 1};
  std::shared_ptr<NotifierRun> run;  // guarded by notifierLock; null when stopped
  std::thread thread;                // guarded by notifierLock
};

kstVelaReachability::kstVelaReachability(const detail::ReachabilityTarget& target)
    : state_(std::make_unique<State>(target)) {}

kstVelaReachability::~kstVelaReachability() {
  stopNotifier();
  setReachableBlock(nullptr);
  setUnreachableBlock(nullptr);
}

std::shared_ptr<kstVelaReachability> kstVelaReachability::make(
    const detail::ReachabilityTarget& target) {
  return std::shared_ptr<kstVelaReachability>(new kstVelaReachability(target));
}

// ---- Creation ----------------------------------------------------------------------------

std::shared_ptr<kstVelaReachability> kstVelaReachability::reachabilityWithHostname(
    std::string_view hostname) {
  detail::ReachabilityTarget target;
  target.kind = detail::ReachabilityTarget::Kind::kHostName;
  target.hostName = std::string(hostname);
  return make(target);
}

std::shared_ptr<kstVelaReachability> kstVelaReachability::reachabilityWithHostName(
    std::string_view hostname) {
  return reachabilityWithHostname(hostname);
}

std::shared_ptr<kstVelaReachability> kstVelaReachability::reachabilityWithAddress(
    const sockaddr_in& address) {
  if (address.sin_family != AF_INET) {
    ZEP_CONSOLE("reachabilityWithAddress: the address is not an IPv4 (AF_INET) address");
    return nullptr;
  }
  return make(detail::targetForAddress(address));
}

std::shared_ptr<kstVelaReachability> kstVelaReachability::reachabilityForInternetConnection() {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  zero.sin_port = 0;
  zero.sin_addr.s_addr = htonl(INADDR_ANY);
  return reachabilityWithAddress(zero);
}

std::shared_ptr<kstVelaReachability> kstVelaReachability::reachabilityForLocalWiFi() {
  sockaddr_in linkLocal{};
  linkLocal.sin_family = AF_INET;
  linkLocal.sin_port = 0;
  linkLocal.sin_addr.s_addr = htonl(detail::kLinkLocalNetwork);
  return reachabilityWithAddress(linkLocal);
}

// ---- Queries -----------------------------------------------------------------------------

bool kstVelaReachability::isReachableWithFlags(std::uint32_t flags) {
  const std::uint32_t transientAndRequired =
      kReachabilityFlagsTransientConnection | kReachabilityFlagsConnectionRequired;
  if ((flags & transientAndRequired) == transientAndRequired) return false;
  return (flags & kReachabilityFlagsReachable) != 0;
}

std::uint32_t kstVelaReachability::reachabilityFlags() const {
  return detail::probeReachabilityFlags(state_->target);
}

bool kstVelaReachability::isReachable() const { return isReachableWithFlags(reachabilityFlags()); }

bool kstVelaReachability::isReachableViaWWAN() const { return false; }

bool kstVelaReachability::isReachableViaWiFi() const {
  return (reachabilityFlags() & kReachabilityFlagsReachable) != 0;
}

bool kstVelaReachability::connectionRequired() const {
  return (reachabilityFlags() & kReachabilityFlagsConnectionRequired) != 0;
}

bool kstVelaReachability::isConnectionRequired() const { return connectionRequired(); }

bool kstVelaReachability::isConnectionOnDemand() const {
  const std::uint32_t flags = reachabilityFlags();
  return (flags & kReachabilityFlagsConnectionRequired) != 0 &&
         (flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand)) !=
             0;
}

bool kstVelaReachability::isInterventionRequired() const {
  const std::uint32_t both =
      kReachabilityFlagsConnectionRequired | kReachabilityFlagsInterventionRequired;
  return (reachabilityFlags() & both) == both;
}

NetworkStatus kstVelaReachability::currentReachabilityStatus() const {
  // One read of the flags for both tests, so the answer is consistent.
  const std::uint32_t flags = reachabilityFlags();
  if (isReachableWithFlags(flags) && (flags & kReachabilityFlagsReachable) != 0) {
    return ReachableViaWiFi;
  }
  return NotReachable;
}

std::string kstVelaReachability::currentReachabilityString() const {
  switch (currentReachabilityStatus()) {
    case ReachableViaWWAN:
      return "Cellular";
    case ReachableViaWiFi:
      return "WiFi";
    default:
      return "No Connection";
  }
}

std::string kstVelaReachability::currentReachabilityFlags() const {
  return detail::formatReachabilityFlags(reachabilityFlags());
}

std::string kstVelaReachability::description() const {
  const auto low = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(this) & 0xFFFFFFFFu);
  char text[64];
  std::snprintf(text, sizeof(text), "<kstVelaReachability: %#x>", low);
  return text;
}

// ---- Notifier ----------------------------------------------------------------------------

bool kstVelaReachability::startNotifier() {
  {
    std::lock_guard<std::mutex> guard(state_->notifierLock);
    if (state_->run && !state_->run->finished.load()) return true;
  }
  stopNotifier();  // reaps a run whose thread ended on its own (its socket failed)

  std::lock_guard<std::mutex> guard(state_->notifierLock);
  if (state_->run) return true;  // another thread started it meanwhile
  std::shared_ptr<kstVelaReachability> self = weak_from_this().lock();
  auto run = std::make_shared<NotifierRun>();
  if (!self || !run->watcher.open()) {
    ZEP_CONSOLE("startNotifier: can't open the netlink route socket");
    return false;
  }
  // The baseline is read after subscribing, so a change after this point is always seen.
  run->lastFlags = reachabilityFlags();
  try {
    state_->thread = std::thread(notifierLoop, std::move(self), run);
  } catch (const std::system_error& e) {
    ZEP_CONSOLE(std::string("startNotifier: can't start the notifier thread: ") + e.what());
    return false;
  }
  state_->run = std::move(run);
  return true;
}

void kstVelaReachability::stopNotifier() {
  std::shared_ptr<NotifierRun> run;
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(state_->notifierLock);
    run = std::move(state_->run);
    thread = std::move(state_->thread);
    state_->run = nullptr;
  }
  if (run) {
    run->stopRequested.store(true);
    run->watcher.stop();
  }
  if (!thread.joinable()) return;
  // From the notifier thread itself (a block, or the thread dropping the last reference)
  // joining would deadlock: the thread sees the stop when it returns to its loop.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void kstVelaReachability::reachabilityChanged(std::uint32_t flags) {
  Block block;
  {
    std::lock_guard<std::mutex> guard(state_->blockLock);
    block = isReachableWithFlags(flags) ? state_->reachableBlock : state_->unreachableBlock;
  }
  if (block) {
    try {
      block(*this);
    } catch (const std::exception& e) {
      ZEP_CONSOLE(std::string("reachability block threw: ") + e.what());
    } catch (...) {
      ZEP_CONSOLE("reachability block threw an unknown exception");
    }
  }
  NotificationCenter::defaultCenter().post(kst_kReachabilityChangedNotification,
                                           std::any(weak_from_this().lock()));
}

// ---- Properties --------------------------------------------------------------------------

kstVelaReachability::Block kstVelaReachability::reachableBlock() const {
  std::lock_guard<std::mutex> guard(state_->blockLock);
  return state_->reachableBlock;
}

void kstVelaReachability::setReachableBlock(Block block) {
  Block old;  // destroyed after the lock is released: its captures may call back in
  std::lock_guard<std::mutex> guard(state_->blockLock);
  old = std::exchange(state_->reachableBlock, std::move(block));
}

kstVelaReachability::Block kstVelaReachability::unreachableBlock() const {
  std::lock_guard<std::mutex> guard(state_->blockLock);
  return state_->unreachableBlock;
}

void kstVelaReachability::setUnreachableBlock(Block block) {
  Block old;  // destroyed after the lock is released: its captures may call back in
  std::lock_guard<std::mutex> guard(state_->blockLock);
  old = std::exchange(state_->unreachableBlock, std::move(block));
}

bool kstVelaReachability::reachableOnWWAN() const { return state_->reachableOnWWAN.load(); }

void kstVelaReachability::setReachableOnWWAN(bool value) { state_->reachableOnWWAN.store(value); }

}  // namespace zeplog
