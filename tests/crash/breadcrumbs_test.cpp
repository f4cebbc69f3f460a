// Breadcrumbs: the ring of the last log calls, and the "Breadcrumbs" field of crash events.
//
// The native cases start this test program again as a child (exec, so it starts clean) that
// initialises the library against the parent's collector on 127.0.0.1, logs, and really
// crashes; the parent reads the crash event the collector received.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/breadcrumbs.hpp"
#include "common/waits.hpp"
#include "crash/crash_test_support.hpp"
#include "delivery/send_thread.hpp"
#include "support/child_process.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// "<time> <level> <code> <message>" with the time as 2026-12-07T17:50:01.123Z.
const std::regex kLine(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\S+) (\S+) (.*))");

struct ParsedLine {
  std::string time, level, code, message;
};
ParsedLine parse(const std::string& line) {
  std::smatch m;
  EXPECT_TRUE(std::regex_match(line, m, kLine)) << line;
  if (m.empty()) return {};
  return {m[1], m[2], m[3], m[4]};
}

// ---- The ring -------------------------------------------------------------------------------

TEST(BreadcrumbRing, KeepsTheLastNInOrderWithTheirFields) {
  detail::BreadcrumbRing& ring = detail::breadcrumbs();
  ring.setCapacity(3);
  for (int i = 1; i <= 5; ++i)
    ring.record(1'700'000'000'000 + i, i % 2 ? "INFO" : "WARN", i == 5 ? "E42" : "",
                "call " + std::to_string(i));
  const auto lines = linesOf(detail::breadcrumbsText());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "2023-11-14T22:13:20.003Z INFO - call 3");
  EXPECT_EQ(lines[1], "2023-11-14T22:13:20.004Z WARN - call 4");
  EXPECT_EQ(lines[2], "2023-11-14T22:13:20.005Z INFO E42 call 5");
  ring.setCapacity(0);
  EXPECT_EQ(detail::breadcrumbsText(), "");
}

struct CutCase {
  const char* name;
  std::string message;
  std::string kept;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class BreadcrumbCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(BreadcrumbCutTest, MessagesAreCutAt256BytesOnACharacterBoundaryAndEscaped) {
  detail::breadcrumbs().setCapacity(1);
  detail::breadcrumbs().record(0, "DEBUG", "", GetParam().message);
  const auto lines = linesOf(detail::breadcrumbsText());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0]).message, GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BreadcrumbCutTest,
    ::testing::Values(CutCase{"Short", "hello", "hello"},
                      CutCase{"Exactly256", std::string(256, 'a'), std::string(256, 'a')},
                      CutCase{"Longer", std::string(300, 'b'), std::string(256, 'b')},
                      // 255 ASCII bytes then "é" (2 bytes): the cut would split it.
                      CutCase{"SplitCharacter", std::string(255, 'c') + "\xC3\xA9" + "tail",
                              std::string(255, 'c')},
                      CutCase{"LineBreaks", "two\nlines\tand\\", "two\\nlines\\tand\\\\"},
                      CutCase{"ControlAndBadUtf8", std::string("x\x01y\xFFz"),
                              "x\\x01y\xEF\xBF\xBDz"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BreadcrumbRing, ConcurrentWritersNeverProduceATornEntry) {
  detail::BreadcrumbRing& ring = detail::breadcrumbs();
  ring.setCapacity(64);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      const std::string message = "writer-" + std::to_string(t) + "-" + std::string(40, 'a' + t);
      while (!stop.load()) ring.record(1, "INFO", "", message);
    });
  }
  for (int round = 0; round < 200; ++round) {
    ring.forEach([&](const detail::Breadcrumb& b) {
      const std::string m(b.message());
      ASSERT_EQ(m.size(), 49u) << m;
      const char t = m[7];
      EXPECT_EQ(m, "writer-" + std::string(1, t) + "-" + std::string(40, 'a' + (t - '0')));
    });
  }
  stop = true;
  for (auto& w : writers) w.join();
}

TEST(BreadcrumbRing, AFrozenRingRecordsNothing) {
  detail::BreadcrumbRing& ring = detail::breadcrumbs();
  ring.setCapacity(4);
  ring.record(0, "INFO", "", "before");
  ring.freeze(true);
  ring.record(0, "INFO", "", "during");
  ring.freeze(false);
  const auto lines = linesOf(detail::breadcrumbsText());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0]).message, "before");
}

TEST(BreadcrumbSetting, MoreThanTheBoundIsTakenAsTheBoundWithALine) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  test::ConsoleCapture console;
  ZEPLog::setBreadcrumbs(5000);
  EXPECT_EQ(detail::breadcrumbs().capacity(), 1000u);
  EXPECT_TRUE(console.contains("setBreadcrumbs : 5000 is taken as 1000"));
  ZEPLog::setBreadcrumbs(0);
  EXPECT_EQ(detail::breadcrumbs().capacity(), 0u);
}

// ---- Unity crashes (in process) ---------------------------------------------------------------

class UnityBreadcrumbTest : public test::LibraryTest {};

TEST_F(UnityBreadcrumbTest, AUnityCrashCarriesTheLastLogCallsAndLogEventsDoNot) {
  test::LoopbackServer collector;
  detail::waits().sendCycleSleep = 50ms;
  ZEPLog::setBreadcrumbs(3);
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", collector.port(), 1, "app", "1.0", "u", CrashCapture::Off,
                           SyncStart::Off, "2022.3", Text()));
  ZEPLog::debug("D1", "one");
  ZEPLog::info(nullptr, "two");
  ZEPLog::warn("W3", "three");
  ZEPLog::error(nullptr, "four\nlines");
  ZEPLog::sendUnityCrash("FATAL", "CRASH", "unity crash", "NullReferenceException: x");
  ASSERT_TRUE(ZEPLog::flush(60s));

  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const auto lines = linesOf(crashes[0]["Breadcrumbs"]);
  ASSERT_EQ(lines.size(), 3u) << crashes[0]["Breadcrumbs"];
  EXPECT_EQ(parse(lines[0]).message, "two");
  EXPECT_EQ(parse(lines[0]).code, "-");
  EXPECT_EQ(parse(lines[1]).level, "WARN");
  EXPECT_EQ(parse(lines[1]).code, "W3");
  EXPECT_EQ(parse(lines[1]).message, "three");
  EXPECT_EQ(parse(lines[2]).level, "ERROR");
  EXPECT_EQ(parse(lines[2]).message, "four\\nlines");
  // Only crash events carry them; the session event after a Unity crash does not either.
  for (const test::SeenRequest& r : collector.requests()) {
    for (auto& event : test::eventsOf(r.body)) {
      if (!event.count("DmpData")) {
        EXPECT_EQ(event.count("Breadcrumbs"), 0u) << event["body"];
      }
    }
  }
}

TEST_F(UnityBreadcrumbTest, WithBreadcrumbsOffACrashHasNoSuchField) {
  test::LoopbackServer collector;
  detail::waits().sendCycleSleep = 50ms;
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", collector.port(), 1, "app", "1.0", "u", CrashCapture::Off,
                           SyncStart::Off, "2022.3", Text()));
  ZEPLog::info(nullptr, "one");
  ZEPLog::sendUnityCrash("FATAL", "CRASH", "unity crash", "Exception: x");
  ASSERT_TRUE(ZEPLog::flush(60s));
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  EXPECT_EQ(crashes[0].count("Breadcrumbs"), 0u);
}

// ---- Native crashes of a real child ----------------------------------------------------------

int* volatile g_null = nullptr;
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashByNullWrite() { *g_null = 1; }

void runChild(const std::string& scenario, const std::string& dir, int port) {
  ZEPLog::setDataDirectory(dir);
  ZEPLog::setBreadcrumbs(5);
  // A collector that never answers: the upload gives up soon, and the report stays on disk.
  if (scenario == "silent") detail::waits().crashRequest = std::chrono::milliseconds(300);
  if (!ZEPLog::init("http://127.0.0.1", port, 1, "crashapp", "1.0", "user-1", CrashCapture::On))
    std::_Exit(3);
  if (scenario == "resend") {
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    std::_Exit(0);
  }
  static const char* const kLevels[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  for (int i = 1; i <= 8; ++i)
    ZEPLog::sendLog(kLevels[i % 5], "C" + std::to_string(i), "line-" + std::to_string(i), Text());
  if (scenario == "thread") {
    // Another thread logs without pause, so the crash comes in the middle of its calls.
    static std::atomic<long> calls{0};
    std::thread([] {
      for (long i = 1;; ++i) {
        ZEPLog::info(nullptr, "noise-" + std::to_string(i));
        calls.store(i);
      }
    }).detach();
    while (calls.load() < 2000) std::this_thread::yield();
  }
  crashByNullWrite();
  std::_Exit(5);
}

TEST(BreadcrumbCrashChild, Run) {
  const char* scenario = std::getenv("ZEPLOG_CRUMB_SCENARIO");
  if (!scenario) GTEST_SKIP() << "runs only as the child of a breadcrumb crash test";
  runChild(scenario, std::getenv("ZEPLOG_CRUMB_DIR"), std::atoi(std::getenv("ZEPLOG_CRUMB_PORT")));
}

class NativeBreadcrumbTest : public ::testing::Test {
 protected:
  using Child = test::ChildRun;
  Child start(const std::string& scenario, int port) {
    return test::startChild("BreadcrumbCrashChild.Run",
                            {"ZEPLOG_CRUMB_SCENARIO=" + scenario, "ZEPLOG_CRUMB_DIR=" + dir.path(),
                             "ZEPLOG_CRUMB_PORT=" + std::to_string(port)},
                            "ZEPLOG_CRUMB_", dir.path() + "/console-" + scenario);
  }
  void finish(Child& c) {
    test::finishChild(c);
    ASSERT_GT(c.pid, 0);
  }

  test::TempDir dir;
};

TEST_F(NativeBreadcrumbTest, TheCrashEventCarriesTheLastNLogCallsInOrder) {
  test::LoopbackServer collector;
  Child child = start("plain", collector.port());
  finish(child);
  ASSERT_TRUE(WIFSIGNALED(child.status));
  EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const auto lines = linesOf(crashes[0]["Breadcrumbs"]);
  ASSERT_EQ(lines.size(), 5u) << crashes[0]["Breadcrumbs"];
  static const char* const kLevels[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  for (int i = 4; i <= 8; ++i) {
    const ParsedLine p = parse(lines[static_cast<std::size_t>(i - 4)]);
    EXPECT_EQ(p.message, "line-" + std::to_string(i));
    EXPECT_EQ(p.level, kLevels[i % 5]);
    EXPECT_EQ(p.code, "C" + std::to_string(i));
  }
  EXPECT_LE(parse(lines[0]).time, parse(lines[4]).time);
}

TEST_F(NativeBreadcrumbTest, ACrashInTheMiddleOfAnotherThreadsLogCallsGivesWholeLinesInOrder) {
  test::LoopbackServer collector;
  Child child = start("thread", collector.port());
  finish(child);
  ASSERT_TRUE(WIFSIGNALED(child.status));
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const auto lines = linesOf(crashes[0]["Breadcrumbs"]);
  // The entry the other thread was writing at the crash, if any, is left out; the rest are
  // the last calls before the crash, whole and in order.
  ASSERT_GE(lines.size(), 4u) << crashes[0]["Breadcrumbs"];
  ASSERT_LE(lines.size(), 5u);
  long previous = 0;
  for (const std::string& line : lines) {
    const ParsedLine p = parse(line);
    ASSERT_TRUE(p.message.starts_with("noise-")) << line;
    const long n = std::stol(p.message.substr(6));
    EXPECT_GT(n, previous) << crashes[0]["Breadcrumbs"];
    previous = n;
    EXPECT_EQ(p.level, "INFO");
  }
}

TEST_F(NativeBreadcrumbTest, AReportSentByTheNextRunKeepsItsBreadcrumbs) {
  {
    test::LoopbackServer silent;
    silent.hold();
    Child child = start("silent", silent.port());
    finish(child);
    ASSERT_TRUE(WIFSIGNALED(child.status));
  }
  test::LoopbackServer collector;
  Child next = start("resend", collector.port());
  for (std::size_t n = 1; test::crashEventsOf(collector.requests()).empty(); ++n)
    ASSERT_TRUE(collector.waitForRequests(n));
  finish(next);
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const auto lines = linesOf(crashes[0]["Breadcrumbs"]);
  ASSERT_EQ(lines.size(), 5u) << crashes[0]["Breadcrumbs"];
  EXPECT_EQ(parse(lines[4]).message, "line-8");
}

}  // namespace
}  // namespace zeplog
