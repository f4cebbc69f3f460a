// The send thread end to end: log calls in, requests at a loopback collector out.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "delivery_helpers.hpp"
#include "event/handle_registry.hpp"

namespace zeplog::test {
namespace {

using SendThreadTest = DeliveryTest;

std::string sessionIdOf(const char* handleId) {
  return textOf(detail::getHandler(handleId)->customFields->find("SessionID"));
}

TEST_F(SendThreadTest, OneCycleCarriesTheSessionAndTheLogCallsOfAHandle) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  ZEPLog::info("E7", "hello");
  ZEPLog::info("E7", "hello");  // a repeat while collapsing: held back
  ZEPLog::warn(nullptr, "hello");
  sendQueuedTogether();
  EXPECT_FALSE(ZEPLog::createLogSendThread());  // once per process

  ASSERT_TRUE(server.waitForRequests(1));
  const SeenRequest request = server.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v2/log");
  EXPECT_EQ(request.contentType, "application/json");
  EXPECT_EQ(request.remoteAddr, "127.0.0.1");

  Objects o = objectsOf(request.body);
  ASSERT_EQ(o.size(), 3u) << request.body;
  const json::Object& session = *o[0];
  const json::Object& info = *o[1];
  const json::Object& warn = *o[2];

  EXPECT_EQ(member(session, "logType"), "SESSION");
  EXPECT_EQ(member(session, "body"), "SESSION");
  EXPECT_EQ(member(session, "SessionID"), sessionIdOf("0"));
  EXPECT_EQ(member(session, "kstBulkIndex"), "0");

  EXPECT_EQ(member(info, "body"), "hello");
  EXPECT_EQ(member(info, "logLevel"), "INFO");
  EXPECT_EQ(member(info, "errorCode"), "E7");
  EXPECT_EQ(member(info, "logType"), "vela2-log");
  EXPECT_EQ(member(info, "projectName"), "app");
  EXPECT_EQ(member(info, "projectVersion"), "1.0");
  EXPECT_EQ(member(info, "UserID"), "user-1");
  EXPECT_EQ(member(info, "kstBulkIndex"), "1");
  EXPECT_TRUE(member(info, "sendTime"));
  EXPECT_TRUE(member(info, "Platform"));
  // Ordinary events carry no session id and no crash fields.
  EXPECT_FALSE(member(info, "SessionID"));
  EXPECT_FALSE(member(info, "SymMethod"));
  EXPECT_FALSE(member(info, "CrashStyle"));

  EXPECT_EQ(member(warn, "logLevel"), "WARN");
  EXPECT_EQ(member(warn, "kstBulkIndex"), "2");

  // Delivered: nothing written back, and the cycle's console lines were written.
  EXPECT_EQ(ZEPLog::fileQueueSize(), 0);
  EXPECT_TRUE(console.contains("logSendThread start"));
  EXPECT_TRUE(console.contains("queue size : 4"));
  EXPECT_TRUE(console.contains("is contain object"));
  EXPECT_TRUE(console.contains("] Send"));
  // The status line arrives before the cycle's last lines; wait for the cycle to end.
  for (int i = 0; i < 3000 && !console.contains("connectionDidFinishLoading"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(console.contains("didReceiveResponse 200"));
  EXPECT_TRUE(console.contains("connectionDidFinishLoading"));
}

TEST_F(SendThreadTest, AnIdleThreadSendsAtOnceAndABusyCycleGathersWhatCameMeanwhile) {
  ASSERT_TRUE(initHttp());
  ZEPLog::createLogSendThread();
  ASSERT_TRUE(server.waitForRequests(1));  // the session event

  // The thread waits for events: the next call is a request of its own.
  server.hold();
  ZEPLog::info(nullptr, "a");
  ASSERT_TRUE(server.waitForRequests(2));
  // While that request is in flight, two more calls gather for the next cycle.
  ZEPLog::info(nullptr, "b");
  ZEPLog::info(nullptr, "c");
  server.release();
  ASSERT_TRUE(server.waitForRequests(3));

  std::vector<Objects> b = bodies();
  ASSERT_EQ(b[1].size(), 1u);
  EXPECT_EQ(member(*b[1][0], "body"), "a");
  ASSERT_EQ(b[2].size(), 2u);
  EXPECT_EQ(member(*b[2][0], "body"), "b");
  EXPECT_EQ(member(*b[2][1], "body"), "c");
}

TEST_F(SendThreadTest, SyncStartHoldsEverythingUntilStartSendThread) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  ZEPLog::info(nullptr, "held");
  ZEPLog::createLogSendThread();
  for (int i = 0; i < 3000 && !console.contains("logSendThread start"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Several cycles' worth of time: a thread that ignored the hold would have sent by now.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(ZEPLog::queueSize(), 2);
  EXPECT_FALSE(console.contains("queue size"));

  ZEPLog::startSendThread();
  ASSERT_TRUE(server.waitForRequests(1));
  Objects o = objectsOf(server.requests()[0].body);
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(member(*o[1], "body"), "held");
}

TEST_F(SendThreadTest, AnEventOverTheBudgetIsSentAloneAndEndsItsCycle) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  // Drop the session event so the big event opens the first cycle.
  ASSERT_TRUE(queue().dequeue());
  const std::string big(3u << 20, 'x');
  ZEPLog::info(nullptr, big);
  ZEPLog::info(nullptr, "small");
  sendQueuedTogether();
  ASSERT_TRUE(server.waitForRequests(2));
  std::vector<Objects> b = bodies();
  ASSERT_EQ(b[0].size(), 1u);
  EXPECT_EQ(member(*b[0][0], "body")->size(), big.size());
  ASSERT_EQ(b[1].size(), 1u);
  EXPECT_EQ(member(*b[1][0], "body"), "small");
}

TEST_F(SendThreadTest, EventsOfAnUnknownProjectOrHandleAreDropped) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  auto stray = [](const char* project, const char* handleId) {
    auto fields = std::make_shared<Fields>();
    fields->set("logLevel", Bytes("INFO"));
    return std::make_shared<VelaEvent>(project, "1", "vela2-log", "mac-log", Bytes(project), 1,
                                       Text(), fields, handleId);
  };
  queue().enqueue(stray("other", "0"));     // project never initialised here
  queue().enqueue(stray("app", "nobody"));  // handle unknown
  queue().enqueue(stray("app", nullptr));   // no handle id
  ZEPLog::info(nullptr, "kept");
  sendQueuedTogether();
  ASSERT_TRUE(server.waitForRequests(1));
  Objects o = objectsOf(server.requests()[0].body);
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(member(*o[0], "logType"), "SESSION");
  EXPECT_EQ(member(*o[1], "body"), "kept");
}

TEST_F(SendThreadTest, ARepeatedInitialisationKeepsTheProjectsGatheredEvents) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  auto& table = *detail::globals().gs_bulkObjectManager;
  std::shared_ptr<detail::Batch> batch = *table.find("app");
  batch->push(queue().dequeue());  // as the send thread gathers it

  EXPECT_FALSE(initHttp(SyncStart::On, Text(), "app", "0"));  // refused: "0" exists
  EXPECT_TRUE(initHttp(SyncStart::On, Text(), "app", "second"));
  EXPECT_EQ(*table.find("app"), batch);
  EXPECT_EQ(batch->size(), 1u);
}

// With the console silenced the common fields are written once per handle and appended to
// each event's own members; the bytes on the wire must be those of events that hold them.
// The same events go out twice, first with the console on (each event takes copies), then
// silenced, and the two bodies must be equal apart from the log call's own send time.
TEST_F(SendThreadTest, DeferredCommonFieldsLeaveTheBodyByteForByteTheSame) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  ZEPLog::setCustomField("quote \" and \u00e9", "Team");
  ZEPLog::setCustomField("hidden", "Secret");
  ZEPLog::redactFields({"Secret", "errorCode"});  // the log call's own field too
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::getHandler("0")->isDeduplicate = false;  // the second round repeats the first
  }
  sendQueuedTogether();
  ASSERT_TRUE(server.waitForRequests(1));  // the session event

  auto crafted = [](std::vector<std::pair<std::string, std::string>> own) {
    auto fields = std::make_shared<Fields>();
    fields->set("logLevel", Bytes("INFO"));
    for (auto& [k, v] : own) fields->set(k, Bytes(v));
    return std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "mac-log", Bytes("crafted"), 7,
                                       "-", fields, "0");
  };
  auto round = [&] {
    ZEPLog::info("E1", "a \"log\" call\n");
    ZEPLog::warn(nullptr, "no error code");
    queue().enqueue(crafted({}));
    queue().enqueue(crafted({{"Platform", "restored"}}));  // a field of the same name: replaced
    queue().enqueue(crafted({{"Team", "own"}}));           // a custom field never replaces one
    queue().enqueue(crafted({{"UserID", "own"}}));         // the handle's user id does
    queue().enqueue(crafted({{"Secret", "own"}}));
    queue().enqueue(crafted({{"k\xff", "not UTF-8"}}));
    ASSERT_TRUE(ZEPLog::flush(std::chrono::seconds(30)));
  };
  round();
  ZEPLog::silenceConsole();
  round();

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  const std::regex sendTime(R"("sendTime":"[0-9]+")");
  const std::string first = std::regex_replace(requests[1].body, sendTime, "");
  EXPECT_EQ(first, std::regex_replace(requests[2].body, sendTime, ""));
  EXPECT_NE(first.find(R"("Team":"quote \" and é","Secret":"[redacted]")"), std::string::npos)
      << first;
}

}  // namespace
}  // namespace zeplog::test
