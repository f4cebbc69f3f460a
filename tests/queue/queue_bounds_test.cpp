// The event queues' bounds in number and bytes, the drops they count, and the drop report.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/event_bytes.hpp"
#include "queue/queue_counters.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

VelaEventPtr eventOf(const std::string& body) {
  auto fields = std::make_shared<Fields>();
  fields->set("logLevel", std::string("INFO"));
  return std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "mac-log", Bytes(body), 1, Text(),
                                     fields, "0");
}

std::string bodyOf(const VelaEventPtr& e) { return e && e->body() ? e->body()->data : "-"; }

Counters countersNow() { return detail::countersSnapshot(); }

TEST(EventBytes, CountsBodyTextsAndFieldsAndStaysTheSameForAnUnchangedEvent) {
  VelaEventPtr small = eventOf("x");
  VelaEventPtr large = eventOf(std::string(1000, 'x'));
  EXPECT_EQ(detail::eventBytes(*large) - detail::eventBytes(*small), 999u);
  EXPECT_EQ(detail::eventBytes(*small), detail::eventBytes(*small));
  const std::size_t before = detail::eventBytes(*small);
  small->fields()->set("key", std::string("value"));
  EXPECT_GE(detail::eventBytes(*small), before + 8);
}

TEST(QueueBounds, TheCountBoundDropsTheOldestOfEachQueueAndCountsItsOwnQueue) {
  kstVelaBlockQueue q;
  const Counters before = countersNow();
  for (int i = 0; i < 2005; ++i) q.enqueue(eventOf("m" + std::to_string(i)));
  for (int i = 0; i < 2003; ++i) q.enqueueFile(eventOf("f" + std::to_string(i)));
  EXPECT_EQ(q.queueCount(), 2000);
  EXPECT_EQ(q.fileQueueCount(), 2000);
  EXPECT_EQ(bodyOf(q.dequeue()), "m5");
  EXPECT_EQ(bodyOf(q.fileQueueEvents().front()), "f3");
  const Counters after = countersNow();
  EXPECT_EQ(after.droppedFromQueue - before.droppedFromQueue, 5u);
  EXPECT_EQ(after.droppedFromFailedQueue - before.droppedFromFailedQueue, 3u);
}

TEST(QueueBounds, TheByteBoundDropsTheOldestAndKeepsTheBytesUnderIt) {
  const std::size_t one = detail::eventBytes(*eventOf("event 10"));  // each weighs the same
  kstVelaBlockQueue q(10 * one);
  const Counters before = countersNow();
  for (int i = 0; i < 15; ++i) q.enqueue(eventOf("event " + std::to_string(i + 10)));
  EXPECT_EQ(q.queueCount(), 10);
  EXPECT_EQ(q.queueBytes(), 10 * one);
  EXPECT_EQ(countersNow().droppedFromQueue - before.droppedFromQueue, 5u);
  EXPECT_EQ(bodyOf(q.dequeue()), "event 15");

  // One event of four events' weight makes room for itself by pushing three out (nine are
  // queued).
  q.enqueue(eventOf(std::string(3 * one + 8, 'L')));
  EXPECT_EQ(q.queueCount(), 7);
  EXPECT_EQ(q.queueBytes(), 10 * one);
  EXPECT_EQ(bodyOf(q.dequeue()), "event 19");

  // Taking everything out leaves nothing weighed.
  while (q.queueCount() > 0) q.dequeue();
  EXPECT_EQ(q.queueBytes(), 0u);
}

TEST(QueueBounds, AnEventLargerThanTheWholeBoundIsDroppedAndTheQueueKept) {
  const std::size_t one = detail::eventBytes(*eventOf("small"));
  kstVelaBlockQueue q(4 * one);
  q.enqueue(eventOf("small"));
  const Counters before = countersNow();
  q.enqueue(eventOf(std::string(10 * one, 'H')));
  q.frontEnqueue(eventOf(std::string(10 * one, 'H')));
  q.enqueueFile(eventOf(std::string(10 * one, 'H')));
  EXPECT_EQ(q.queueCount(), 1);
  EXPECT_EQ(q.fileQueueCount(), 0);
  const Counters after = countersNow();
  EXPECT_EQ(after.droppedFromQueue - before.droppedFromQueue, 2u);
  EXPECT_EQ(after.droppedFromFailedQueue - before.droppedFromFailedQueue, 1u);
}

TEST(QueueBounds, AFrontInsertAtTheByteBoundDropsTheNewest) {
  const std::size_t one = detail::eventBytes(*eventOf("a"));
  kstVelaBlockQueue q(3 * one);
  q.enqueue(eventOf("a"));
  q.enqueue(eventOf("b"));
  q.enqueue(eventOf("c"));
  q.frontEnqueue(eventOf("z"));
  EXPECT_EQ(q.queueCount(), 3);
  EXPECT_EQ(bodyOf(q.dequeue()), "z");
  EXPECT_EQ(bodyOf(q.dequeue()), "a");
  EXPECT_EQ(bodyOf(q.dequeue()), "b");
}

class QueueFilesBounds : public test::LibraryTest {};

TEST_F(QueueFilesBounds, ARestoreIntoASmallerByteBoundKeepsTheNewestAndCountsTheRest) {
  {
    kstVelaBlockQueue earlier;
    for (int i = 0; i < 10; ++i) earlier.enqueue(eventOf("saved " + std::to_string(i)));
    earlier.saveToFile();
  }
  const std::size_t one = detail::eventBytes(*eventOf("saved 0"));
  kstVelaBlockQueue q(4 * one);
  const Counters before = countersNow();
  q.FileToMemory();
  EXPECT_EQ(q.queueCount(), 4);
  EXPECT_EQ(bodyOf(q.dequeue()), "saved 6");
  EXPECT_EQ(countersNow().droppedFromQueue - before.droppedFromQueue, 6u);
}

// The drop report reads this clock.
std::atomic<std::int64_t> fakeNow{0};
std::int64_t fakeClock() { return fakeNow.load(); }

TEST_F(QueueFilesBounds, DropsAreReportedAtMostOnceAMinuteWithTheCountSinceTheLastLine) {
  detail::setDropReportClock(&fakeClock);
  const std::size_t one = detail::eventBytes(*eventOf("e"));
  kstVelaBlockQueue q(one);  // room for one event: every further enqueue drops one
  const auto lines = [&] { return console.count("events dropped at a queue bound"); };

  fakeNow = 1'000'000;
  q.enqueue(eventOf("e"));
  q.enqueue(eventOf("e"));
  EXPECT_EQ(lines(), 1);
  EXPECT_TRUE(
      console.contains("] 1 events dropped at a queue bound (1 from the queue and 0 "
                       "from the failed-send queue since the start)"))
      << ::testing::PrintToString(console.lines());

  q.enqueue(eventOf("e"));
  fakeNow = 1'059'999;
  q.enqueue(eventOf("e"));
  q.enqueueFile(eventOf("e"));
  q.enqueueFile(eventOf("e"));  // drops one from the failed-send queue
  EXPECT_EQ(lines(), 1);

  fakeNow = 1'060'000;
  q.enqueue(eventOf("e"));
  EXPECT_EQ(lines(), 2);
  EXPECT_TRUE(
      console.contains("] 4 events dropped at a queue bound (4 from the queue and 1 "
                       "from the failed-send queue since the start)"))
      << ::testing::PrintToString(console.lines());
  detail::setDropReportClock(nullptr);
}

TEST(RateLimit, OnlyOneOfRacingCallersGetsTheYes) {
  detail::RateLimit limit(60'000);
  EXPECT_TRUE(limit.allow(-5));  // any first reading, negative ones too
  EXPECT_FALSE(limit.allow(59'994));
  EXPECT_TRUE(limit.allow(59'995));
  EXPECT_FALSE(limit.allow(59'995));
}

TEST_F(QueueFilesBounds, TheByteLimitIsSetBeforeTheFirstInitialisationOnly) {
  EXPECT_FALSE(ZEPLog::setQueueByteLimit(0));
  EXPECT_TRUE(console.contains("a limit of 0 bytes is refused"));
  EXPECT_TRUE(ZEPLog::setQueueByteLimit(123456));
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "app", "1", SyncStart::On));
  EXPECT_EQ(detail::blockQueue()->byteLimit(), 123456u);
  EXPECT_FALSE(ZEPLog::setQueueByteLimit(1 << 20));
  EXPECT_TRUE(console.contains("setQueueByteLimit : only before the first initialisation"));
  EXPECT_EQ(detail::blockQueue()->byteLimit(), 123456u);
}

}  // namespace
}  // namespace zeplog
