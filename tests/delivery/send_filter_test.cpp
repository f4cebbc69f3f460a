// The send filter: switches, collapsing of repeats and the duplicate table.
#include <gtest/gtest.h>

#include "delivery_helpers.hpp"
#include "event/common_fields.hpp"
#include "event/handle_registry.hpp"

namespace zeplog::test {
namespace {

class SendFilterTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "app", "1", SyncStart::On));
    ASSERT_TRUE(detail::blockQueue()->dequeue());  // the session event
    waitForSettings("0");
    handle = detail::getHandler("0");
  }

  // A queued log call as the send thread takes it.
  static VelaEventPtr logged(const char* level, const char* message) {
    ZEPLog::sendLog(level, nullptr, message, nullptr, "0");
    return detail::blockQueue()->dequeue();
  }
  bool send(const VelaEventPtr& e) { return ZEPLog::checkSendStatus(e, handle); }
  void set(bool kstVelaHandle::*member, bool value) {
    detail::GlobalLock lock(detail::global_resource_lock());
    (*handle).*member = value;
  }
  static const detail::CountTable& table() { return *detail::globals().deDuplicateQueue; }
  static std::string at(const std::string& key) {
    const std::string* v = table().find(key);
    return v ? *v : "(none)";
  }

  std::shared_ptr<kstVelaHandle> handle;
};

TEST_F(SendFilterTest, RepeatsOfABodyAndLevelAreHeldBackAndCounted) {
  EXPECT_TRUE(send(logged("INFO", "hello")));
  EXPECT_FALSE(send(logged("INFO", "hello")));
  EXPECT_EQ(at("helloINFO"), "1");
  EXPECT_EQ(at("helloINFOvela2-log"), "1");
  EXPECT_FALSE(send(logged("INFO", "hello")));
  EXPECT_EQ(at("helloINFOvela2-log"), "2");
  EXPECT_EQ(at("helloINFO"), "1");
  // Another level is another key.
  EXPECT_TRUE(send(logged("WARN", "hello")));
  EXPECT_TRUE(console.contains("is not contain object"));
  EXPECT_TRUE(console.contains("is contain object"));
  EXPECT_TRUE(console.contains("receivedDataString : {"));
}

TEST_F(SendFilterTest, AWrittenBackEventIsKeyedByItsBodyAlone) {
  VelaEventPtr e = logged("INFO", "again");
  e->fields()->set("logLevel", std::string("INFO"));  // text, as rebuilt from a sent body
  EXPECT_TRUE(send(e));
  EXPECT_EQ(at("again"), "1");
}

TEST_F(SendFilterTest, WithoutCollapsingEverythingOrdinaryIsSentWhateverIsLogSays) {
  ZEPLog::setLogDeduplicate(false);
  set(&kstVelaHandle::isLog, false);
  EXPECT_TRUE(send(logged("INFO", "x")));
  EXPECT_TRUE(send(logged("INFO", "x")));
  EXPECT_TRUE(table().empty());
  EXPECT_TRUE(console.contains("not deduplicate"));
}

TEST_F(SendFilterTest, IsLogOffDropsFirstOccurrencesAndProbeResults) {
  set(&kstVelaHandle::isLog, false);
  EXPECT_FALSE(send(logged("INFO", "x")));
  EXPECT_TRUE(table().empty());  // nothing stored for a refused first occurrence
  EXPECT_FALSE(send(logged("INFO", "NETWORKPULSES LOG")));
  set(&kstVelaHandle::isLog, true);
  // Probe results follow isLog and are never collapsed.
  EXPECT_TRUE(send(logged("INFO", "NETWORKPULSES LOG")));
  EXPECT_TRUE(send(logged("INFO", "NETWORKPULSES LOG")));
  EXPECT_TRUE(console.contains("logtype : networkpulse"));
}

TEST_F(SendFilterTest, SessionAndCrashEventsFollowTheirOwnSwitches) {
  set(&kstVelaHandle::isLog, false);
  ZEPLog::createSession("0");
  VelaEventPtr session = detail::blockQueue()->dequeue();
  EXPECT_TRUE(send(session));
  EXPECT_TRUE(send(session));  // never collapsed
  set(&kstVelaHandle::isSession, false);
  EXPECT_FALSE(send(session));

  ZEPLog::handledError("m", "trace");
  VelaEventPtr crash = detail::blockQueue()->dequeue();
  EXPECT_TRUE(send(crash));
  EXPECT_TRUE(console.contains("is not unity crash"));
  set(&kstVelaHandle::isCrash, false);
  EXPECT_FALSE(send(crash));
  EXPECT_FALSE(ZEPLog::checkSendStatus(nullptr, handle));
}

// The eleventh key trims the five lowest counts; of equal counts, the earlier keys go.
TEST_F(SendFilterTest, TheEleventhKeyTrimsTheFiveLowestCountsEarliestFirst) {
  const struct {
    int counts[10];
    std::vector<std::string> kept;
  } rows[] = {
      {{1, 1, 1, 1, 1, 3, 3, 3, 3, 3}, {"k5=3", "k6=3", "k7=3", "k8=3", "k9=3", "new=1"}},
      {{3, 1, 1, 3, 1, 1, 1, 2, 1, 1}, {"k0=3", "k3=3", "k7=2", "k8=1", "k9=1", "new=1"}},
  };
  for (const auto& row : rows) {
    {
      detail::GlobalLock lock(detail::global_resource_lock());
      detail::globals().deDuplicateQueue->clear();
    }
    for (int i = 0; i < 10; ++i) ZEPLog::InsertQueue("k" + std::to_string(i), row.counts[i]);
    ASSERT_EQ(table().size(), 10u);
    ZEPLog::InsertQueue("new", 1);
    ZEPLog::InsertQueue("", 1);  // no key: nothing stored
    ZEPLog::InsertQueue(nullptr, 1);
    std::vector<std::string> kept;
    for (const auto& entry : table()) kept.push_back(entry.first + "=" + entry.second);
    EXPECT_EQ(kept, row.kept);
  }
}

TEST_F(SendFilterTest, RepeatCountersOverfillTheTableUntilTheNextInsertTrimsIt) {
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(send(logged("INFO", ("m" + std::to_string(i)).c_str())));
  EXPECT_FALSE(send(logged("INFO", "m9")));  // a counter beside ten base entries
  EXPECT_EQ(table().size(), 11u);
  EXPECT_TRUE(send(logged("INFO", "fresh")));
  // Half of the eleven go (five base entries); the counter and the newest stay.
  EXPECT_EQ(table().size(), 7u);
  EXPECT_EQ(at("m9INFOvela2-log"), "1");
  EXPECT_EQ(at("freshINFO"), "1");
}

}  // namespace
}  // namespace zeplog::test
