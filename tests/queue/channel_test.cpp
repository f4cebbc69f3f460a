#include "queue/channel.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

namespace zeplog {
namespace {

// Items put back under the lock (as a restore does) reach every waiter through broadcast.
TEST(ChannelLocked, BroadcastWakesEveryWaiter) {
  Channel<int> c;
  std::latch started(2);
  int got[2] = {-1, -1};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&, i] {
      started.count_down();
      got[i] = c.take();
    });
  started.wait();
  {
    auto held = c.lock();
    held.items().push_back(7);
    held.items().push_back(8);
    held.broadcast();
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(got[0] + got[1], 15);
  EXPECT_EQ(c.count(), 0);
}

TEST(ChannelLocked, TrimHeadKeepsOneBelowTheBound) {
  Channel<int> c;
  auto held = c.lock();
  for (int i = 0; i < 12; ++i) held.items().push_back(i);
  held.trimHead(10);
  ASSERT_EQ(held.items().size(), 9u);
  EXPECT_EQ(held.items().front(), 3);
  EXPECT_EQ(held.items().back(), 11);
}

}  // namespace
}  // namespace zeplog
