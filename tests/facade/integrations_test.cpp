// Integrations the application turns on, end to end against the development collector on
// 127.0.0.1: the local minimum level, the before-send hook and redaction (C++ and C forms).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/global_lock.hpp"
#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "facade/collector_fixture.hpp"
#include "support/test_env.hpp"
#include "zeplog/json_reader.hpp"
#include "zeplog/zeplog.h"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using namespace std::chrono_literals;
using test::StoredMap;

// The shared collector fixture, with what these tests read besides: the raw stored text and
// the set of bodies; each test leaves no hook behind.
class CollectorTest : public test::DevCollectorTest {
 protected:
  void TearDown() override { ZEPLog::setBeforeSend(nullptr); }

  // The raw JSON text of every stored event, joined.
  std::string storedText() const {
    std::string all;
    for (const tools::StoredEvent& e : collector->events()) all += e.json + "\n";
    return all;
  }
  std::set<std::string> bodies() const {
    std::set<std::string> out;
    for (auto& e : stored()) out.insert(e["body"]);
    return out;
  }
};

// ---- Local minimum level ---------------------------------------------------------------------

struct LevelCase {
  const char* minimum;
  std::vector<std::string> sent;  // the levels whose calls reach the collector
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.minimum; }

class MinimumLevelTest : public CollectorTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(MinimumLevelTest, CallsBelowTheLevelAreCountedAndNeverSentCrashAndSessionAre) {
  const LevelCase& c = GetParam();
  ASSERT_TRUE(ZEPLog::setMinimumLevel(c.minimum));
  ASSERT_TRUE(init());
  ZEPLog::debug("c", "m-DEBUG");
  ZEPLog::info("c", "m-INFO");
  ZEPLog::warn("c", "m-WARN");
  ZEPLog::error("c", "m-ERROR");
  ZEPLog::fatal("c", "m-FATAL");
  ZEPLog::handledDebug("crash-still-sent", "Exception: x");
  ASSERT_TRUE(ZEPLog::flush(60s));

  std::set<std::string> expected = {"SESSION", "crash-still-sent"};
  for (const std::string& level : c.sent) expected.insert("m-" + level);
  EXPECT_EQ(bodies(), expected);
  for (const std::string& level : c.sent) {
    auto events = withBody("m-" + level);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["logLevel"], level);
  }
  EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 5 - c.sent.size());
}

INSTANTIATE_TEST_SUITE_P(
    Levels, MinimumLevelTest,
    ::testing::Values(LevelCase{"DEBUG", {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"}},
                      LevelCase{"INFO", {"INFO", "WARN", "ERROR", "FATAL"}},
                      LevelCase{"WARN", {"WARN", "ERROR", "FATAL"}},
                      LevelCase{"ERROR", {"ERROR", "FATAL"}}, LevelCase{"FATAL", {"FATAL"}}),
    [](const auto& info) { return std::string(info.param.minimum); });

struct BadLevel {
  const char* name;
  Text value;
};

void PrintTo(const BadLevel& c, std::ostream* os) { *os << c.name; }

class BadMinimumLevelTest : public test::LibraryTest,
                            public ::testing::WithParamInterface<BadLevel> {};

TEST_P(BadMinimumLevelTest, IsRefusedWithALineAndTheThresholdStays) {
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "app", "1.0", SyncStart::On));
  ASSERT_TRUE(ZEPLog::setMinimumLevel("WARN"));
  EXPECT_FALSE(ZEPLog::setMinimumLevel(GetParam().value));
  EXPECT_TRUE(console.contains("setMinimumLevel refused"));
  ZEPLog::info(nullptr, "held");
  EXPECT_EQ(ZEPLog::counters().belowMinimumLevel, 1u);
}

INSTANTIATE_TEST_SUITE_P(Values, BadMinimumLevelTest,
                         ::testing::Values(BadLevel{"empty", ""}, BadLevel{"lower", "info"},
                                           BadLevel{"trace", "TRACE"},
                                           BadLevel{"warning", "WARNING"},
                                           BadLevel{"absent", Text()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CollectorTest, ALevelSetAfterInitialisationAppliesToLaterCallsAndTheCForm) {
  ASSERT_TRUE(init());
  ZEPLog::debug(nullptr, "before");
  EXPECT_EQ(zeplog_set_minimum_level("ERROR"), 1);
  EXPECT_EQ(zeplog_set_minimum_level("LOUD"), 0);
  zeplog_log(ZEPLOG_WARN, "0", nullptr, "after-warn");
  ZEPLog::error(nullptr, "after-error");
  ASSERT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(bodies(), (std::set<std::string>{"SESSION", "before", "after-error"}));
  zeplog_counters2 c{};
  c.size = sizeof c;
  zeplog_get_counters2(&c);
  EXPECT_EQ(c.below_minimum_level, 1u);
}

// ---- Before-send hook and redaction -----------------------------------------------------------

TEST_F(CollectorTest, TheHookSeesTheCompleteEventOnTheSendThreadWithoutALockAndMayChangeIt) {
  std::mutex m;
  std::vector<std::string> seen;
  bool sawLock = false, sawCommonFields = true;
  std::thread::id hookThread;
  ZEPLog::setBeforeSend([&](VelaEvent& e) {
    std::lock_guard<std::mutex> g(m);
    sawLock |= detail::GlobalResourceLock::heldByThisThread();
    hookThread = std::this_thread::get_id();
    const std::string body = e.body() ? e.body()->data : "";
    seen.push_back(body);
    if (!e.fields()->contains("SessionID") || !e.fields()->contains("UserID"))
      sawCommonFields = false;
    if (body == "change-me") {
      e.setBody(Bytes("changed"));
      e.fields()->set("added", std::string("by-hook"));
      e.fields()->erase("SdkVersion");
    }
    if (body == "no-body") e.setBody(std::nullopt);
    return true;
  });
  ASSERT_TRUE(init());
  ZEPLog::setCustomField("kept", "custom");
  ZEPLog::info(nullptr, "change-me");
  ZEPLog::info(nullptr, "plain");
  ASSERT_TRUE(ZEPLog::flush(60s));

  auto changed = withBody("changed");
  ASSERT_EQ(changed.size(), 1u) << storedText();
  EXPECT_EQ(changed[0]["added"], "by-hook");
  EXPECT_EQ(changed[0].count("SdkVersion"), 0u);
  auto plain = withBody("plain");
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0]["custom"], "kept");
  EXPECT_EQ(plain[0].count("added"), 0u);
  EXPECT_TRUE(plain[0].count("SdkVersion"));
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(seen, (std::vector<std::string>{"SESSION", "change-me", "plain"}));
  EXPECT_FALSE(sawLock);
  EXPECT_TRUE(sawCommonFields);
  EXPECT_NE(hookThread, std::this_thread::get_id());
}

struct DropCase {
  const char* name;
  bool throws;  // the hook throws instead of returning false
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class HookDropTest : public CollectorTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(HookDropTest, ADroppedEventIsCountedAndNeverSent) {
  const bool throws = GetParam().throws;
  ZEPLog::setBeforeSend([throws](VelaEvent& e) {
    if (e.body() && e.body()->data == "drop-me") {
      if (throws) throw std::runtime_error("hook failed");
      return false;
    }
    return true;
  });
  ASSERT_TRUE(init());
  ZEPLog::warn(nullptr, "drop-me");
  ZEPLog::warn(nullptr, "keep-me");
  ASSERT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(bodies(), (std::set<std::string>{"SESSION", "keep-me"}));
  EXPECT_EQ(storedText().find("drop-me"), std::string::npos);
  EXPECT_EQ(ZEPLog::counters().droppedByBeforeSend, 1u);
  EXPECT_EQ(console.contains("beforeSend hook threw, the event is dropped : hook failed"), throws);
}

INSTANTIATE_TEST_SUITE_P(Ways, HookDropTest,
                         ::testing::Values(DropCase{"false", false}, DropCase{"exception", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CollectorTest, AnEmptyFunctionRemovesTheHook) {
  ZEPLog::setBeforeSend([](VelaEvent&) { return false; });
  ZEPLog::setBeforeSend(nullptr);
  ASSERT_TRUE(init());
  ZEPLog::info(nullptr, "sent");
  ASSERT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(bodies(), (std::set<std::string>{"SESSION", "sent"}));
  EXPECT_EQ(ZEPLog::counters().droppedByBeforeSend, 0u);
}

TEST_F(CollectorTest, RedactedValuesNeverReachTheCollectorsDatabaseNorTheConsole) {
  static std::mutex linesLock;
  static std::string lines;  // guarded by linesLock
  ZEPLog::setConsoleHandler([](std::string_view line) {
    std::lock_guard<std::mutex> g(linesLock);
    lines.append(line).push_back('\n');
  });
  ZEPLog::redactFields({"token", "UserID", "absent-key"});
  ASSERT_TRUE(init());
  ZEPLog::setCustomField("secret-token-value", "token");
  ZEPLog::setCustomField("visible-value", "other");
  ZEPLog::info(nullptr, "with-secret");
  ZEPLog::handledError("crash-with-secret", "Exception: x");  // the crash path too
  ASSERT_TRUE(ZEPLog::flush(60s));

  const std::string text = storedText();
  EXPECT_EQ(text.find("secret-token-value"), std::string::npos) << text;
  EXPECT_EQ(text.find("user-1"), std::string::npos) << text;
  for (const char* body : {"with-secret", "crash-with-secret"}) {
    auto events = withBody(body);
    ASSERT_EQ(events.size(), 1u) << body;
    EXPECT_EQ(events[0]["token"], "[redacted]");
    EXPECT_EQ(events[0]["UserID"], "[redacted]");
    EXPECT_EQ(events[0]["other"], "visible-value");
    EXPECT_EQ(events[0].count("absent-key"), 0u);
  }
  {
    std::lock_guard<std::mutex> g(linesLock);
    EXPECT_NE(lines.find("load / other:visible-value"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("secret-token-value"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("user-1"), std::string::npos) << lines;
  }
  // An empty list turns redaction off again.
  ZEPLog::redactFields({});
  ZEPLog::info(nullptr, "after");
  ASSERT_TRUE(ZEPLog::flush(60s));
  EXPECT_EQ(withBody("after").at(0)["token"], "secret-token-value");
}

// The C forms: a C function as the hook, reading and changing the event through accessors.
int cHook(zeplog_event* event, void* user) {
  ++*static_cast<int*>(user);
  size_t len = 0;
  const char* body = zeplog_event_body(event, &len);
  if (body && std::string(body, len) == "c-drop") return 0;
  if (body && std::string(body, len) == "c-change") {
    const char* level = zeplog_event_field(event, "logLevel", &len);
    zeplog_event_set_field(event, "seenLevel", level ? level : "none");
    zeplog_event_set_field(event, "SdkVersion", nullptr);
    zeplog_event_set_body(event, "c-changed");
  }
  return 1;
}

TEST_F(CollectorTest, TheCFormsHookAndRedact) {
  static int calls = 0;
  zeplog_set_before_send(cHook, &calls);
  const char* keys[] = {"token"};
  zeplog_redact_fields(keys, 1);
  ASSERT_TRUE(init());
  ZEPLog::setCustomField("c-secret", "token");
  zeplog_log(ZEPLOG_ERROR, "0", nullptr, "c-change");
  zeplog_log(ZEPLOG_ERROR, "0", nullptr, "c-drop");
  ASSERT_TRUE(ZEPLog::flush(60s));
  auto changed = withBody("c-changed");
  ASSERT_EQ(changed.size(), 1u) << storedText();
  EXPECT_EQ(changed[0]["seenLevel"], "ERROR");
  EXPECT_EQ(changed[0]["token"], "[redacted]");
  EXPECT_EQ(changed[0].count("SdkVersion"), 0u);
  EXPECT_TRUE(withBody("c-drop").empty());
  EXPECT_EQ(calls, 3);  // the session event, then the two calls
  zeplog_counters2 c{};
  c.size = sizeof c;
  zeplog_get_counters2(&c);
  EXPECT_EQ(c.dropped_by_before_send, 1u);
  zeplog_set_before_send(nullptr, nullptr);
}

}  // namespace
}  // namespace zeplog
