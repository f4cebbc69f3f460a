// Native crashes of real child processes, reported to a real collector on 127.0.0.1.
//
// Each case starts this test program again as a child (exec, so it starts clean) that
// initialises the library against the parent's collector and then really crashes. The
// parent checks what reached the collector and how the child died.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/global_lock.hpp"
#include "common/waits.hpp"
#include "crash/crash_test_support.hpp"
#include "support/child_process.hpp"
#include "support/otlp_records.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// ---- The child's side: functions that crash, kept out of line with their own frames ----------

volatile int g_zero = 0;
int* volatile g_null = nullptr;
volatile bool g_keepGoing = true;

// The sanitizers would stop these before the hardware does: they are left uninstrumented.
#define ZEPLOG_REAL_FAULT [[gnu::noinline, gnu::no_sanitize("undefined", "address")]]

ZEPLOG_REAL_FAULT void crashByNullWrite() { *g_null = 1; }

[[gnu::noinline]] void crashByBusError(const std::string& dir) {
  // A mapping beyond the end of an empty file: touching it is a bus error.
  std::string path = dir + "/empty-file";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) std::_Exit(4);
  *static_cast<volatile char*>(p) = 1;
}

ZEPLOG_REAL_FAULT int crashByDivision() { return 7 / g_zero; }

[[gnu::noinline]] void crashByIllegalInstruction() { __builtin_trap(); }

[[gnu::noinline]] void crashByAbort() { std::abort(); }

[[gnu::noinline]] void crashByUncaughtException() {
  if (g_keepGoing) throw std::runtime_error("boom \xC3\xBC");  // "boom ü"
}

[[gnu::noinline]] int crashByStackOverflow(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (!g_keepGoing) return pad[0];
  return crashByStackOverflow(depth + 1) + pad[0];
}

// Parks the main thread where its backtrace can be checked: the other thread crashes only
// once the main thread has let go of the mutex inside the wait.
[[gnu::noinline]] void parkMainThreadUntilTheCrash(std::mutex& m, std::condition_variable& cv,
                                                   bool& parked) {
  std::unique_lock<std::mutex> lock(m);
  parked = true;
  cv.notify_all();
  cv.wait(lock, [] { return false; });  // the other thread's crash ends the process
}

[[gnu::noinline]] void crashOnOtherThread() {
  std::mutex m;
  std::condition_variable cv;
  bool parked = false;
  std::thread t([&] {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return parked; });
    }
    crashByNullWrite();
  });
  parkMainThreadUntilTheCrash(m, cv, parked);
  t.join();
}

// Overwrites the frames above its own (return addresses included) with a pattern, then faults:
// an unwinder finds no way out of the first frame.
ZEPLOG_REAL_FAULT void crashOnDamagedStack() {
  auto* frame = static_cast<volatile unsigned char*>(__builtin_frame_address(0));
  for (int i = 0; i < 2048; ++i) frame[i] = 0xA5;
  *g_null = 1;
}

[[gnu::noinline]] void crashWhileLockIsHeld() {
  std::mutex m;
  std::condition_variable cv;
  bool locked = false;
  std::thread holder([&] {
    detail::GlobalLock lock(detail::global_resource_lock());
    {
      std::lock_guard<std::mutex> g(m);
      locked = true;
    }
    cv.notify_all();
    std::mutex never;
    std::unique_lock<std::mutex> wait(never);
    std::condition_variable().wait(wait);  // holds the library's lock until the process ends
  });
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return locked; });
  }
  crashByNullWrite();
  holder.join();
}

constexpr int kBurst = 50;  // events the "burst" child logs just before it crashes

void appendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << "\n";
}

void runChild(const std::string& scenario, const std::string& dir, int port) {
  ZEPLog::setDataDirectory(dir);
  // The settings are not fetched from the test's collector, whose requests are the crash's.
  ZEPLog::setSettingsBaseURL("http://127.0.0.1:9/v2/");
  // Waits the library would sit out for real here, shortened: the silent collector's request
  // and the wait for the lock the crashed process's other thread holds.
  if (scenario == "silent") detail::waits().crashRequest = std::chrono::milliseconds(300);
  if (scenario == "locked") detail::waits().crashLockWait = std::chrono::milliseconds(100);
  if (scenario == "before-init") {
    ZEPLog::enableSendCrashReport();
    crashByNullWrite();
  }
  if (const char* upload = std::getenv("ZEPLOG_CRASH_MINIDUMP")) {
    MinidumpOptions options;
    options.uploadUrl = std::string_view(upload) == "keep" ? "" : upload;
    options.fields = {{"channel", "beta"}};
    if (!ZEPLog::enableMinidumps(options)) std::_Exit(7);
  }
  if (scenario == "otlp" &&
      !ZEPLog::addOtlpExporter({"http://127.0.0.1:" + std::to_string(port), {}, false}))
    std::_Exit(6);
  // The run that resends an earlier crash is a later version, used by someone else.
  const bool later = scenario == "resend";
  if (!ZEPLog::init("http://127.0.0.1", port, 1, "crashapp", later ? "2.0" : "1.0",
                    later ? "user-2" : "user-1", CrashCapture::On))
    std::_Exit(3);
  if (scenario == "resend") {
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    std::_Exit(0);  // the parent closed our input: it has what it waited for
  }
  if (scenario == "burst") {
    for (int i = 0; i < kBurst; ++i) ZEPLog::info(nullptr, "burst " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    crashByNullWrite();
  }
  if (scenario == "block") {
    ZEPLog::setCrashBlock([dir] { appendLine(dir + "/block-ran", "block"); });
    crashByNullWrite();
  }
  if (scenario == "cleared-block") {
    ZEPLog::setCrashBlock([dir] { appendLine(dir + "/block-ran", "block"); });
    ZEPLog::setCrashBlock(nullptr);
    crashByNullWrite();
  }
  if (scenario == "segv" || scenario == "silent" || scenario == "otlp") crashByNullWrite();
  if (scenario == "bus") crashByBusError(dir);
  if (scenario == "fpe") std::_Exit(crashByDivision());
  if (scenario == "ill") crashByIllegalInstruction();
  if (scenario == "abort") crashByAbort();
  if (scenario == "exception") crashByUncaughtException();
  if (scenario == "overflow") std::_Exit(crashByStackOverflow(0));
  if (scenario == "thread") crashOnOtherThread();
  if (scenario == "locked") crashWhileLockIsHeld();
  if (scenario == "damaged") crashOnDamagedStack();
  std::_Exit(5);  // not crashed: the parent sees an exit, not a signal
}

TEST(CrashChild, Run) {
  const char* scenario = std::getenv("ZEPLOG_CRASH_SCENARIO");
  if (!scenario) GTEST_SKIP() << "runs only as the child of a crash test";
  runChild(scenario, std::getenv("ZEPLOG_CRASH_DIR"), std::atoi(std::getenv("ZEPLOG_CRASH_PORT")));
}

// ---- The parent's side -------------------------------------------------------------------------

using test::ChildRun;

class NativeCrashTest : public ::testing::Test {
 protected:
  // Starts this program as a child running scenario against the collector on port.
  ChildRun start(const std::string& scenario, int port) {
    return test::startChild(
        "CrashChild.Run",
        {"ZEPLOG_CRASH_SCENARIO=" + scenario, "ZEPLOG_CRASH_DIR=" + dataDir.path(),
         "ZEPLOG_CRASH_PORT=" + std::to_string(port)},
        "ZEPLOG_CRASH_", dataDir.path() + "/console-" + scenario);
  }

  void finish(ChildRun& run) {
    test::finishChild(run);
    ASSERT_GT(run.pid, 0);
  }

  ChildRun runToEnd(const std::string& scenario, int port) {
    ChildRun run = start(scenario, port);
    finish(run);
    return run;
  }

  // The crash files in the data directory: reports (pending, claimed or being written), or
  // the crash events kept beside them.
  std::vector<std::string> pendingReports(bool events = false) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dataDir.path())) {
      std::string name = e.path().filename().string();
      if (name.starts_with("crash-") && name.ends_with(".event") == events) found.push_back(name);
    }
    return found;
  }

  test::TempDir dataDir;
};

// The section of one thread: from its header line to the empty line that ends it.
std::string crashedThreadSection(const std::string& text) {
  std::size_t at = text.find(" Crashed:\n");
  if (at == std::string::npos) return "";
  std::size_t end = text.find("\n\n", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

struct Case {
  const char* scenario;
  int signal;
  const char* function;  // must be among the crashed thread's frames
};

class CrashCaseTest : public NativeCrashTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CrashCaseTest, OneCrashEventReachesTheCollectorAndTheProcessDiesByItsSignal) {
  const Case& c = GetParam();
  test::LoopbackServer collector;
  ChildRun run = runToEnd(c.scenario, collector.port());

  ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status << "\n" << run.console;
  EXPECT_EQ(WTERMSIG(run.status), c.signal);

  // The child waited for the answer before it died, so the request is already here.
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  auto& event = crashes[0];
  const std::string text = test::base64Decode(event["DmpData"]);
  EXPECT_NE(text.find("Incident Identifier: "), std::string::npos);
  EXPECT_NE(crashedThreadSection(text).find(c.function), std::string::npos) << text;
  EXPECT_EQ(event["projectName"], "crashapp");
  EXPECT_EQ(event["logLevel"], "FATAL");
  EXPECT_EQ(event["CrashStyle"], "ios-objc");
  EXPECT_EQ(event["SymMethod"], "dwarf-apple");
  // Sent, so nothing is left pending.
  EXPECT_TRUE(pendingReports().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashCaseTest,
                         ::testing::Values(Case{"segv", SIGSEGV, "crashByNullWrite"},
                                           Case{"bus", SIGBUS, "crashByBusError"},
#if defined(__x86_64__)  // ARM64 integer division by zero does not trap
                                           Case{"fpe", SIGFPE, "crashByDivision"},
#endif
                                           Case{"ill", SIGILL, "crashByIllegalInstruction"},
                                           Case{"abort", SIGABRT, "crashByAbort"},
                                           Case{"exception", SIGABRT, "crashByUncaughtException"},
                                           Case{"overflow", SIGSEGV, "crashByStackOverflow"},
                                           Case{"thread", SIGSEGV, "crashByNullWrite"},
                                           Case{"locked", SIGSEGV, "crashByNullWrite"}),
                         [](const auto& info) { return std::string(info.param.scenario); });

// Exported over OTLP only, the crash arrives as one log record with the exception's
// attributes, and nothing goes to "v2/log".
TEST_F(NativeCrashTest, ACrashReachesAnOtlpEndpointAsARecordWithTheExceptionAttributes) {
  test::LoopbackServer endpoint;
  ChildRun run = runToEnd("otlp", endpoint.port());
  ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status << "\n" << run.console;
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  std::vector<test::OtlpRecord> crashes;
  for (const test::SeenRequest& r : endpoint.requests()) {
    EXPECT_NE(r.path, "/v2/log");
    for (test::OtlpRecord& record : test::otlpRecordsOf(r.body))
      if (record.attributes.count("exception.stacktrace")) crashes.push_back(std::move(record));
  }
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  auto& attributes = crashes[0].attributes;
  EXPECT_EQ(attributes["exception.type"], "SIGSEGV");
  EXPECT_EQ(attributes["exception.message"], "signal: SIGSEGV");
  EXPECT_NE(crashedThreadSection(attributes["exception.stacktrace"]).find("crashByNullWrite"),
            std::string::npos);
  EXPECT_EQ(crashes[0].severityNumber, 21);
  EXPECT_EQ(crashes[0].resource["service.name"], "crashapp");
  EXPECT_TRUE(pendingReports().empty());
}

TEST_F(NativeCrashTest, SignalCrashNamesTheSignalAndEveryThreadHasItsFrames) {
  test::LoopbackServer collector;
  ChildRun run = runToEnd("thread", collector.port());
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  EXPECT_EQ(crashes[0]["errorCode"], "SIGSEGV");
  EXPECT_EQ(crashes[0]["body"], "signal: SIGSEGV");
  const std::string text = test::base64Decode(crashes[0]["DmpData"]);
  EXPECT_NE(text.find("Exception Type:  SIGSEGV\nException Codes: SEGV_MAPERR at 0x0\n"),
            std::string::npos);
  // The main thread was waiting for the crashing one: its own frames say where.
  const std::size_t mainThread = text.find("Thread 0:\n");
  ASSERT_NE(mainThread, std::string::npos) << text;
  const std::string mainFrames =
      text.substr(mainThread, text.find("\n\n", mainThread) - mainThread);
  EXPECT_NE(mainFrames.find("parkMainThreadUntilTheCrash"), std::string::npos) << text;
  EXPECT_NE(mainFrames.find("crashOnOtherThread"), std::string::npos) << text;
  EXPECT_NE(text.find("crashed with X86-64 Thread State:\n   rax: 0x"), std::string::npos);
  EXPECT_NE(text.find("Binary Images:\n"), std::string::npos);
  EXPECT_NE(text.find("x86_64  <"), std::string::npos);
}

TEST_F(NativeCrashTest, UncaughtExceptionIsNamedAndItsNonAsciiTextArrivesIntact) {
  test::LoopbackServer collector;
  ChildRun run = runToEnd("exception", collector.port());
  ASSERT_TRUE(WIFSIGNALED(run.status));
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  EXPECT_EQ(crashes[0]["errorCode"], "std::runtime_error");
  EXPECT_EQ(crashes[0]["body"],
            "signal: SIGABRT, exception: std::runtime_error raised by boom \xC3\xBC");
  const std::string text = test::base64Decode(crashes[0]["DmpData"]);
  EXPECT_NE(text.find("*** Terminating app due to uncaught exception 'std::runtime_error', "
                      "reason: 'boom \xC3\xBC'\n"),
            std::string::npos)
      << text;
}

TEST_F(NativeCrashTest, CrashBlockRunsOnceBeforeTheSend) {
  test::LoopbackServer collector;
  const std::string marker = dataDir.path() + "/block-ran";
  collector.hold();  // the request waits here while we look
  ChildRun run = start("block", collector.port());
  ASSERT_TRUE(collector.waitForRequests(1));
  EXPECT_TRUE(std::filesystem::exists(marker));  // the block ran before the request left
  collector.release();
  finish(run);
  ASSERT_TRUE(WIFSIGNALED(run.status));
  ASSERT_EQ(test::crashEventsOf(collector.requests()).size(), 1u);
  std::ifstream in(marker);
  std::stringstream lines;
  lines << in.rdbuf();
  EXPECT_EQ(lines.str(), "block\n");
}

TEST_F(NativeCrashTest, ClearedCrashBlockIsNotCalled) {
  test::LoopbackServer collector;
  ChildRun run = runToEnd("cleared-block", collector.port());
  ASSERT_EQ(test::crashEventsOf(collector.requests()).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dataDir.path() + "/block-ran"));
}

TEST_F(NativeCrashTest, CrashBeforeInitialisationSendsNothingAndKeepsTheReport) {
  test::LoopbackServer collector;
  ChildRun run = runToEnd("before-init", collector.port());
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  EXPECT_NE(run.console.find("Debug: Please call the init function first."), std::string::npos)
      << run.console;
  EXPECT_TRUE(collector.requests().empty());
  EXPECT_EQ(pendingReports().size(), 1u);
}

// The next start sends the crash event as the crashed run made it: that run's version, user,
// session and crash time, not the sending run's.
TEST_F(NativeCrashTest, SilentCollectorStillLetsTheProcessDieAndTheNextStartSendsTheReport) {
  std::map<std::string, std::string> asMadeAtTheCrash;
  {
    test::LoopbackServer silent;
    silent.hold();  // takes the request and never answers
    ChildRun run = runToEnd("silent", silent.port());
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.console;
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    // It was asked, and never answered (the send thread's batches may reach it too).
    auto asked = test::crashEventsOf(silent.requests());
    ASSERT_EQ(asked.size(), 1u);
    asMadeAtTheCrash = asked[0];
  }
  EXPECT_EQ(asMadeAtTheCrash["projectVersion"], "1.0");
  EXPECT_EQ(asMadeAtTheCrash["UserID"], "user-1");
  EXPECT_FALSE(asMadeAtTheCrash["SessionID"].empty());
  ASSERT_EQ(pendingReports().size(), 1u);
  ASSERT_EQ(pendingReports(/*events=*/true).size(), 1u);

  test::LoopbackServer collector;
  ChildRun next = start("resend", collector.port());
  // Other events of the start may come first; the crash event comes once.
  for (std::size_t n = 1; test::crashEventsOf(collector.requests()).empty(); ++n)
    ASSERT_TRUE(collector.waitForRequests(n));
  finish(next);
  EXPECT_TRUE(WIFEXITED(next.status));
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const std::string text = test::base64Decode(crashes[0]["DmpData"]);
  EXPECT_NE(crashedThreadSection(text).find("crashByNullWrite"), std::string::npos) << text;
  EXPECT_EQ(crashes[0], asMadeAtTheCrash);
}

// The events logged just before a crash reach the collector, each once: those the crashed run
// did not send, the next start sends.
TEST_F(NativeCrashTest, EventsLoggedJustBeforeACrashArriveEachOnce) {
  test::LoopbackServer collector;
  ChildRun run = runToEnd("burst", collector.port());
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.console;
  ASSERT_EQ(test::crashEventsOf(collector.requests()).size(), 1u) << run.console;

  std::map<std::string, int> seen;  // times each body arrived
  const auto count = [&] {
    seen.clear();
    for (const test::SeenRequest& request : collector.requests()) {
      if (request.path != "/v2/log") continue;
      for (auto& event : test::eventsOf(request.body)) {
        if (event["body"].starts_with("burst ")) ++seen[event["body"]];
      }
    }
    return seen.size();
  };
  ChildRun next = start("resend", collector.port());
  for (std::size_t n = collector.requestCount() + 1; count() < kBurst; ++n)
    ASSERT_TRUE(collector.waitForRequests(n)) << seen.size() << " of " << kBurst;
  finish(next);
  for (const auto& [body, times] : seen) EXPECT_EQ(times, 1) << body;
}

}  // namespace
}  // namespace zeplog
