#include "zeplog/notification_center.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.hpp"

namespace zeplog {
namespace {

constexpr auto kGuard = std::chrono::seconds(60);  // failure guard only

TEST(NotificationCenter, DeliversByNameInOrderWithTheObject) {
  NotificationCenter center;
  std::vector<std::string> seen;
  auto object = std::make_shared<int>(42);
  center.addObserver("a", [&](const Notification& n) {
    seen.push_back("first:" + n.name + ":" + std::to_string(*n.objectAs<int>()));
  });
  center.addObserver("b", [&](const Notification& n) { seen.push_back("b:" + n.name); });
  center.addObserver("", [&](const Notification& n) { seen.push_back("all:" + n.name); });
  center.addObserver("a", [&](const Notification& n) {
    EXPECT_EQ(n.objectAs<int>(), object);    // the very object posted
    EXPECT_EQ(n.objectAs<long>(), nullptr);  // another type is not guessed at
    seen.push_back("second:" + n.name);
  });
  center.post("a", object);
  center.post("c");
  EXPECT_EQ(seen, (std::vector<std::string>{"first:a:42", "all:a", "second:a", "all:c"}));
}

TEST(NotificationCenter, RemovedObserverIsNotCalledAndTokensAreDistinct) {
  NotificationCenter center;
  int calls = 0;
  auto t1 = center.addObserver("x", [&](const Notification&) { ++calls; });
  auto t2 = center.addObserver("x", [&](const Notification&) { calls += 10; });
  EXPECT_NE(t1, 0u);
  EXPECT_NE(t1, t2);
  EXPECT_EQ(center.addObserver("x", nullptr), 0u);
  center.removeObserver(t1);
  center.removeObserver(t1);    // twice: ignored
  center.removeObserver(9999);  // unknown: ignored
  center.post("x");
  EXPECT_EQ(calls, 10);
}

TEST(NotificationCenter, ObserverMayChangeObserversAndPostDuringAPost) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::Token later = 0;
  NotificationCenter::Token self = 0;
  self = center.addObserver("x", [&](const Notification&) {
    seen.push_back("self");
    center.removeObserver(self);   // removing itself must not wait for itself
    center.removeObserver(later);  // a removed observer is skipped in this post too
    center.addObserver("x", [&](const Notification&) { seen.push_back("added"); });
    center.post("y");  // re-entrant post
  });
  later = center.addObserver("x", [&](const Notification&) { seen.push_back("later"); });
  center.addObserver("y", [&](const Notification&) { seen.push_back("y"); });
  center.post("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"self", "y"}));
  seen.clear();
  center.post("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"added"}));
}

TEST(NotificationCenter, ThrowingObserverIsReportedAndOthersStillRun) {
  test::ConsoleCapture console;
  NotificationCenter center;
  bool secondRan = false;
  center.addObserver("x", [](const Notification&) { throw std::runtime_error("observer failed"); });
  center.addObserver("x", [&](const Notification&) { secondRan = true; });
  center.post("x");
  EXPECT_TRUE(secondRan);
  EXPECT_TRUE(console.contains("observer failed"));
}

// removeObserver returns only after a call running on another thread has returned, so the
// caller may then free what the observer uses.
TEST(NotificationCenter, RemoveWaitsForARunningCallOnAnotherThread) {
  NotificationCenter center;
  std::mutex lock;
  std::condition_variable changed;
  bool entered = false;   // guarded by lock
  bool release = false;   // guarded by lock
  bool finished = false;  // guarded by lock
  auto token = center.addObserver("x", [&](const Notification&) {
    std::unique_lock<std::mutex> guard(lock);
    entered = true;
    changed.notify_all();
    changed.wait_for(guard, kGuard, [&] { return release; });
    finished = true;
  });
  std::thread poster([&] { center.post("x"); });
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, kGuard, [&] { return entered; }));
  }
  bool removing = false;  // guarded by lock
  bool removed = false;   // guarded by lock
  std::thread remover([&] {
    {
      std::lock_guard<std::mutex> guard(lock);
      removing = true;
      changed.notify_all();
    }
    center.removeObserver(token);
    std::lock_guard<std::mutex> guard(lock);
    removed = true;
    // Had remove not waited, the observer would still be blocked here.
    EXPECT_TRUE(finished);
    changed.notify_all();
  });
  {
    // Release the observer only once the remover is on its way into removeObserver.
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, kGuard, [&] { return removing; }));
    release = true;
    changed.notify_all();
  }
  remover.join();
  poster.join();
  EXPECT_TRUE(removed);
}

TEST(NotificationCenter, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace zeplog
