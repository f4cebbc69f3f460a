// A forked child's library works on its own: its events and its crash reach the collector
// through threads of its own, and nothing the parent queued is sent twice.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/waits.hpp"
#include "crash/crash_test_support.hpp"
#include "delivery/send_thread.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

// The crash must reach the library's handler, and its default action end the child, as in an
// application built without the sanitizers.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_abort=0:detect_leaks=0";
}
extern "C" const char* __tsan_default_options() { return "handle_segv=0:handle_abort=0"; }

namespace zeplog {
namespace {

// A failure guard only: a child that hangs is ended by this alarm.
constexpr unsigned kChildAlarmSeconds = 60;

int* volatile g_null = nullptr;
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashByNullWrite() { *g_null = 1; }

std::size_t countBody(const test::SeenRequest& r, const std::string& body) {
  std::size_t n = 0;
  if (r.path != "/v2/log") return 0;
  for (auto& event : test::eventsOf(r.body)) n += event["body"] == body ? 1 : 0;
  return n;
}

// How many events with this body the collector received, over every request.
std::size_t eventsWithBody(const test::LoopbackServer& server, const std::string& body) {
  std::size_t n = 0;
  for (const test::SeenRequest& r : server.requests()) n += countBody(r, body);
  return n;
}

// Waits until an event with this body arrived; false after the guard's bound.
bool waitForEvent(const test::LoopbackServer& server, const std::string& body) {
  for (std::size_t scanned = 0;;) {
    const std::vector<test::SeenRequest> seen = server.requests();
    for (; scanned < seen.size(); ++scanned) {
      if (countBody(seen[scanned], body) > 0) return true;
    }
    if (!server.waitForRequests(scanned + 1, std::chrono::seconds(60))) return false;
  }
}

// The pipe on which the parent tells a child that its event arrived.
struct Go {
  int fds[2] = {-1, -1};
  Go() { EXPECT_EQ(::pipe(fds), 0); }
  ~Go() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void waitInChild() const {
    char byte;
    (void)!::read(fds[0], &byte, 1);
  }
  void give() const { (void)!::write(fds[1], "g", 1); }
};

class ForkedChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ZEPLog::setDataDirectory(dir_.path());
    ZEPLog::setConsoleHandler([](std::string_view) {});
    detail::waits().sendCycleSleep = std::chrono::milliseconds(20);
  }
  // Limits of the tools, not of the code under test. ThreadSanitizer keeps the parent's
  // threads in its registry in a forked child, and ends the child when a new thread there
  // gets the id of one of them ("dup thread with used id"). This AddressSanitizer runtime
  // does not take its allocator's locks around fork(): a child forked while another thread
  // allocates (the application's, or a settings fetch just after initialisation) can hang
  // in it. These tests run in the normal build.
  static bool sanitizerEndsForkedChildren() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(server_.port()) + "/"; }

  // Runs body in a forked child that then waits for the parent's go and exits normally.
  pid_t forkChild(const Go& go, void (*body)()) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(kChildAlarmSeconds);
      body();
      go.waitInChild();
      std::exit(0);  // a normal exit, with the child's own library threads running
    }
    return pid;
  }

  static std::string childBody() { return "from child " + std::to_string(::getpid()); }

  test::TempDir dir_;
  test::LoopbackServer server_;
};

// The handle of the run of the test below: a handle of its own in each run, so that the
// test can be repeated in one process (a handle keeps the collector it was made with).
std::string g_busyHandle;

TEST_F(ForkedChildTest, ChildrenOfABusyParentSendTheirOwnEventsAndExitCleanly) {
  if (sanitizerEndsForkedChildren()) GTEST_SKIP() << "the sanitizer runtime's fork limits";
  static int run = 0;
  g_busyHandle = "busy" + std::to_string(run++);
  ASSERT_TRUE(ZEPLog::init(url(), 0, 1, "app", "1", {}, CrashCapture::Off, SyncStart::Off, {},
                           g_busyHandle));
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int i = 0; i < 2; ++i) {
    loggers.emplace_back([&stop] {
      // Paced, so the collector is not flooded; the forks still find these threads inside
      // the library as often as not.
      while (!stop.load()) {
        ZEPLog::info("E", "from a parent thread", {}, g_busyHandle);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }

  constexpr int kChildren = 4;
  int cleanExits = 0;
  for (int i = 0; i < kChildren; ++i) {
    Go go;
    const pid_t pid = forkChild(go, [] { ZEPLog::info("E", childBody(), {}, g_busyHandle); });
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitForEvent(server_, "from child " + std::to_string(pid))) << "child " << i;
    go.give();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    cleanExits += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
  }
  EXPECT_EQ(cleanExits, kChildren);

  // The parent goes on sending as before.
  stop.store(true);
  for (auto& t : loggers) t.join();
  // Repeats of one body are collapsed process-wide: the body names the run.
  const std::string after = "parent after the children of " + g_busyHandle;
  ZEPLog::info("E", after, {}, g_busyHandle);
  EXPECT_TRUE(waitForEvent(server_, after));
}

TEST_F(ForkedChildTest, EventsQueuedBeforeTheForkAreSentByTheParentOnly) {
  if (sanitizerEndsForkedChildren()) GTEST_SKIP() << "the sanitizer runtime's fork limits";
  // Held: nothing leaves the parent until the end of the test.
  ASSERT_TRUE(ZEPLog::init(url(), "app", "1", SyncStart::On));
  ZEPLog::info("E", "queued before the fork");

  Go go;
  const pid_t pid = forkChild(go, [] {
    // The child inherited the hold; its application releases it as the parent's would.
    ZEPLog::startSendThread();
    ZEPLog::info("E", childBody());
  });
  ASSERT_GT(pid, 0);
  // The child's event was queued behind the inherited one: had the child kept it, it would
  // have been in the same request or an earlier one.
  ASSERT_TRUE(waitForEvent(server_, "from child " + std::to_string(pid)));
  EXPECT_EQ(eventsWithBody(server_, "queued before the fork"), 0u);
  go.give();
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  ZEPLog::startSendThread();
  ASSERT_TRUE(waitForEvent(server_, "queued before the fork"));
  EXPECT_EQ(eventsWithBody(server_, "queued before the fork"), 1u);
}

TEST_F(ForkedChildTest, ACrashInTheChildIsReportedAsTheChilds) {
  if (sanitizerEndsForkedChildren()) GTEST_SKIP() << "the sanitizer runtime's fork limits";
  ASSERT_TRUE(ZEPLog::init(url(), 0, 1, "crashapp", "1", {}, CrashCapture::On));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(kChildAlarmSeconds);
    ZEPLog::info("E", "about to crash");  // the first call arms the child's own capture
    crashByNullWrite();
    std::_Exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  // The child's crash handler waited for the upload before it let the child die.
  auto crashes = test::crashEventsOf(server_.requests());
  ASSERT_EQ(crashes.size(), 1u);
  const std::string text = test::base64Decode(crashes[0]["DmpData"]);
  EXPECT_NE(text.find("[" + std::to_string(pid) + "]"), std::string::npos) << text;
  EXPECT_NE(text.find("crashByNullWrite"), std::string::npos) << text;
}

}  // namespace
}  // namespace zeplog
