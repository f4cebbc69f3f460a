// Log calls with typed attributes and a trace context, staged per thread and made into
// events by the drain: what the events carry, and the order and bounds of the staging.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event/event_json.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/log_staging.hpp"
#include "queue/queue_counters.hpp"
#include "queue/staging_ring.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

const TraceContext kTraceA =
    *TraceContext::fromTraceparent("00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01");
const TraceContext kTraceB =
    *TraceContext::fromTraceparent("00-0af7651916cd43dd8448eb211c80319c-b7ad6b7169203331-00");

class StructuredLogTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    // Held by sync start: the send thread takes nothing, whatever the queue holds.
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1.0", SyncStart::On));
    ASSERT_EQ(ZEPLog::queueSize(), 1);  // the session event
    detail::blockQueue()->dequeue();
  }
  static std::vector<VelaEventPtr> takeAll() {
    std::vector<VelaEventPtr> out;
    detail::blockQueue()->takeStagedLogs();
    while (VelaEventPtr e = detail::blockQueue()->dequeueIfAny()) out.push_back(std::move(e));
    return out;
  }
  static std::string body(const VelaEventPtr& e) { return e->body() ? e->body()->data : "<none>"; }
};

TEST_F(StructuredLogTest, AttributesAndTraceGoOutTypedAndTheLibraryFieldsWin) {
  const std::uint64_t cutBefore = ZEPLog::counter(Counter::AttributesCut);
  const std::uint64_t clashesBefore = ZEPLog::counter(Counter::AttributeClashes);
  ZEPLog::setThreadTraceContext(kTraceA);
  ZEPLog::log(Level::Warn, "served",
              {{"route", "/users"},
               {"bytes", 512},
               {"ratio", 0.5},
               {"cached", true},
               {"logLevel", "mine"},
               {"", 1}});
  const zeplog_attribute c[] = {{"n", ZEPLOG_ATTRIBUTE_INT, {.integer = -3}},
                                {"odd", static_cast<zeplog_attribute_type>(9), {.integer = 1}}};
  ZEPLog::clearThreadTraceContext();
  zeplog_log_attrs(ZEPLOG_ERROR, "from C", c, 2);
  const auto events = takeAll();
  ASSERT_EQ(events.size(), 2u);
  // As the send thread writes them into a request.
  auto requestJson = [](const VelaEventPtr& e) {
    std::string out;
    detail::appendJsonOfVelaEvent(out, e, 0);
    return out;
  };
  const std::string json = requestJson(events[0]);
  for (const char* member :
       {R"("logLevel":"WARN")", R"("route":"/users")", R"("bytes":512)", R"("ratio":0.5)",
        R"("cached":true)", R"("traceId":"4bf92f3577b34da6a3ce929d0e0e4736")",
        R"("spanId":"00f067aa0ba902b7")"})
    EXPECT_NE(json.find(member), std::string::npos) << member << " in " << json;
  EXPECT_EQ(json.find("mine"), std::string::npos) << json;
  const std::string fromC = requestJson(events[1]);
  EXPECT_NE(fromC.find(R"("n":-3)"), std::string::npos) << fromC;
  EXPECT_NE(fromC.find(R"("logLevel":"ERROR")"), std::string::npos) << fromC;
  EXPECT_EQ(fromC.find("traceId"), std::string::npos) << "cleared before the call";
  EXPECT_EQ(ZEPLog::counter(Counter::AttributesCut) - cutBefore, 2u);  // "" and type 9
  EXPECT_EQ(ZEPLog::counter(Counter::AttributeClashes) - clashesBefore, 1u);
  EXPECT_EQ(zeplog_counter(static_cast<int>(Counter::AttributeClashes)) - clashesBefore, 1u);
  // Once its fields are made (a copy, a hook), the attributes are text fields.
  EXPECT_EQ(std::get<Bytes>(*events[0]->fields()->find("bytes")).data, "512");
}

TEST_F(StructuredLogTest, EachThreadCarriesItsOwnTraceContext) {
  std::thread other([] {
    ZEPLog::setThreadTraceContext(kTraceB);
    ZEPLog::info("", "other");
  });
  other.join();
  {
    TraceScope a(kTraceA);
    ZEPLog::info("", "a");
    {
      TraceScope b(kTraceB);
      ZEPLog::info("", "b inside a");
    }
    ZEPLog::info("", "a again");
  }
  ZEPLog::info("", "none");
  EXPECT_EQ(
      zeplog_set_thread_traceparent("00-00000000000000000000000000000000-b7ad6b7169203331-00"), 0);
  ZEPLog::info("", "still none");
  const std::vector<std::pair<std::string, std::optional<TraceContext>>> expected = {
      {"other", kTraceB},   {"a", kTraceA}, {"b inside a", kTraceB},
      {"a again", kTraceA}, {"none", {}},   {"still none", {}}};
  const auto events = takeAll();
  ASSERT_EQ(events.size(), expected.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(body(events[i]), expected[i].first);
    EXPECT_EQ(detail::LogEventMaker::trace(*events[i]), expected[i].second) << i;
  }
}

// Two threads take turns: the queue holds their calls in the order they were made.
// Every length the staging copies differently (nothing, a few bytes, 8-byte and 16-byte
// moves, a call into memcpy) comes back byte for byte, in the message and in the error code.
TEST_F(StructuredLogTest, TextsOfEveryLengthComeBackExactly) {
  std::vector<std::string> texts;
  for (std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 300}) {
    std::string t(n, ' ');
    for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<char>('a' + (i * 7 + n) % 26);
    texts.push_back(t);
  }
  for (const std::string& t : texts) ZEPLog::info(t, t);
  const auto events = takeAll();
  ASSERT_EQ(events.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::string json;
    detail::appendJsonOfVelaEvent(json, events[i], 0);
    EXPECT_EQ(body(events[i]), texts[i]) << texts[i].size();
    if (!texts[i].empty()) {
      EXPECT_NE(json.find(R"("errorCode":")" + texts[i] + '"'), std::string::npos) << json;
    }
  }
}

TEST_F(StructuredLogTest, ThreadsInterleaveByTimeAndEachKeepsItsOrder) {
  std::mutex mu;
  std::condition_variable cv;
  int turn = 0;
  constexpr int kTurns = 40;
  auto player = [&](int me) {
    for (int i = me; i < kTurns; i += 2) {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return turn == i; });
      ZEPLog::info("", std::to_string(i));
      ++turn;
      cv.notify_all();
    }
  };
  std::thread a(player, 0), b(player, 1);
  a.join();
  b.join();
  const auto events = takeAll();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kTurns));
  for (int i = 0; i < kTurns; ++i) EXPECT_EQ(body(events[i]), std::to_string(i));
}

// A ring that fills drops its oldest calls, and the main queue's bound drops the oldest
// events, both counted: what is left is the newest, in order. The rings of ended threads
// are drained before a new thread takes them over.
TEST_F(StructuredLogTest, FullRingsAndEndedThreadsLoseOnlyWhatTheQueueBoundDrops) {
  const std::uint64_t droppedBefore = detail::eventCounters().droppedFromQueue.load();
  // More than a ring holds: the ring drops first, then the queue.
  constexpr int kCalls = 3 * kstVelaBlockQueue::kMaxEvents;
  static_assert(kCalls * 64 > detail::StagingRing::kBytes);
  for (int i = 0; i < kCalls; ++i) ZEPLog::info("", std::to_string(i));
  const std::size_t ringsBefore = detail::logStaging().ringsMade();
  for (int t = 0; t < 3; ++t) {
    std::thread([t] { ZEPLog::info("", "thread " + std::to_string(t)); }).join();
    (void)ZEPLog::queueSize();  // drains: the ended thread's ring is free again
  }
  EXPECT_LE(detail::logStaging().ringsMade(), ringsBefore + 1) << "ended threads' rings reused";
  EXPECT_EQ(ZEPLog::queueSize(), static_cast<std::int32_t>(kstVelaBlockQueue::kMaxEvents));
  EXPECT_EQ(detail::eventCounters().droppedFromQueue.load() - droppedBefore,
            static_cast<std::uint64_t>(kCalls + 3 - kstVelaBlockQueue::kMaxEvents));
  const auto events = takeAll();
  ASSERT_EQ(events.size(), kstVelaBlockQueue::kMaxEvents);
  const int firstKept = kCalls + 3 - static_cast<int>(kstVelaBlockQueue::kMaxEvents);
  for (int i = 0; i + 3 < static_cast<int>(events.size()); ++i)
    ASSERT_EQ(body(events[i]), std::to_string(firstKept + i));
  EXPECT_EQ(body(events.back()), "thread 2");
}

TEST(LogStagingClock, StampsMapLinearlyBetweenTwoDrainsAndClampOutside) {
  using Pair = detail::LogStaging::ClockPair;
  const Pair from{1000, 5'000'000'000};
  const Pair to{3000, 7'000'000'000};
  struct Case {
    std::uint64_t stamp;
    std::int64_t millis;
  };
  const Case cases[] = {{1000, 5000}, {2000, 6000}, {2999, 6999}, {500, 5000}, {9000, 7000}};
  for (const Case& c : cases)
    EXPECT_EQ(detail::LogStaging::wallMillis(c.stamp, from, to), c.millis) << c.stamp;
  // A wall clock set back between the drains: the stamps between take the later reading.
  EXPECT_EQ(detail::LogStaging::wallMillis(4000, to, Pair{5000, 6'000'000'000}), 6000);
}

}  // namespace
}  // namespace zeplog
