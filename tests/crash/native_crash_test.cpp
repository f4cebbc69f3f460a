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

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
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
  for (int i = 0; i < 256; ++i) frame[i] = 0xA5;
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
  if (scenario.starts_with("otlp") &&
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
  if (scenario == "exception" || scenario == "otlp-exception") crashByUncaughtException();
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
  // minidump: "" for none, "keep" to write them, or an upload URL.
  ChildRun start(const std::string& scenario, int port, const std::string& minidump = "") {
    std::vector<std::string> variables = {"ZEPLOG_CRASH_SCENARIO=" + scenario,
                                          "ZEPLOG_CRASH_DIR=" + dataDir.path(),
                                          "ZEPLOG_CRASH_PORT=" + std::to_string(port)};
    if (!minidump.empty()) variables.push_back("ZEPLOG_CRASH_MINIDUMP=" + minidump);
    return test::startChild("CrashChild.Run", variables, "ZEPLOG_CRASH_",
                            dataDir.path() + "/console-" + scenario);
  }

  void finish(ChildRun& run) {
    test::finishChild(run);
    ASSERT_GT(run.pid, 0);
  }

  ChildRun runToEnd(const std::string& scenario, int port, const std::string& minidump = "") {
    ChildRun run = start(scenario, port, minidump);
    finish(run);
    return run;
  }

  // The crash files in the data directory: reports (pending, claimed or being written), or
  // the crash events kept beside them. Minidumps and what is kept beside them are not counted.
  std::vector<std::string> pendingReports(bool events = false) {
    std::vector<std::string> found;
    for (const std::string& name : crashFiles())
      if (!isMinidumpFile(name) && name.ends_with(".event") == events) found.push_back(name);
    return found;
  }
  std::vector<std::string> minidumps() {
    std::vector<std::string> found;
    for (const std::string& name : crashFiles())
      if (isMinidumpFile(name)) found.push_back(dataDir.path() + "/" + name);
    return found;
  }
  static bool isMinidumpFile(const std::string& name) {
    return name.find(".dmp") != std::string::npos;
  }
  std::vector<std::string> crashFiles() {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dataDir.path())) {
      std::string name = e.path().filename().string();
      if (name.starts_with("crash-")) found.push_back(name);
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

struct OtlpCase {
  const char* scenario;
  int signal;
  const char* type;  // exception.type: the uncaught exception's where there is one
  const char* message;
  const char* function;
};

class OtlpCrashTest : public NativeCrashTest, public ::testing::WithParamInterface<OtlpCase> {};

// Exported over OTLP only, the crash arrives as one log record with the exception's
// attributes, and nothing goes to "v2/log".
TEST_P(OtlpCrashTest, ACrashReachesAnOtlpEndpointAsARecordWithTheExceptionAttributes) {
  const OtlpCase& c = GetParam();
  test::LoopbackServer endpoint;
  ChildRun run = runToEnd(c.scenario, endpoint.port());
  ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status << "\n" << run.console;
  EXPECT_EQ(WTERMSIG(run.status), c.signal);
  std::vector<test::OtlpRecord> crashes;
  for (const test::SeenRequest& r : endpoint.requests()) {
    EXPECT_NE(r.path, "/v2/log");
    for (test::OtlpRecord& record : test::otlpRecordsOf(r.body))
      if (record.attributes.count("exception.stacktrace")) crashes.push_back(std::move(record));
  }
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  auto& attributes = crashes[0].attributes;
  EXPECT_EQ(attributes["exception.type"], c.type);
  EXPECT_EQ(attributes["exception.message"], c.message);
  EXPECT_NE(crashedThreadSection(attributes["exception.stacktrace"]).find(c.function),
            std::string::npos);
  EXPECT_EQ(crashes[0].severityNumber, 21);
  EXPECT_EQ(crashes[0].resource["service.name"], "crashapp");
  EXPECT_TRUE(pendingReports().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Exports, OtlpCrashTest,
    ::testing::Values(OtlpCase{"otlp", SIGSEGV, "SIGSEGV", "signal: SIGSEGV", "crashByNullWrite"},
                      OtlpCase{
                          "otlp-exception", SIGABRT, "std::runtime_error",
                          "signal: SIGABRT, exception: std::runtime_error raised by boom \xC3\xBC",
                          "crashByUncaughtException"}),
    [](const auto& info) {
      std::string name = info.param.scenario;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

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

// ---- Minidumps, read by LLDB ------------------------------------------------------------------

// LLDB's path, "" when it is not installed.
std::string findLldb() {
  for (const char* name : {"lldb-16", "lldb"}) {
    std::string path;
    std::stringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "");
    while (std::getline(dirs, path, ':'))
      if (::access((path + "/" + name).c_str(), X_OK) == 0) return path + "/" + name;
  }
  return "";
}

// What LLDB prints for the minidump loaded as a core of the program: its thread list and every
// thread's backtrace.
std::string lldbReading(const std::string& lldb, const std::string& dump) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = lldb + " --batch --no-lldbinit -c '" + dump + "' '" + self +
                              "' -o 'thread list' -o 'bt all' 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// The backtrace of the thread LLDB marks as stopped ("* thread #n"), in "bt all".
std::string lldbCrashedBacktrace(const std::string& reading) {
  const std::size_t bt = reading.find("(lldb) bt all");
  const std::size_t at = reading.find("* thread #", bt);
  if (bt == std::string::npos || at == std::string::npos) return "";
  const std::size_t end = reading.find("\n  thread #", at);
  return reading.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct DumpCase {
  const char* scenario;
  const char* stopReason;  // as LLDB names the crash
  const char* function;    // among the crashed thread's frames as LLDB unwinds them
};

class MinidumpCaseTest : public NativeCrashTest, public ::testing::WithParamInterface<DumpCase> {};

// Each crash leaves one minidump, private to the user, within its size bound, that LLDB loads
// with every thread the text report lists, the crash's signal and the crashed thread's frames.
TEST_P(MinidumpCaseTest, LldbLoadsTheMinidumpWithEveryThreadTheSignalAndTheCrashedFrames) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer runs a thread of its own in the child, which the minidump "
                  "lists and the text report does not";
#endif
  const DumpCase& c = GetParam();
  const std::string lldb = findLldb();
  if (lldb.empty())
    GTEST_SKIP() << "lldb-16 not found on PATH (scripts/install-deps.sh installs it)";
  test::LoopbackServer collector;
  ChildRun run = runToEnd(c.scenario, collector.port(), "keep");
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.console;
  const std::vector<std::string> dumps = minidumps();
  ASSERT_EQ(dumps.size(), 1u) << run.console;
  const auto status = std::filesystem::status(dumps[0]);
  EXPECT_EQ(status.permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_LT(std::filesystem::file_size(dumps[0]), 19u << 20);

  const std::string reading = lldbReading(lldb, dumps[0]);
  auto crashes = test::crashEventsOf(collector.requests());
  ASSERT_EQ(crashes.size(), 1u) << run.console;
  const std::string text = test::base64Decode(crashes[0]["DmpData"]);
  const std::size_t threadList = reading.find("(lldb) thread list");
  // Every thread the report has frames of, each with its registers (no thread at address 0).
  const std::string threads = reading.substr(0, reading.find("(lldb) bt all"));
  const std::regex withFrames(R"(\nThread \d+( Crashed)?:\n0 )");
  EXPECT_EQ(countOf(threads, "thread #"),
            static_cast<std::size_t>(
                std::distance(std::sregex_iterator(text.begin(), text.end(), withFrames), {})))
      << reading << text;
  EXPECT_EQ(countOf(threads, ", 0x0000000000000000"), 0u) << reading;
  EXPECT_NE(reading.find("stop reason = " + std::string(c.stopReason), threadList),
            std::string::npos)
      << reading;
  EXPECT_NE(lldbCrashedBacktrace(reading).find(c.function), std::string::npos) << reading;
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, MinidumpCaseTest,
    ::testing::Values(DumpCase{"segv", "signal SIGSEGV", "crashByNullWrite"},
                      DumpCase{"exception", "signal SIGABRT", "crashByUncaughtException"},
                      DumpCase{"thread", "signal SIGSEGV", "crashByNullWrite"},
                      DumpCase{"overflow", "signal SIGSEGV", "crashByStackOverflow"},
                      DumpCase{"damaged", "signal SIGSEGV", "crashOnDamagedStack"}),
    [](const auto& info) { return std::string(info.param.scenario); });

// With the upload endpoint down at the crash, the minidump stays with the identity of the run
// that crashed; the next start uploads it once, as multipart with the file and the fields,
// and then deletes it.
TEST_F(NativeCrashTest, AMinidumpThatCouldNotBeUploadedIsUploadedOnceByTheNextStart) {
  test::LoopbackServer collector;
  {
    test::LoopbackServer failing;
    failing.setStatus(503);
    const std::string url = "http://127.0.0.1:" + std::to_string(failing.port()) + "/minidump";
    ChildRun run = runToEnd("segv", collector.port(), url);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.console;
    ASSERT_EQ(failing.requests().size(), 1u) << run.console;
  }
  ASSERT_EQ(minidumps().size(), 2u);  // the file and the identity kept beside it

  test::LoopbackServer uploads;
  const std::string url = "http://127.0.0.1:" + std::to_string(uploads.port()) + "/minidump";
  ChildRun next = start("resend", collector.port(), url);
  ASSERT_TRUE(uploads.waitForRequests(1));
  // Deleted once the answer is in (a guard against a hung test, not a timing assertion).
  for (int i = 0; i < 3000 && !minidumps().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  finish(next);
  ASSERT_EQ(uploads.requests().size(), 1u) << next.console;
  test::SeenRequest upload = uploads.requests()[0];
  EXPECT_EQ(upload.method, "POST");
  EXPECT_TRUE(upload.contentType.starts_with("multipart/form-data; boundary="));
  std::map<std::string, std::string> parts = upload.formParts;
  EXPECT_TRUE(parts["upload_file_minidump"].starts_with("MDMP"));
  EXPECT_TRUE(upload.formFileNames["upload_file_minidump"].ends_with(".dmp"));
  // The crashed run's identity, not the sending run's, and the application's own field.
  EXPECT_EQ(parts["prod"], "crashapp");
  EXPECT_EQ(parts["ver"], "1.0");
  EXPECT_EQ(parts["user"], "user-1");
  EXPECT_FALSE(parts["session"].empty());
  EXPECT_FALSE(parts["guid"].empty());
  EXPECT_EQ(parts["crash_key"], "signal: SIGSEGVFATAL");
  EXPECT_EQ(parts["channel"], "beta");
  EXPECT_TRUE(minidumps().empty());
}

}  // namespace
}  // namespace zeplog
