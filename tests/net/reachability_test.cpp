#include "zeplog/reachability.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/route_probe.hpp"
#include "support/test_env.hpp"
#include "zeplog/notification_center.hpp"

namespace zeplog {
namespace {

constexpr std::uint32_t R = kReachabilityFlagsReachable;
constexpr std::uint32_t kLocal = kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
// A failure guard only: every wait ends as soon as its condition holds.
constexpr auto kGuard = std::chrono::seconds(60);

sockaddr_in ipv4(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

// Records what a monitor reports: block calls and notifications, in order.
class Recorder {
 public:
  explicit Recorder(kstVelaReachability& monitor) {
    monitor.setReachableBlock([this](kstVelaReachability& m) { add("reachable", &m); });
    monitor.setUnreachableBlock([this](kstVelaReachability& m) { add("unreachable", &m); });
    token_ = NotificationCenter::defaultCenter().addObserver(
        kst_kReachabilityChangedNotification, [this](const Notification& n) {
          add("notification", n.objectAs<kstVelaReachability>().get());
        });
  }
  ~Recorder() { NotificationCenter::defaultCenter().removeObserver(token_); }

  // Waits until count events have been recorded, then returns them.
  std::vector<std::string> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kGuard, [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<const kstVelaReachability*> monitors() {
    std::lock_guard<std::mutex> guard(lock_);
    return monitors_;
  }

 private:
  void add(std::string what, const kstVelaReachability* m) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(what));
    monitors_.push_back(m);
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;                   // guarded by lock_
  std::vector<const kstVelaReachability*> monitors_;  // guarded by lock_
  NotificationCenter::Token token_ = 0;
};

TEST(ReachabilityFlags, ReachableUnlessTransientAndConnectionRequired) {
  constexpr std::uint32_t t = kReachabilityFlagsTransientConnection;
  constexpr std::uint32_t c = kReachabilityFlagsConnectionRequired;
  EXPECT_FALSE(kstVelaReachability::isReachableWithFlags(0));
  EXPECT_TRUE(kstVelaReachability::isReachableWithFlags(R));
  EXPECT_FALSE(kstVelaReachability::isReachableWithFlags(R | t | c));
  EXPECT_TRUE(kstVelaReachability::isReachableWithFlags(R | c));
  EXPECT_TRUE(kstVelaReachability::isReachableWithFlags(R | t));
  EXPECT_FALSE(kstVelaReachability::isReachableWithFlags(t | c | kLocal));
  EXPECT_TRUE(kstVelaReachability::isReachableWithFlags(R | kLocal));
}

TEST(ReachabilityFlags, Letters) {
  EXPECT_EQ(detail::formatReachabilityFlags(R), "XR -------");
  EXPECT_EQ(detail::formatReachabilityFlags(0), "X- -------");
  EXPECT_EQ(detail::formatReachabilityFlags(R | kLocal), "XR -----ld");
  EXPECT_EQ(detail::formatReachabilityFlags(0x3003F), "XR ctiCDld");
  // Each bit lands on its own letter.
  EXPECT_EQ(detail::formatReachabilityFlags(kReachabilityFlagsTransientConnection), "X- -t-----");
  EXPECT_EQ(detail::formatReachabilityFlags(kReachabilityFlagsConnectionOnTraffic), "X- ---C---");
}

TEST(ReachabilityNames, ReservedNamesNeverResolve) {
  for (const char* name :
       {"", "invalid", "INVALID.", "zeplog-test.invalid", "a.b.Invalid", "x.invalid."}) {
    EXPECT_TRUE(detail::isNeverResolvingName(name)) << name;
  }
  for (const char* name : {"localhost", "notinvalid", "invalid.example", "invalid.localhost"}) {
    EXPECT_FALSE(detail::isNeverResolvingName(name)) << name;
  }
  EXPECT_TRUE(detail::isNeverResolvingName(std::string_view("localhost\0x", 11)));
}

TEST(Reachability, LocalhostIsReachableLocalAndDirect) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  ASSERT_NE(monitor, nullptr);
  EXPECT_TRUE(monitor->isReachable());
  EXPECT_TRUE(monitor->isReachableViaWiFi());
  EXPECT_FALSE(monitor->isReachableViaWWAN());
  EXPECT_FALSE(monitor->connectionRequired());
  EXPECT_FALSE(monitor->isConnectionOnDemand());
  EXPECT_FALSE(monitor->isInterventionRequired());
  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_EQ(monitor->currentReachabilityString(), "WiFi");
  EXPECT_EQ(monitor->reachabilityFlags(), R | kLocal);
  EXPECT_EQ(monitor->currentReachabilityFlags(), "XR -----ld");
  EXPECT_TRUE(monitor->reachableOnWWAN());
}

TEST(Reachability, InvalidNameIsCreatedButNotReachable) {
  for (auto monitor : {kstVelaReachability::reachabilityWithHostname("zeplog-test.invalid"),
                       kstVelaReachability::reachabilityWithHostName("ZEPLOG.INVALID."),
                       kstVelaReachability::reachabilityWithHostname("")}) {
    ASSERT_NE(monitor, nullptr);
    EXPECT_FALSE(monitor->isReachable());
    EXPECT_FALSE(monitor->isReachableViaWiFi());
    EXPECT_EQ(monitor->currentReachabilityStatus(), NotReachable);
    EXPECT_EQ(monitor->currentReachabilityString(), "No Connection");
    EXPECT_EQ(monitor->reachabilityFlags(), 0u);
    EXPECT_EQ(monitor->currentReachabilityFlags(), "X- -------");
  }
}

TEST(Reachability, LoopbackAddresses) {
  for (const char* text : {"127.0.0.1", "127.0.0.2"}) {
    auto monitor = kstVelaReachability::reachabilityWithAddress(ipv4(text));
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->reachabilityFlags(), R | kLocal) << text;
    EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi) << text;
  }
}

TEST(Reachability, AddressMustBeIpv4) {
  test::ConsoleCapture console;
  sockaddr_in wrong = ipv4("127.0.0.1");
  wrong.sin_family = AF_INET6;
  EXPECT_EQ(kstVelaReachability::reachabilityWithAddress(wrong), nullptr);
  EXPECT_TRUE(console.contains("not an IPv4"));
}

TEST(Reachability, SpecialAddressesBecomeTheirOwnTargets) {
  using Kind = detail::ReachabilityTarget::Kind;
  EXPECT_EQ(detail::targetForAddress(ipv4("0.0.0.0")).kind, Kind::kInternet);
  EXPECT_EQ(detail::targetForAddress(ipv4("169.254.0.0")).kind, Kind::kLinkLocal);
  EXPECT_EQ(detail::targetForAddress(ipv4("169.254.0.1")).kind, Kind::kAddress);
  EXPECT_EQ(detail::targetForAddress(ipv4("127.0.0.1")).kind, Kind::kAddress);
  // Whatever this machine's routes are, these targets are never local addresses.
  auto internet = kstVelaReachability::reachabilityForInternetConnection();
  auto linkLocal = kstVelaReachability::reachabilityForLocalWiFi();
  ASSERT_NE(internet, nullptr);
  ASSERT_NE(linkLocal, nullptr);
  EXPECT_EQ(internet->reachabilityFlags() & kReachabilityFlagsIsLocalAddress, 0u);
  const std::uint32_t ll = linkLocal->reachabilityFlags();
  EXPECT_TRUE(ll == 0 || ll == (R | kReachabilityFlagsIsDirect)) << ll;
}

TEST(Reachability, Description) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  char expected[64];
  std::snprintf(expected, sizeof(expected), "<kstVelaReachability: %#x>",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(monitor.get())));
  EXPECT_EQ(monitor->description(), expected);
  EXPECT_EQ(monitor->description().rfind("<kstVelaReachability: 0x", 0), 0u);
}

TEST(Reachability, ChangeReportCallsTheMatchingBlockThenPosts) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("zeplog-test.invalid");
  Recorder recorder(*monitor);
  monitor->reachabilityChanged(R);
  monitor->reachabilityChanged(0);
  monitor->reachabilityChanged(R | kReachabilityFlagsTransientConnection |
                               kReachabilityFlagsConnectionRequired);
  EXPECT_EQ(recorder.waitFor(6),
            (std::vector<std::string>{"reachable", "notification", "unreachable", "notification",
                                      "unreachable", "notification"}));
  for (const auto* m : recorder.monitors()) EXPECT_EQ(m, monitor.get());
}

TEST(Reachability, ChangeReportWithoutBlocksStillPosts) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  Recorder recorder(*monitor);
  monitor->setReachableBlock(nullptr);
  monitor->setUnreachableBlock(nullptr);
  EXPECT_FALSE(monitor->reachableBlock());
  monitor->reachabilityChanged(R);
  EXPECT_EQ(recorder.waitFor(1), std::vector<std::string>{"notification"});
  EXPECT_EQ(recorder.monitors().at(0), monitor.get());
}

TEST(Reachability, ThrowingBlockIsReportedAndNotificationStillPosted) {
  test::ConsoleCapture console;
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  Recorder recorder(*monitor);
  monitor->setUnreachableBlock([](kstVelaReachability&) { throw std::runtime_error("boom"); });
  monitor->reachabilityChanged(0);
  EXPECT_EQ(recorder.waitFor(1), std::vector<std::string>{"notification"});
  EXPECT_TRUE(console.contains("boom"));
}

TEST(ReachabilityNotifier, StartsAndStopsRepeatedly) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  EXPECT_TRUE(monitor->startNotifier());
  EXPECT_TRUE(monitor->startNotifier());  // already running: no second thread
  monitor->stopNotifier();
  monitor->stopNotifier();  // already stopped: nothing to do
  EXPECT_TRUE(monitor->startNotifier());
  monitor->stopNotifier();
}

TEST(ReachabilityNotifier, RunningNotifierKeepsTheMonitorAlive) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  std::weak_ptr<kstVelaReachability> weak = monitor;
  ASSERT_TRUE(monitor->startNotifier());
  monitor.reset();
  auto again = weak.lock();
  ASSERT_NE(again, nullptr);
  again->stopNotifier();
  again.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(ReachabilityNotifier, NotRunningMonitorIsDestroyedWithItsLastReference) {
  auto monitor = kstVelaReachability::reachabilityWithHostname("localhost");
  std::weak_ptr<kstVelaReachability> weak = monitor;
  ASSERT_TRUE(monitor->startNotifier());
  monitor->stopNotifier();
  monitor.reset();
  EXPECT_TRUE(weak.expired());
}

// ---- Real kernel changes, in a network namespace of a child process -------------------------
//
// The child gets a new network namespace, in which only "lo" exists and it is down, so
// nothing here touches the machine's own network. Bringing "lo" up and down makes the kernel
// announce real link, address and route changes.

bool setLoopbackUp(bool up) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    if (up) {
      req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    } else {
      req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
    }
    ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  ::close(fd);
  return ok;
}

// Removes lo's IPv4 address (setting the address 0.0.0.0 deletes it), which takes away the
// local routes of 127.0.0.0/8. Bringing lo down would not: the kernel keeps those routes.
bool removeLoopbackIpv4Address() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  sockaddr_in zero = ipv4("0.0.0.0");
  std::memcpy(&req.ifr_addr, &zero, sizeof(zero));
  bool ok = ::ioctl(fd, SIOCSIFADDR, &req) == 0;
  ::close(fd);
  return ok;
}

constexpr int kSkipExit = 77;

// Runs body in a forked child inside a fresh network namespace. The child's result is its
// exit status: 0 passed, kSkipExit when namespaces are unavailable, else failed (the child
// writes why to stderr).
void runInNetworkNamespace(int (*body)()) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(kSkipExit);
    ::_exit(body());
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child died with status " << status;
  if (WEXITSTATUS(status) == kSkipExit) GTEST_SKIP() << "no network namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

#define CHILD_CHECK(cond)                                                           \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                                     \
    }                                                                               \
  } while (0)

int reportsRealChanges() {
  auto byAddress = kstVelaReachability::reachabilityWithAddress(ipv4("127.0.0.1"));
  auto byName = kstVelaReachability::reachabilityWithHostname("localhost");
  auto internet = kstVelaReachability::reachabilityForInternetConnection();
  auto linkLocal = kstVelaReachability::reachabilityForLocalWiFi();
  CHILD_CHECK(byAddress->reachabilityFlags() == 0);  // lo is down
  CHILD_CHECK(byName->reachabilityFlags() == 0);
  CHILD_CHECK(internet->reachabilityFlags() == 0);  // no default route here
  CHILD_CHECK(linkLocal->reachabilityFlags() == 0);

  Recorder recorder(*byAddress);
  CHILD_CHECK(byAddress->startNotifier());
  CHILD_CHECK(setLoopbackUp(true));
  auto events = recorder.waitFor(2);
  CHILD_CHECK(events.size() >= 2 && events[0] == "reachable" && events[1] == "notification");
  CHILD_CHECK(byAddress->reachabilityFlags() == (R | kLocal));
  CHILD_CHECK(byName->reachabilityFlags() == (R | kLocal));
  CHILD_CHECK(internet->reachabilityFlags() == 0);  // loopback is no internet connection

  // lo going down is a change the kernel announces, but 127.0.0.1 keeps its local route:
  // no report. Had it made one, it would come before the next.
  CHILD_CHECK(setLoopbackUp(false));
  CHILD_CHECK(byAddress->reachabilityFlags() == (R | kLocal));
  CHILD_CHECK(removeLoopbackIpv4Address());
  events = recorder.waitFor(4);
  CHILD_CHECK(events.size() >= 4 && events[2] == "unreachable" && events[3] == "notification");
  CHILD_CHECK(byAddress->reachabilityFlags() == 0);
  byAddress->stopNotifier();
  // The stop joined the thread, so every report is in: each real change exactly once.
  CHILD_CHECK(recorder.waitFor(4).size() == 4);
  return 0;
}

TEST(ReachabilityNotifier, ReportsRealKernelChanges) { runInNetworkNamespace(reportsRealChanges); }

// Signals a condition when destroyed, so a test can wait for an owner to go.
struct Sentinel {
  std::mutex lock;
  std::condition_variable changed;
  bool stopped = false;    // guarded by lock
  bool destroyed = false;  // guarded by lock
};

struct SentinelRef {
  explicit SentinelRef(Sentinel* s) : s(s) {}
  ~SentinelRef() {
    std::lock_guard<std::mutex> guard(s->lock);
    s->destroyed = true;
    s->changed.notify_all();
  }
  Sentinel* s;
};

// A block may stop the notifier on its own thread, and the last reference may then go on
// that thread: neither may deadlock, and the monitor (with its blocks) is destroyed.
int stopsFromInsideABlock() {
  Sentinel sentinel;
  auto monitor = kstVelaReachability::reachabilityWithAddress(ipv4("127.0.0.1"));
  auto ref = std::make_shared<SentinelRef>(&sentinel);
  monitor->setReachableBlock([ref](kstVelaReachability& m) {
    m.stopNotifier();
    std::lock_guard<std::mutex> guard(ref->s->lock);
    ref->s->stopped = true;
    ref->s->changed.notify_all();
  });
  ref.reset();  // the block holds the only reference now
  CHILD_CHECK(monitor->startNotifier());
  monitor.reset();  // now only the notifier thread holds the monitor
  CHILD_CHECK(setLoopbackUp(true));
  std::unique_lock<std::mutex> guard(sentinel.lock);
  CHILD_CHECK(sentinel.changed.wait_for(guard, kGuard,
                                        [&] { return sentinel.stopped && sentinel.destroyed; }));
  return 0;
}

TEST(ReachabilityNotifier, StopsFromInsideABlock) { runInNetworkNamespace(stopsFromInsideABlock); }

}  // namespace
}  // namespace zeplog
