// Upload consent, sampling and the rate limit, seen from outside: real runs of a program
// against a collector on 127.0.0.1 that records every request, and log calls' counters.
//
// The consent case starts this test program again as a child for each run (exec, so each
// starts clean), all sharing one data directory, as one application run after run would.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/waits.hpp"
#include "crash/crash_test_support.hpp"
#include "delivery/durable_delivery.hpp"
#include "queue/log_submit.hpp"
#include "support/child_process.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

constexpr int kKept = 40;  // events each logging run makes

int* volatile g_null = nullptr;
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashByNullWrite() { *g_null = 1; }

// Forks a child of this run that makes a library call (its own start: crash capture of its
// own) and crashes; true when it died by SIGSEGV.
bool crashInAChild() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    (void)ZEPLog::queueSize();
    crashByNullWrite();
    std::_Exit(1);
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

bool initRun(int port) {
  // No settings base: the settings would be fetched from the collector, which records it.
  return ZEPLog::init("http://127.0.0.1", port, 1, "consentapp", "1.0", "user-1", CrashCapture::On);
}

void waitForInputToClose() {
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
}

// One run of the application; the exit code says what went wrong.
[[noreturn]] void runChild(const std::string& run, const std::string& dir, int port,
                           const std::string& results) {
  ZEPLog::setDataDirectory(dir);
  if (run == "unknown") {  // asks for consent, logs, crashes in a child, exits
    if (!ZEPLog::requireUploadConsent() || !initRun(port)) std::_Exit(3);
    for (int i = 0; i < kKept; ++i) ZEPLog::info(nullptr, "kept " + std::to_string(i));
    if (!crashInAChild()) std::_Exit(4);
    ZEPLog::applicationWillTerminate();
  } else if (run == "given") {  // the next run: the answer comes after the start
    if (!ZEPLog::requireUploadConsent() || !ZEPLog::enableDurableDelivery() || !initRun(port))
      std::_Exit(3);
    if (ZEPLog::uploadConsent() != Consent::Unknown) std::_Exit(4);
    ZEPLog::setUploadConsent(Consent::Given);
    if (!ZEPLog::flush(std::chrono::seconds(30))) std::_Exit(5);
    waitForInputToClose();  // the parent has seen the crash arrive
    ZEPLog::applicationWillTerminate();
  } else if (run == "revoked") {                 // keeps events and a crash, then the user revokes
    ZEPLog::setUploadConsent(Consent::Unknown);  // wins over the record of the run before
    if (!ZEPLog::enableDurableDelivery() || !initRun(port)) std::_Exit(3);
    for (int i = 0; i < kKept; ++i) ZEPLog::info(nullptr, "late " + std::to_string(i));
    if (!crashInAChild()) std::_Exit(4);
    ZEPLog::applicationDidEnterBackground();  // the queue files
    ZEPLog::setUploadConsent(Consent::Revoked);
    for (int i = 0; i < 5; ++i) ZEPLog::info(nullptr, "after");
    ZEPLog::handledError("after", "Exception: after");
    std::ofstream(results) << ZEPLog::controlCounters().droppedByConsent;
    ZEPLog::applicationWillTerminate();
  } else if (run == "later") {  // a later run: the record still says revoked
    if (!initRun(port) || ZEPLog::uploadConsent() != Consent::Revoked) std::_Exit(3);
    ZEPLog::info(nullptr, "later");
    ZEPLog::applicationWillTerminate();
  }
  std::_Exit(0);
}

// Polls until `done` holds; false when the guard runs out first (a hung run, not timing).
bool waitUntil(const std::function<bool()>& done) {
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > guard) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(ConsentChild, Run) {
  const char* run = std::getenv("ZEPLOG_CONSENT_RUN");
  if (!run) GTEST_SKIP() << "runs only as the child of a consent test";
  runChild(run, std::getenv("ZEPLOG_CONSENT_DIR"), std::atoi(std::getenv("ZEPLOG_CONSENT_PORT")),
           std::getenv("ZEPLOG_CONSENT_RESULTS"));
}

class UploadConsentInProcessTest : public test::LibraryTest {
 protected:
  test::LoopbackServer collector;
};

// ---- The parent's side ---------------------------------------------------------------------

class UploadConsentTest : public ::testing::Test {
 protected:
  test::ChildRun start(const std::string& run) {
    return test::startChild("ConsentChild.Run",
                            {"ZEPLOG_CONSENT_RUN=" + run, "ZEPLOG_CONSENT_DIR=" + dataDir.path(),
                             "ZEPLOG_CONSENT_PORT=" + std::to_string(collector.port()),
                             "ZEPLOG_CONSENT_RESULTS=" + results()},
                            "ZEPLOG_", work.path() + "/console-" + run);
  }
  static void finish(test::ChildRun& child) {
    test::finishChild(child);
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
        << "status " << child.status << "\n"
        << child.console;
  }
  std::string results() const { return work.path() + "/results"; }

  // The bodies of the log events received ("kept 0", ...), each with its count, and the
  // crash events.
  std::map<std::string, int> bodies() const {
    std::map<std::string, int> out;
    for (const test::SeenRequest& r : collector.requests())
      if (r.path == "/v2/log")
        for (auto& event : test::eventsOf(r.body))
          if (!event.count("DmpData")) ++out[event["body"]];
    return out;
  }
  std::size_t crashes() const { return test::crashEventsOf(collector.requests()).size(); }
  std::set<std::string> files() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dataDir.path()))
      out.insert(e.path().filename().string());
    return out;
  }

  test::LoopbackServer collector;
  test::TempDir dataDir;
  test::TempDir work;  // the children's console files and results, outside the data directory
};

TEST_F(UploadConsentTest, NothingLeavesUntilGivenThenAllOnceAndRevokedKeepsOnlyTheRecord) {
#if defined(__SANITIZE_THREAD__)
  // The run crashes in a forked child whose first call starts the child's own library
  // threads; ThreadSanitizer ends a process that starts threads after a multi-threaded fork.
  GTEST_SKIP() << "ThreadSanitizer refuses threads started in a forked child";
#endif
  ASSERT_TRUE(collector.ok());

  // Consent unknown: logging, a crash in a child and the exit send nothing, not even the
  // settings fetch.
  test::ChildRun unknown = start("unknown");
  finish(unknown);
  EXPECT_EQ(collector.requestCount(), 0u) << unknown.console;
  const std::set<std::string> kept = files();
  EXPECT_TRUE(kept.count("upload_consent") && kept.count("Vela2SavedLog"));
  EXPECT_TRUE(std::any_of(kept.begin(), kept.end(),
                          [](const std::string& f) { return f.ends_with(".zcr"); }));

  // Given in the next run: every kept event and the crash arrive, each once.
  test::ChildRun given = start("given");
  const auto allArrived = [&] {
    const std::map<std::string, int> now = bodies();
    for (int i = 0; i < kKept; ++i)
      if (!now.count("kept " + std::to_string(i))) return false;
    return crashes() >= 1;
  };
  EXPECT_TRUE(waitUntil(allArrived));
  finish(given);
  std::map<std::string, int> arrived = bodies();
  for (int i = 0; i < kKept; ++i) EXPECT_EQ(arrived["kept " + std::to_string(i)], 1) << i;
  EXPECT_EQ(crashes(), 1u);
  EXPECT_FALSE(files().count("Vela2SavedLog"));

  // Revoked: what the run kept (queue files, spool, crash report, settings) is deleted and
  // nothing is sent; the consent record and the device id stay, in later runs too.
  const std::size_t before = collector.requestCount();
  test::ChildRun revoked = start("revoked");
  finish(revoked);
  std::ifstream in(results());
  std::uint64_t droppedByConsent = 0;
  in >> droppedByConsent;
  EXPECT_EQ(droppedByConsent, 6u);  // five log calls and a handled exception
  const std::set<std::string> onlyTheRecord = {"upload_consent", "KST_iOS_DEVICE_ID"};
  EXPECT_EQ(files(), onlyTheRecord) << revoked.console;
  test::ChildRun later = start("later");
  finish(later);
  EXPECT_EQ(files(), onlyTheRecord) << later.console;
  EXPECT_EQ(collector.requestCount(), before);
}

// A revocation while bodies wait in the spool the send thread has open: that thread deletes
// it, and consent given again later sends only what came after.
TEST_F(UploadConsentInProcessTest, ARevocationDeletesTheOpenSpoolAndNothingOfItIsSentLater) {
  detail::waits().retryUnit = std::chrono::milliseconds(10);
  detail::waits().sendCycleSleep = std::chrono::milliseconds(20);
  DurableDelivery options;
  options.maxBackoff = std::chrono::seconds(1);
  ASSERT_TRUE(ZEPLog::enableDurableDelivery(options));
  collector.setStatus(503);
  ASSERT_TRUE(ZEPLog::init("127.0.0.1", collector.port(), 1, "app", "1.0", "user-1",
                           CrashCapture::Off, SyncStart::Off, Text(), Text()));
  for (int i = 0; i < 3; ++i) ZEPLog::info(nullptr, "before " + std::to_string(i));
  ASSERT_TRUE(waitUntil([] { return detail::spoolBacklogEvents() >= 3; }));

  ZEPLog::setUploadConsent(Consent::Revoked);
  const std::string spool = dataDir.path() + "/spool";
  ASSERT_TRUE(waitUntil([&] { return !std::filesystem::exists(spool); }));
  EXPECT_GE(ZEPLog::controlCounters().droppedByConsent, 3u);

  collector.setStatus(200);
  ZEPLog::setUploadConsent(Consent::Given);
  ZEPLog::info(nullptr, "after");
  EXPECT_TRUE(ZEPLog::flush(std::chrono::seconds(30)));
  std::map<std::string, int> sent;
  for (const test::SeenRequest& r : collector.requests())
    if (r.answered == 200)
      for (auto& event : test::eventsOf(r.body)) ++sent[event["body"]];
  EXPECT_EQ(sent["after"], 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sent.count("before " + std::to_string(i)), 0u);
  EXPECT_TRUE(std::filesystem::exists(spool));  // a fresh one
}

// ---- Sampling and the rate limit, through log calls ------------------------------------------

// Every case asks for consent first, so nothing leaves the process.
class CallLimitsTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ZEPLog::requireUploadConsent());
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "app", "1.0"));
    ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9", "app", "1.0", "user", "h2"));
  }
};

struct SampleCase {
  const char* name;
  double rate;
  bool taken;
  int keptMin, keptMax;  // of 40,000 info calls
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }

class SampleRateTest : public CallLimitsTest, public ::testing::WithParamInterface<SampleCase> {};

TEST_P(SampleRateTest, KeepsItsShareOfTheLevelsCalls) {
  const SampleCase& c = GetParam();
  detail::seedSamplingForThisThread(2026);  // the same draws every run
  EXPECT_EQ(ZEPLog::setSampleRate(Level::Info, c.rate), c.taken);
  constexpr int kCalls = 40'000;
  for (int i = 0; i < kCalls; ++i) ZEPLog::info(nullptr, "sampled");
  const int kept = kCalls - static_cast<int>(ZEPLog::controlCounters().sampledOut);
  EXPECT_GE(kept, c.keptMin);
  EXPECT_LE(kept, c.keptMax);
  // Another level, a session start and a handled exception are never sampled here.
  ZEPLog::setSampleRate(Level::Info, 0);
  const std::uint64_t sampled = ZEPLog::controlCounters().sampledOut;
  ZEPLog::warn(nullptr, "other level");
  ZEPLog::createSession("0");
  ZEPLog::handledInfo("handled", "Exception: handled");
  EXPECT_EQ(ZEPLog::controlCounters().sampledOut, sampled);
  if (!c.taken) {
    EXPECT_TRUE(console.contains("setSampleRate refused"));
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, SampleRateTest,
                         ::testing::Values(SampleCase{"Quarter", 0.25, true, 9'600, 10'400},
                                           SampleCase{"AboveOneKeepsAll", 3, true, 40'000, 40'000},
                                           SampleCase{"BelowZeroKeepsNone", -1, true, 0, 0},
                                           SampleCase{"NaNIsRefused", std::nan(""), false, 40'000,
                                                      40'000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CallLimitsTest, TheRateLimitIsABucketPerHandleWithALineAMinute) {
  EXPECT_FALSE(ZEPLog::requireUploadConsent());  // after the first initialisation
  EXPECT_FALSE(ZEPLog::setRateLimit(std::nan(""), 3));
  // A token per 1000 s: each handle's bucket holds 3 calls, whatever the clock does here.
  ASSERT_TRUE(ZEPLog::setRateLimit(0.001, 3));
  for (int i = 0; i < 10; ++i) ZEPLog::info(nullptr, "first handle");
  for (int i = 0; i < 10; ++i) ZEPLog::info(nullptr, "second handle", nullptr, "h2");
  ZEPLog::createSession("0");  // never limited
  EXPECT_EQ(ZEPLog::controlCounters().rateLimited, 14u);
  EXPECT_EQ(console.count("rate limit: "), 1);
  ASSERT_TRUE(ZEPLog::setRateLimit(std::numeric_limits<double>::infinity(), 1));  // off
  for (int i = 0; i < 10; ++i) ZEPLog::info(nullptr, "unlimited");
  EXPECT_EQ(ZEPLog::controlCounters().rateLimited, 14u);
}

}  // namespace
}  // namespace zeplog
