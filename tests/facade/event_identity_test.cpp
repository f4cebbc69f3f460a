// A log call's event keeps the handle identity it was made with: later attribute changes,
// a replaced record and changes to another event of the same handle never show in it.
#include <gtest/gtest.h>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class EventIdentityTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1.0"));
    ASSERT_EQ(ZEPLog::queueSize(), 1);
    session = take();
  }
  static VelaEventPtr take() { return detail::blockQueue()->dequeue(); }
  VelaEventPtr session;
};

TEST_F(EventIdentityTest, AQueuedEventKeepsTheAttributesItWasMadeWith) {
  ZEPLog::info("E1", "before");
  ZEPLog::setLogType("type-2");
  ZEPLog::setLogSource("source-2");
  ZEPLog::info(Text(), "after");
  ASSERT_EQ(ZEPLog::queueSize(), 2);
  VelaEventPtr before = take();
  VelaEventPtr after = take();

  EXPECT_EQ(before->logType(), "vela2-log");
  EXPECT_EQ(before->logSource(), "mac-log");
  EXPECT_EQ(before->body(), Bytes("before"));
  EXPECT_EQ(before->fields()->keys(), (std::vector<std::string>{"errorCode", "logLevel"}));
  EXPECT_EQ(after->logType(), "type-2");
  EXPECT_EQ(after->logSource(), "source-2");
  EXPECT_EQ(after->projectName(), "app");
  EXPECT_EQ(after->handleId(), "0");
  // The session start made at initialisation is of its own type.
  EXPECT_EQ(session->logType(), "SESSION");
  EXPECT_EQ(session->projectName(), "app");
}

TEST_F(EventIdentityTest, ChangingOneEventChangesNoOtherEventOfTheHandle) {
  ZEPLog::info(Text(), "one");
  ZEPLog::info(Text(), "two");
  VelaEventPtr one = take();
  VelaEventPtr two = take();
  one->setLogType("mine");
  one->setProjectName("other");
  one->unsetProjectVersion();
  EXPECT_EQ(one->logType(), "mine");
  EXPECT_EQ(one->projectName(), "other");
  EXPECT_EQ(one->projectVersion(), std::nullopt);
  EXPECT_EQ(two->logType(), "vela2-log");
  EXPECT_EQ(two->projectName(), "app");
  EXPECT_EQ(two->projectVersion(), "1.0");
  ZEPLog::info(Text(), "three");
  EXPECT_EQ(take()->logType(), "vela2-log");
}

TEST_F(EventIdentityTest, AReplacedRecordGivesNewEventsItsIdentityOnly) {
  ZEPLog::info(Text(), "old");
  ZEPLog::kst_setHandler("0");  // a fresh record with defaults: no project
  ZEPLog::info(Text(), "new");
  VelaEventPtr old = take();
  VelaEventPtr fresh = take();
  EXPECT_EQ(old->projectName(), "app");
  EXPECT_EQ(fresh->projectName(), std::nullopt);
  EXPECT_EQ(fresh->logType(), "vela2-log");
}

// A copy of a log call's event has its own text; the copy and the original share the field
// dictionary, as copies of any event do.
TEST_F(EventIdentityTest, ACopyOfALogEventHoldsItsTextAndSharesItsFields) {
  ZEPLog::error("E9", "copied message");
  VelaEventPtr original = take();
  VelaEvent copy(*original);
  original.reset();  // the copy must not read the original's storage
  EXPECT_EQ(copy.body(), Bytes("copied message"));
  ASSERT_TRUE(copy.fields());
  const FieldValue* code = copy.fields()->find("errorCode");
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(std::get<Bytes>(*code), Bytes("E9"));

  ZEPLog::info(Text(), "shared");
  VelaEventPtr e = take();
  VelaEvent second(*e);
  second.fields()->set("added", Bytes("x"));
  EXPECT_TRUE(e->fields()->contains("added"));
}

}  // namespace
}  // namespace zeplog
