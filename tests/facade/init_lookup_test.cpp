// Initialisation's name lookups run without global_resource_lock: a log call on another
// thread completes while a lookup is held open. This program replaces getaddrinfo for one
// test host with a lookup that waits until the test opens its gate.
#include <dlfcn.h>
#include <netdb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "queue/log_staging.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace {

constexpr const char* kHeldHost = "held.zeplog.test";
// A failure guard only: the awaited events happen at once when the code is right.
constexpr auto kBound = std::chrono::seconds(30);

// Lookups of kHeldHost wait while the gate is closed; the test sees which threads wait.
struct Gate {
  std::mutex lock;
  std::condition_variable changed;
  bool closed = false;                  // guarded by lock
  std::multiset<std::thread::id> held;  // guarded by lock: threads waiting in a lookup

  void close() {
    std::lock_guard<std::mutex> g(lock);
    closed = true;
  }
  void open() {
    {
      std::lock_guard<std::mutex> g(lock);
      closed = false;
    }
    changed.notify_all();
  }
  bool waitUntilHeld(std::thread::id who) {
    std::unique_lock<std::mutex> l(lock);
    return changed.wait_for(l, kBound, [&] { return held.count(who) > 0; });
  }
  void pass() {
    std::unique_lock<std::mutex> l(lock);
    auto self = held.insert(std::this_thread::get_id());
    changed.notify_all();
    changed.wait(l, [&] { return !closed; });
    held.erase(self);
  }
};

Gate& gate() {
  static auto* g = new Gate;
  return *g;
}

}  // namespace

// The held host answers 127.0.0.1 once the gate is open; every other name goes to the C
// library's resolver.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node == nullptr || std::strcmp(node, kHeldHost) != 0) return real(node, service, hints, res);
  gate().pass();
  addrinfo numeric{};
  if (hints) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  return real("127.0.0.1", service, &numeric, res);
}

namespace zeplog {
namespace {

constexpr const char* kHeldUrl = "http://held.zeplog.test:1";

class InitLookupTest : public test::LibraryTest {
 protected:
  ~InitLookupTest() override { gate().open(); }

  // Starts an initialisation on its own thread and waits until it is inside the held lookup.
  std::thread initHeldInLookup(Text handleId, std::promise<bool>& result) {
    gate().close();
    std::promise<std::thread::id> started;
    std::thread t([&result, &started, id = handleId.optional()] {
      started.set_value(std::this_thread::get_id());
      result.set_value(ZEPLog::init(kHeldUrl, "app", "1", Text(), Text(id)));
    });
    EXPECT_TRUE(gate().waitUntilHeld(started.get_future().get()));
    return t;
  }

  // Runs calls on another thread; true when they completed within the failure bound. The
  // thread is joined when the test ends (after the gate opens), so a failure never hangs.
  bool completes(std::function<void()> calls) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    callers_.emplace_back([calls = std::move(calls), done] {
      calls();
      done->set_value();
    });
    return finished.wait_for(kBound) == std::future_status::ready;
  }

  void TearDown() override {
    gate().open();
    for (auto& t : callers_) t.join();
  }

 private:
  std::vector<std::thread> callers_;
};

TEST_F(InitLookupTest, TheFirstInitialisationResolvesWithoutTheLock) {
  std::promise<bool> result;
  std::thread init = initHeldInLookup(Text(), result);
  EXPECT_TRUE(completes([] {
    ZEPLog::info(nullptr, "while the collector's name is looked up");
    ZEPLog::setCustomField("v", "k");
    (void)ZEPLog::kst_getHandler("0");
  }));
  // The log call did run: refused at once, or staged to be made an event later.
  EXPECT_TRUE(console.contains("handleId is null") || detail::logStaging().staged().records == 1);
  gate().open();
  init.join();
  EXPECT_TRUE(result.get_future().get());
  EXPECT_NE(ZEPLog::kst_getHandler("0"), nullptr);
}

TEST_F(InitLookupTest, LaterInitialisationsQueryReachabilityWithoutTheLock) {
  ASSERT_TRUE(ZEPLog::init(kHeldUrl, "app", "1"));
  const std::int32_t before = ZEPLog::queueSize();
  std::promise<bool> result;
  std::thread init = initHeldInLookup("second", result);
  EXPECT_TRUE(completes([] { ZEPLog::info(nullptr, "while reachability is queried"); }));
  EXPECT_EQ(ZEPLog::queueSize(), before + 1);
  gate().open();
  init.join();
  EXPECT_TRUE(result.get_future().get());
  EXPECT_NE(ZEPLog::kst_getHandler("second"), nullptr);
}

// Two first initialisations racing: both look up, one builds the shared state, both handles
// exist and share one monitor.
TEST_F(InitLookupTest, ConcurrentFirstInitialisationsBuildTheStateOnce) {
  gate().close();
  std::promise<bool> a, b;
  std::thread ta([&] { a.set_value(ZEPLog::init(kHeldUrl, "app", "1", Text(), "a")); });
  std::thread tb([&] { b.set_value(ZEPLog::init(kHeldUrl, "app", "1", Text(), "b")); });
  gate().open();
  ta.join();
  tb.join();
  EXPECT_TRUE(a.get_future().get());
  EXPECT_TRUE(b.get_future().get());
  auto ha = ZEPLog::kst_getHandler("a");
  auto hb = ZEPLog::kst_getHandler("b");
  ASSERT_TRUE(ha && hb);
  EXPECT_EQ(console.count("init done"), 2);
}

}  // namespace
}  // namespace zeplog
