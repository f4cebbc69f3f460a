// Session events: one per initialisation, and the renewal after a Unity crash.
#include <gtest/gtest.h>

#include "delivery_helpers.hpp"

namespace zeplog::test {
namespace {

using SessionTest = DeliveryTest;

std::string sessionIdOf(const char* handleId) {
  return textOf(ZEPLog::kst_getHandler(handleId)->customFields->find("SessionID"));
}

TEST_F(SessionTest, AUnityCrashEndsTheSessionInTheSameRequest) {
  ASSERT_TRUE(initHttp(SyncStart::On, "2022.3"));
  const std::string first = sessionIdOf("0");
  ZEPLog::sendUnityCrash("ERROR", "UNITY", "boom", "at Foo()");
  ZEPLog::info("E1", "after");
  sendQueuedTogether();
  ASSERT_TRUE(server.waitForRequests(1));

  const std::string renewed = sessionIdOf("0");
  EXPECT_NE(renewed, first);
  Objects o = objectsOf(server.requests()[0].body);
  ASSERT_EQ(o.size(), 4u) << server.requests()[0].body;
  EXPECT_EQ(member(*o[0], "logType"), "SESSION");
  EXPECT_EQ(member(*o[0], "SessionID"), first);
  EXPECT_EQ(member(*o[1], "logType"), "CRASH");
  EXPECT_EQ(member(*o[1], "SessionID"), first);
  EXPECT_EQ(member(*o[1], "DmpData"), "at Foo()");
  EXPECT_EQ(member(*o[1], "CrashStyle"), "unity-cs");

  const json::Object& renewal = *o[2];
  EXPECT_EQ(member(renewal, "logType"), "SESSION");
  EXPECT_EQ(member(renewal, "body"), "SESSION");
  EXPECT_EQ(member(renewal, "SessionID"), renewed);
  EXPECT_EQ(member(renewal, "logLevel"), "INFO");
  EXPECT_EQ(member(renewal, "kstBulkIndex"), "2");
  for (const char* gone : {"DmpData", "SymMethod", "CrashStyle", "errorCode"})
    EXPECT_FALSE(member(renewal, gone)) << gone;
  EXPECT_TRUE(member(renewal, "Platform"));  // inherited from the crash event

  EXPECT_EQ(member(*o[3], "body"), "after");
  EXPECT_FALSE(member(*o[3], "SessionID"));
}

TEST_F(SessionTest, OutsideUnityModeACrashKeepsTheSession) {
  ASSERT_TRUE(initHttp(SyncStart::On));
  const std::string first = sessionIdOf("0");
  ZEPLog::handledError("caught", "trace");
  sendQueuedTogether();
  ASSERT_TRUE(server.waitForRequests(1));
  Objects o = objectsOf(server.requests()[0].body);
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(member(*o[1], "logType"), "CRASH");
  EXPECT_EQ(member(*o[1], "SessionID"), first);
  EXPECT_EQ(sessionIdOf("0"), first);
}

class SessionRenewal : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    ASSERT_TRUE(initHttp(SyncStart::On, "2022.3"));
    ASSERT_TRUE(queue().dequeue());  // the session event
    waitForSettings("0");
  }
  static VelaEventPtr crash() {
    ZEPLog::sendUnityCrash("ERROR", "UNITY", "boom", "x");
    return queue().dequeue();
  }
};

TEST_F(SessionRenewal, ARestoredCrashRenewsTheIdButAddsNoSessionEvent) {
  VelaEventPtr e = crash();
  e->fields()->set("errorRate", std::string("1"));
  const std::string before = sessionIdOf("0");
  std::vector<VelaEventPtr> batch{e};
  ZEPLog::regenerateSession(e, batch, ZEPLog::kst_getHandler("0"));
  EXPECT_EQ(batch.size(), 1u);
  EXPECT_NE(sessionIdOf("0"), before);
}

TEST_F(SessionRenewal, ACrashSeenTwiceWhileCollapsingEndsNoMoreSessions) {
  auto handle = ZEPLog::kst_getHandler("0");
  VelaEventPtr e = crash();
  ASSERT_TRUE(ZEPLog::checkUnityCrash(e, handle));  // counted once
  std::vector<VelaEventPtr> batch{e};
  ZEPLog::regenerateSession(e, batch, handle);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(textOf(batch[1]->fields()->find("SessionID")), sessionIdOf("0"));
  EXPECT_EQ(batch[1]->handleId(), "0");

  EXPECT_FALSE(ZEPLog::checkUnityCrash(crash(), handle));  // counted twice
  const std::string before = sessionIdOf("0");
  ZEPLog::regenerateSession(e, batch, handle);
  EXPECT_EQ(batch.size(), 2u);
  EXPECT_EQ(sessionIdOf("0"), before);

  ZEPLog::regenerateSession(nullptr, batch, handle);
  EXPECT_TRUE(console.contains("handlerId is null"));
  ZEPLog::regenerateSession(e, batch, nullptr);
  EXPECT_TRUE(console.contains("handle is null"));
}

}  // namespace
}  // namespace zeplog::test
