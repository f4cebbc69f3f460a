#include "queue/block_queue.hpp"

#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

std::vector<VelaEventPtr> makeEvents(std::size_t n) {
  std::vector<VelaEventPtr> events;
  for (std::size_t i = 0; i < n; ++i) events.push_back(std::make_shared<VelaEvent>());
  return events;
}

// Takes every event left in the main queue, head first.
std::vector<VelaEventPtr> drain(kstVelaBlockQueue& q) {
  std::vector<VelaEventPtr> out;
  for (std::int32_t n = q.queueCount(); n > 0; --n) out.push_back(q.dequeue());
  return out;
}

TEST(BlockQueueBounds, FullMainQueueDropsItsOldestEvent) {
  kstVelaBlockQueue q;
  auto events = makeEvents(2001);
  for (auto& e : events) q.enqueue(e);
  EXPECT_EQ(q.queueCount(), 2000);

  auto left = drain(q);
  ASSERT_EQ(left.size(), 2000u);
  for (std::size_t i = 0; i < left.size(); ++i) ASSERT_EQ(left[i], events[i + 1]) << i;
  EXPECT_EQ(q.queueCount(), 0);
}

TEST(BlockQueueBounds, FrontEnqueueOnFullQueueDropsTheNewest) {
  kstVelaBlockQueue q;
  auto events = makeEvents(2000);
  for (auto& e : events) q.enqueue(e);
  auto urgent = std::make_shared<VelaEvent>();
  q.frontEnqueue(urgent);
  EXPECT_EQ(q.queueCount(), 2000);

  auto left = drain(q);
  ASSERT_EQ(left.size(), 2000u);
  EXPECT_EQ(left[0], urgent);
  for (std::size_t i = 1; i < left.size(); ++i) ASSERT_EQ(left[i], events[i - 1]) << i;
}

TEST(BlockQueueBounds, FailedSendQueueIsBoundedApart) {
  kstVelaBlockQueue q;
  for (auto& e : makeEvents(2001)) q.enqueueFile(e);
  EXPECT_EQ(q.fileQueueCount(), 2000);
  EXPECT_EQ(q.queueCount(), 0);
}

TEST(BlockQueueBounds, FullHandlerQueueDropsTheNewId) {
  kstVelaBlockQueue q;
  for (int i = 0; i <= 10; ++i) q.enqueue_handler("h" + std::to_string(i));
  EXPECT_EQ(q.queueSize_handler(), 10);
  EXPECT_EQ(q.dequeue_handler(), "h0");

  q.enqueue_handler("late");  // room again: accepted
  EXPECT_EQ(q.queueSize_handler(), 10);
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(q.dequeue_handler(), "h" + std::to_string(i));
  EXPECT_EQ(q.dequeue_handler(), "late");  // "h10" was dropped
  EXPECT_EQ(q.queueSize_handler(), 0);
}

TEST(BlockQueueBounds, ProbeQueueKeepsEveryItemInOrder) {
  kstVelaBlockQueue q;
  std::vector<std::shared_ptr<NetworkData>> items;
  for (int i = 0; i < 11; ++i) {
    items.push_back(
        std::make_shared<NetworkData>(NetworkData{"0", "http://127.0.0.1/" + std::to_string(i)}));
    q.enqueue_network(items.back());
  }
  for (auto& item : items) EXPECT_EQ(q.dequeue_network(), item);
}

TEST(BlockQueueAbsent, AbsentItemsChangeNoCount) {
  kstVelaBlockQueue q;
  q.enqueue(nullptr);
  q.frontEnqueue(nullptr);
  q.enqueueFile(nullptr);
  q.enqueue_handler(std::nullopt);
  q.enqueue_network(nullptr);
  EXPECT_EQ(q.queueCount(), 0);
  EXPECT_EQ(q.fileQueueCount(), 0);
  EXPECT_EQ(q.queueSize_handler(), 0);

  // Nothing absent reaches a consumer: the first items it gets are the real ones.
  auto item = std::make_shared<NetworkData>(NetworkData{"0", "http://127.0.0.1/"});
  q.enqueue_network(item);
  EXPECT_EQ(q.dequeue_network(), item);
  q.enqueue_handler("h");
  EXPECT_EQ(q.dequeue_handler(), "h");
}

// The waiting call runs on its own thread; the enqueue follows once that thread has started.
// Whichever of the two reaches the queue first, the waiting call must see exactly the one
// event and nothing before it.
TEST(BlockQueueWaits, QueueSizeWaitsForAnEvent) {
  kstVelaBlockQueue q;
  std::latch started(1);
  std::int32_t seen = -1;
  std::thread waiter([&] {
    started.count_down();
    seen = q.queueSize();
  });
  started.wait();
  q.enqueue(std::make_shared<VelaEvent>());
  waiter.join();
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(q.queueCount(), 1);
}

TEST(BlockQueueWaits, TakesWaitForTheirItem) {
  kstVelaBlockQueue q;
  auto event = std::make_shared<VelaEvent>();
  auto probe = std::make_shared<NetworkData>(NetworkData{"0", "http://127.0.0.1/"});
  std::latch started(3);
  VelaEventPtr gotEvent;
  std::string gotId;
  std::shared_ptr<NetworkData> gotProbe;
  std::thread a([&] {
    started.count_down();
    gotEvent = q.dequeue();
  });
  std::thread b([&] {
    started.count_down();
    gotId = q.dequeue_handler();
  });
  std::thread c([&] {
    started.count_down();
    gotProbe = q.dequeue_network();
  });
  started.wait();
  q.enqueue(nullptr);  // absent: wakes nobody, and nobody may return with it
  q.enqueue(event);
  q.enqueue_handler("h1");
  q.enqueue_network(probe);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(gotEvent, event);
  EXPECT_EQ(gotId, "h1");
  EXPECT_EQ(gotProbe, probe);
  EXPECT_EQ(q.queueCount(), 0);
}

// Several producers, one consumer, fewer events than the bound: each event arrives exactly
// once and every producer's events arrive in the order it queued them.
TEST(BlockQueueStress, ManyProducersOneConsumerLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 450;  // 1800 in all, below the bound
  kstVelaBlockQueue q;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&q, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        auto e = std::make_shared<VelaEvent>();
        e->setProjectName(std::to_string(p));
        e->setSendTime(i);
        q.enqueue(std::move(e));
      }
    });
  }
  std::vector<std::int64_t> next(kProducers, 0);
  for (int n = 0; n < kProducers * kPerProducer; ++n) {
    ASSERT_GE(q.queueSize(), 1);
    VelaEventPtr e = q.dequeue();
    ASSERT_TRUE(e);
    int p = std::stoi(*e->projectName());
    ASSERT_EQ(e->sendTime(), next[p]) << "producer " << p;
    ++next[p];
  }
  for (auto& t : producers) t.join();
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer);
  EXPECT_EQ(q.queueCount(), 0);
}

class BlockQueuePaths : public test::LibraryTest {};

TEST_F(BlockQueuePaths, BothFilesLiveInTheDataDirectory) {
  std::filesystem::path data = kstVelaBlockQueue::dataFilePath();
  std::filesystem::path file = kstVelaBlockQueue::fileFilePath();
  EXPECT_EQ(data.parent_path(), std::filesystem::path(dataDir.path()));
  EXPECT_EQ(file.parent_path(), data.parent_path());
  EXPECT_EQ(data.filename(), "Vela2SavedLog");
  EXPECT_EQ(file.filename(), "fileVela2SavedLog");
}

TEST_F(BlockQueuePaths, PathsFollowTheDataDirectoryAndCreateNothing) {
  std::string moved = dataDir.path() + "/elsewhere";
  ZEPLog::setDataDirectory(moved);
  EXPECT_EQ(kstVelaBlockQueue::dataFilePath(), moved + "/Vela2SavedLog");
  EXPECT_EQ(kstVelaBlockQueue::fileFilePath(), moved + "/fileVela2SavedLog");
  EXPECT_FALSE(std::filesystem::exists(moved));
}

}  // namespace
}  // namespace zeplog
