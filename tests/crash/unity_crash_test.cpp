#include <gtest/gtest.h>

#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

class UnityCrashTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1"));
    detail::blockQueue()->dequeue();  // the session event
  }
  static VelaEventPtr crash(const char* message, const char* exception) {
    ZEPLog::sendUnityCrash("ERROR", "UNITY", message, exception);
    return detail::blockQueue()->dequeue();
  }
  static const detail::CountTable& table() { return *detail::globals().deDuplicateCrashQueue; }
  static std::shared_ptr<const kstVelaHandle> h0() { return ZEPLog::kst_getHandler("0"); }
};

TEST_F(UnityCrashTest, CrashEventCarriesTheCrashFields) {
  VelaEventPtr e = crash("boom", "at Foo()");
  EXPECT_EQ(e->logType(), "CRASH");
  EXPECT_EQ(e->body(), Bytes("boom"));
  EXPECT_EQ(e->handleId(), "0");
  EXPECT_EQ(e->projectName(), "app");
  const Fields& f = *e->fields();
  EXPECT_EQ(std::get<Bytes>(*f.find("DmpData")).data, "at Foo()");
  EXPECT_EQ(std::get<std::string>(*f.find("SymMethod")), "none");
  EXPECT_EQ(std::get<std::string>(*f.find("CrashStyle")), "unity-cs");
  EXPECT_EQ(std::get<Bytes>(*f.find("logLevel")).data, "FATAL");
  EXPECT_TRUE(f.contains("Platform"));  // common fields come with it
  EXPECT_TRUE(f.contains("SessionID"));

  VelaEventPtr unknown = crash("m", nullptr);
  EXPECT_EQ(std::get<Bytes>(*unknown->fields()->find("DmpData")).data, "unknown");
}

TEST_F(UnityCrashTest, HandledExceptionIsACrashEvent) {
  ZEPLog::handledError("caught", "trace");
  VelaEventPtr e = detail::blockQueue()->dequeue();
  EXPECT_EQ(e->logType(), "CRASH");
  EXPECT_EQ(std::get<Bytes>(*e->fields()->find("logLevel")).data, "FATAL");
}

TEST_F(UnityCrashTest, RepeatsAreCountedWhileDeduplicating) {
  VelaEventPtr a = crash("m", "x"), b = crash("m", "x");
  EXPECT_TRUE(ZEPLog::checkUnityCrash(a, h0()));
  EXPECT_FALSE(ZEPLog::checkUnityCrash(b, h0()));
  EXPECT_EQ(*table().find("mFATALx"), "2");
}

TEST_F(UnityCrashTest, WithoutDeduplicationEveryCrashIsSentAndNothingCounted) {
  ZEPLog::setLogDeduplicate(false);
  VelaEventPtr a = crash("m", "x"), b = crash("m", "x");
  EXPECT_TRUE(ZEPLog::checkUnityCrash(a, h0()));
  EXPECT_TRUE(ZEPLog::checkUnityCrash(b, h0()));
  EXPECT_TRUE(table().empty());
}

TEST_F(UnityCrashTest, EmptyMessageAndExceptionGiveKeyFatal) {
  EXPECT_TRUE(ZEPLog::checkUnityCrash(crash("", ""), h0()));
  EXPECT_EQ(*table().find("FATAL"), "1");
}

TEST_F(UnityCrashTest, EleventhKeyEvictsTheFiveLeastSeen) {
  for (int i = 0; i < 10; ++i) ZEPLog::InsertCrashQueue("k" + std::to_string(i), i < 5 ? 1 : 9);
  ASSERT_EQ(table().size(), 10u);
  EXPECT_TRUE(ZEPLog::checkUnityCrash(crash("new", "x"), h0()));
  EXPECT_EQ(table().size(), 6u);
  for (int i = 5; i < 10; ++i) EXPECT_TRUE(table().contains("k" + std::to_string(i)));
  EXPECT_EQ(*table().find("newFATALx"), "1");
}

TEST(UnityCrashWithoutDefaultHandle, SaysItCannotFindItAndQueuesNothing) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  test::ConsoleCapture console;
  ZEPLog::handledFatal("m", "x");  // before any initialisation
  EXPECT_EQ(console.count("can not find default handle"), 1);
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:8765", "app", "1", Text(), "WardKit"));
  ZEPLog::sendUnityCrash("E", "T", "m", "x");  // a registry, but no handle "0"
  EXPECT_EQ(console.count("can not find default handle"), 2);
  EXPECT_EQ(ZEPLog::queueSize(), 0);
}

}  // namespace
}  // namespace zeplog
