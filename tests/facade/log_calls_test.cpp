#include <gtest/gtest.h>

#include <thread>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class LogCallTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    // Held by sync start: the send thread takes nothing, whatever the queue holds.
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1.0", SyncStart::On));
    // Drop the session event so each test sees only its own events.
    ASSERT_EQ(ZEPLog::queueSize(), 1);
    detail::blockQueue()->dequeue();
  }
  static VelaEventPtr take() { return detail::blockQueue()->dequeue(); }
  static std::string bytes(const VelaEvent& e, std::string_view key) {
    const FieldValue* v = e.fields()->find(key);
    if (!v) return "<absent>";
    return std::holds_alternative<Bytes>(*v) ? std::get<Bytes>(*v).data : "text!";
  }
};

TEST_F(LogCallTest, InfoOnDefaultHandleQueuesOneCompleteEvent) {
  const std::int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  ZEPLog::info(Text(), "hello", "file.cpp:12");
  ASSERT_EQ(ZEPLog::queueSize(), 1);
  VelaEventPtr e = take();
  EXPECT_EQ(e->projectName(), "app");
  EXPECT_EQ(e->projectVersion(), "1.0");
  EXPECT_EQ(e->logType(), "vela2-log");
  EXPECT_EQ(e->logSource(), "mac-log");
  EXPECT_EQ(e->body(), Bytes("hello"));
  EXPECT_GE(e->sendTime(), before);
  EXPECT_EQ(e->host(), std::nullopt);
  EXPECT_EQ(e->handleId(), "0");
  ASSERT_EQ(e->fields()->keys(), std::vector<std::string>{"logLevel"});
  EXPECT_EQ(bytes(*e, "logLevel"), "INFO");
}

TEST_F(LogCallTest, EveryLevelAndFormReachesItsHandle) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "wk", "1", Text(), "WardKit"));
  ZEPLog::debug("c", "m");
  ZEPLog::warn_Wardkit("c", "m");
  ZEPLog::error_Wardkit("c", "m", "loc");
  ZEPLog::fatal("c", "m", Text(), "WardKit");
  ZEPLog::info("c", "m", "loc");
  ZEPLog::sendLog("CUSTOM", Text(), "m", Text());
  const std::pair<const char*, const char*> expected[] = {
      {"DEBUG", "0"},       {"WARN", "WardKit"}, {"ERROR", "WardKit"},
      {"FATAL", "WardKit"}, {"INFO", "0"},       {"CUSTOM", "0"}};
  for (auto [level, handle] : expected) {
    VelaEventPtr e = take();
    EXPECT_EQ(bytes(*e, "logLevel"), level);
    EXPECT_EQ(e->handleId(), handle);
    EXPECT_EQ(e->projectName(), std::string(handle) == "0" ? "app" : "wk");
  }
}

TEST_F(LogCallTest, SessionMessageAndErrorCodes) {
  ZEPLog::warn("", "SESSION");
  ZEPLog::warn(" ", "session");
  ZEPLog::warn(Text(), Text());
  ZEPLog::sendLog(Text(), "E1", "x", Text());
  VelaEventPtr a = take(), b = take(), c = take(), d = take();
  EXPECT_EQ(a->logType(), "SESSION");
  EXPECT_EQ(bytes(*a, "errorCode"), "<absent>");
  EXPECT_EQ(b->logType(), "vela2-log");  // letter case matters
  EXPECT_EQ(bytes(*b, "errorCode"), " ");
  EXPECT_EQ(c->body(), Bytes(""));
  EXPECT_EQ(bytes(*d, "logLevel"), "");
  EXPECT_EQ(bytes(*d, "errorCode"), "E1");
}

TEST_F(LogCallTest, UnknownHandleQueuesNothing) {
  ZEPLog::warn_Wardkit("c", "m");
  ZEPLog::info("c", "m", Text(), Text());
  EXPECT_EQ(ZEPLog::queueSize(), 0);  // the staged call is refused when it becomes an event
  EXPECT_EQ(console.count("handleId is null"), 2);
  EXPECT_TRUE(console.contains("handlerName is null"));
}

TEST_F(LogCallTest, InvalidUtf8IsRepairedAtTheBoundary) {
  ZEPLog::info("\xFF", "bad \xC3 text");
  VelaEventPtr e = take();
  EXPECT_EQ(e->body(), Bytes("bad \xEF\xBF\xBD text"));
  EXPECT_EQ(bytes(*e, "errorCode"), "\xEF\xBF\xBD");
}

TEST_F(LogCallTest, HostFollowsTheSwitchAtCreation) {
  ZEPLog::enableHost(false);
  ZEPLog::info(Text(), "a");
  ZEPLog::enableHost(true);
  ZEPLog::info(Text(), "b");
  EXPECT_EQ(take()->host(), "-");
  EXPECT_EQ(take()->host(), std::nullopt);
}

TEST_F(LogCallTest, ConcurrentCallersLoseNothing) {
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) ZEPLog::info(Text(), std::to_string(t * kEach + i));
    });
  for (auto& t : threads) t.join();
  ASSERT_EQ(ZEPLog::queueSize(), kThreads * kEach);
  std::vector<bool> seen(kThreads * kEach);
  for (int i = 0; i < kThreads * kEach; ++i) seen[std::stoi(take()->body()->data)] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kThreads * kEach);
}

}  // namespace
}  // namespace zeplog
