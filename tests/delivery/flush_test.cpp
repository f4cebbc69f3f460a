// Flushing: a cycle on demand, bounded waits, and the event counters the send thread moves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "zeplog/zeplog.h"

#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "delivery_helpers.hpp"
#include "event/handle_registry.hpp"

namespace zeplog::test {
namespace {

using namespace std::chrono_literals;

// The send thread's pause is an hour, so only a flush makes it send anything after its first
// cycle: a test that passes shows that the flush woke it.
class FlushTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    detail::waits().sendCycleSleep = std::chrono::hours(1);
  }

  // Initialised and the send thread running with its hold released; the settings thread has
  // done its work, so it pauses no cycle of the test.
  void startLibrary() {
    ASSERT_TRUE(initHttp(SyncStart::On));
    waitForSettings("0");
    sendQueuedTogether();
  }

  // The events the collector received in log requests, as bodies.
  std::vector<std::string> deliveredBodies() const {
    std::vector<std::string> out;
    for (const SeenRequest& r : server.requests()) {
      if (r.path != "/v2/log") continue;
      for (const auto& o : objectsOf(r.body)) out.push_back(member(*o, "body").value_or("-"));
    }
    return out;
  }

  static void logNumbered(int from, int to) {
    for (int i = from; i < to; ++i) ZEPLog::info("", "event " + std::to_string(i));
  }
};

TEST_F(FlushTest, BeforeInitialisationAndWithNothingQueuedItIsTrueWithoutASend) {
  EXPECT_TRUE(ZEPLog::flush(1h));
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));  // the session event
  const std::size_t requests = server.requestCount();

  // A held collector would keep any request waiting: a flush that sent one could not be
  // true before the bound.
  server.hold();
  EXPECT_TRUE(ZEPLog::flush(1h));
  EXPECT_EQ(server.requestCount(), requests);
  server.release();
}

TEST_F(FlushTest, ALiveCollectorGetsEverythingQueuedAndEachFlushWakesTheThread) {
  startLibrary();
  logNumbered(0, 300);
  EXPECT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(ZEPLog::queueSize(), 0);
  std::vector<std::string> bodies = deliveredBodies();
  ASSERT_EQ(bodies.size(), 301u);  // the session first
  EXPECT_EQ(bodies[1], "event 0");
  EXPECT_EQ(bodies[300], "event 299");
  EXPECT_EQ(ZEPLog::counters().delivered, 301u);

  // The thread is back in its hour-long pause; the next flush has to wake it again.
  logNumbered(300, 310);
  EXPECT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(deliveredBodies().size(), 311u);
  EXPECT_EQ(ZEPLog::counters().delivered, 311u);
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);
}

TEST_F(FlushTest, MoreThanOneCycleBudgetIsSentBeforeTheFlushIsAnswered) {
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  // About 6 MiB of event text: three cycles' worth at 2 MiB each.
  const std::string big(64 * 1024, 'x');
  for (int i = 0; i < 100; ++i) ZEPLog::info("", big + std::to_string(i));
  EXPECT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(ZEPLog::queueSize(), 0);
  EXPECT_EQ(deliveredBodies().size(), 101u);
}

TEST_F(FlushTest, ACollectorThatNeverAnswersMakesItFalseAtTheBoundNotAtTheRequestTimeout) {
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  server.hold();
  logNumbered(0, 5);
  EXPECT_FALSE(ZEPLog::flush(200ms));
  // The request is still open: had the flush waited for the request's own timeout, the
  // request would have been cut off and its events written back.
  ASSERT_TRUE(server.waitForRequests(server.requestCount()));
  server.release();
  EXPECT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(ZEPLog::counters().writtenBack, 0u);
  EXPECT_EQ(deliveredBodies().size(), 6u);
}

// The largest timeouts a caller can pass wait as long as it takes: no deadline overflows
// into "already past".
TEST_F(FlushTest, TheLargestTimeoutsWaitForASlowCollector) {
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  const std::function<bool()> flushes[] = {
      [] { return ZEPLog::flush(std::chrono::milliseconds::max()); },
      [] { return zeplog_flush(INT64_MAX) == 1; },
  };
  int logged = 0;
  for (const auto& flush : flushes) {
    server.hold();
    const std::size_t before = server.requestCount();
    logNumbered(logged, logged + 3);
    logged += 3;
    std::thread releaser([&] {
      (void)server.waitForRequests(before + 1);  // the flush's request is open
      server.release();
    });
    EXPECT_TRUE(flush());
    releaser.join();
  }
  EXPECT_EQ(deliveredBodies().size(), 7u);
}

TEST_F(FlushTest, AFailedSendMakesItFalseAndSoDoEventsWaitingForTheNextRun) {
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  server.setStatus(503);
  logNumbered(0, 4);
  EXPECT_FALSE(ZEPLog::flush(60s));
  EXPECT_EQ(ZEPLog::fileQueueSize(), 4);
  const Counters c = ZEPLog::counters();
  EXPECT_EQ(c.writtenBack, 4u);
  EXPECT_EQ(c.delivered, 1u);

  // Nothing new to send, but the failed events are still not delivered.
  server.setStatus(200);
  const std::size_t requests = server.requestCount();
  EXPECT_FALSE(ZEPLog::flush(60s));
  // The thread now waits for events rather than pausing; with nothing to send there is
  // nothing to wait for either.
  EXPECT_FALSE(ZEPLog::flush(1h));
  EXPECT_EQ(server.requestCount(), requests);
}

TEST_F(FlushTest, OnTheSendThreadItAnswersWithoutWaitingForItself) {
  // A console handler runs on whichever thread writes the line; this one flushes from the
  // send thread in the middle of a cycle. Waiting for its own cycle would hang the thread.
  struct Seen {
    std::atomic<bool> flushed{false};
    std::atomic<bool> answer{true};
  };
  auto seen = std::make_shared<Seen>();
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  ZEPLog::setConsoleHandler([seen](std::string_view line) {
    if (line.find("] Send") == std::string_view::npos || seen->flushed.exchange(true)) return;
    seen->answer = ZEPLog::flush(1h);
  });
  server.setStatus(503);
  logNumbered(0, 1);
  EXPECT_FALSE(ZEPLog::flush(60s));
  ZEPLog::setConsoleHandler(nullptr);
  EXPECT_TRUE(seen->flushed);
  EXPECT_FALSE(seen->answer);  // at that moment the event was on its way, not delivered
}

TEST_F(FlushTest, TheSendThreadCountsWhatItDoesWithEachEvent) {
  startLibrary();
  ASSERT_TRUE(ZEPLog::flush(60s));
  const Counters before = ZEPLog::counters();

  ZEPLog::info("", "same");
  ZEPLog::info("", "same");  // collapsed into the first
  ZEPLog::info("", "same");  // and again
  EXPECT_TRUE(ZEPLog::flush(60s));
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::getHandler("0")->isLog = false;
  }
  ZEPLog::info("", "first of its kind");  // refused: isLog is off
  // An event of a handle that never existed is lost at the send thread...
  detail::blockQueue()->enqueue(std::make_shared<VelaEvent>(
      std::string("app"), std::string("1"), std::nullopt, std::nullopt, Bytes("ghost"), 0,
      std::nullopt, std::make_shared<Fields>(), std::string("ghost-handle")));
  // ...and a log call naming one is lost at once.
  ZEPLog::info("", "nowhere", nullptr, "ghost-handle");

  EXPECT_FALSE(ZEPLog::flush(60s));  // an event was lost
  const Counters c = ZEPLog::counters();
  EXPECT_EQ(c.delivered - before.delivered, 1u);
  EXPECT_EQ(c.collapsedRepeats - before.collapsedRepeats, 2u);
  EXPECT_EQ(c.refusedByFilter - before.refusedByFilter, 1u);
  EXPECT_EQ(c.lostUnknownHandle - before.lostUnknownHandle, 2u);
  EXPECT_EQ(c.writtenBack, 0u);
  EXPECT_EQ(deliveredBodies().back(), "same");
}

}  // namespace
}  // namespace zeplog::test
