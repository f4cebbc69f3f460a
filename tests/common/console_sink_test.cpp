// Console lines never hold up the library: they reach the application's handler only after
// global_resource_lock is released, and a stderr that nobody reads drops lines instead of
// blocking. Each line is one line, bounded.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/console.hpp"
#include "common/global_lock.hpp"
#include "common/guard.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// A failure guard only: the awaited events happen at once when the code is right.
constexpr auto kBound = std::chrono::seconds(30);

// The application's handler takes the application's own mutex. One thread holds that mutex
// and logs while another thread's console line, made under the global lock, is on its way
// to the handler: both complete.
TEST(ConsoleDeferral, AHandlerTakingTheApplicationsMutexNeverDeadlocksALogCall) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:1", "app", "1"));

  std::mutex appMutex;
  std::promise<void> inHandler;
  std::once_flag once;
  ZEPLog::setConsoleHandler([&](std::string_view line) {
    if (line.find("already exists handleId") == std::string_view::npos) return;
    std::call_once(once, [&] { inHandler.set_value(); });
    std::lock_guard<std::mutex> g(appMutex);  // waits for the logging thread below
  });

  std::unique_lock<std::mutex> held(appMutex);
  // Refused under the lock: its line is made there and delivered after the release.
  std::thread refused([] { (void)ZEPLog::init("http://127.0.0.1:1", "app", "1", Text(), "0"); });
  ASSERT_EQ(inHandler.get_future().wait_for(kBound), std::future_status::ready);
  auto logged = std::async(std::launch::async, [] { ZEPLog::info(nullptr, "holding app mutex"); });
  const bool completed = logged.wait_for(kBound) == std::future_status::ready;
  held.unlock();
  refused.join();
  EXPECT_TRUE(completed);
  EXPECT_EQ(ZEPLog::queueSize(), 2);  // the session and the log call
  ZEPLog::setConsoleHandler(nullptr);
}

TEST(ConsoleDeferral, LinesMadeUnderTheLockArriveInOrderAfterTheOutermostRelease) {
  test::ConsoleCapture console;
  {
    detail::GlobalLock outer(detail::global_resource_lock());
    ZEP_CONSOLE("one");
    {
      detail::GlobalLock inner(detail::global_resource_lock());
      ZEP_CONSOLE("two");
    }
    EXPECT_TRUE(console.lines().empty());
    ZEP_CONSOLE("three");
  }
  const auto lines = console.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("one"), std::string::npos);
  EXPECT_NE(lines[1].find("two"), std::string::npos);
  EXPECT_NE(lines[2].find("three"), std::string::npos);
}

TEST(ConsoleFailureLine, AnExceptionUnderTheLockIsReportedAfterTheRelease) {
  test::ConsoleCapture console;
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    EXPECT_EQ(detail::guarded<int>("op", 7, []() -> int { throw std::bad_alloc(); }), 7);
    EXPECT_EQ(detail::guarded<int>("op2", 8, []() -> int { throw 1; }), 8);
    EXPECT_TRUE(console.lines().empty());
  }
  const auto lines = console.lines();
  ASSERT_EQ(lines.size(), 1u);  // one fixed slot per thread: the second is counted
  EXPECT_NE(lines[0].find("] op exception : std::bad_alloc"), std::string::npos) << lines[0];
}

TEST(ConsoleLines, ControlCharactersAreEscapedAndApplicationTextIsCapped) {
  test::TempDir dir;
  ZEPLog::setDataDirectory(dir.path());
  test::ConsoleCapture console;
  // A forged line inside a rejected key, with a NUL byte.
  const std::string forged = std::string("bad\n[ZEPLog] [line 1] init done") + '\0' + "x";
  ZEPLog::setCustomField("v", forged);
  ASSERT_EQ(console.lines().size(), 1u);
  const std::string line = console.lines()[0];
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\0'), std::string::npos);
  EXPECT_NE(line.find("bad\\n[ZEPLog] [line 1] init done\\x00x is invalid"), std::string::npos)
      << line;

  console.clear();
  const std::string huge(10 * 1024 * 1024, 'k');
  ZEPLog::setCustomField("v", "9" + huge);
  ASSERT_EQ(console.lines().size(), 1u);
  EXPECT_LT(console.lines()[0].size(), 1200u);
  EXPECT_NE(console.lines()[0].find("(10485761 bytes)"), std::string::npos);
}

// Points fd 2 at a pipe for the test's lifetime and restores it after.
class StderrPipe {
 public:
  StderrPipe() {
    saved_ = ::dup(STDERR_FILENO);
    if (::pipe(fds_) != 0) ADD_FAILURE() << "pipe";
    ::dup2(fds_[1], STDERR_FILENO);
  }
  ~StderrPipe() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  // Fills the pipe through a non-blocking description of its own, so the pipe is full but
  // fd 2's description stays as the application left it.
  void fill() {
    int w = ::open(("/proc/self/fd/" + std::to_string(fds_[1])).c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    std::string block(4096, 'f');
    while (::write(w, block.data(), block.size()) > 0) {
    }
    ::close(w);
  }
  void closeReader() {
    ::close(fds_[0]);
    fds_[0] = -1;
  }
  // Everything in the pipe now.
  std::string drain() {
    int flags = ::fcntl(fds_[0], F_GETFL);
    ::fcntl(fds_[0], F_SETFL, flags | O_NONBLOCK);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::fcntl(fds_[0], F_SETFL, flags);
    return out;
  }

 private:
  int saved_ = -1;
  int fds_[2] = {-1, -1};
};

TEST(ConsoleStderr, AFullPipeThatNobodyReadsDropsLinesAndNeverBlocks) {
  ZEPLog::setConsoleHandler(nullptr);
  StderrPipe pipe;
  pipe.fill();
  const std::uint64_t droppedBefore = detail::droppedConsoleLines();
  auto done = std::async(std::launch::async, [] {
    for (int i = 0; i < 100; ++i) ZEPLog::info(nullptr, "before init: writes a line");
  });
  const bool completed = done.wait_for(kBound) == std::future_status::ready;
  if (!completed) pipe.drain();  // let a blocked writer go, so the test ends and fails
  ASSERT_TRUE(completed);
  EXPECT_EQ(detail::droppedConsoleLines() - droppedBefore, 100u);  // one line per call
  EXPECT_EQ(::fcntl(STDERR_FILENO, F_GETFL) & O_NONBLOCK, 0);      // the application's fd untouched

  // Once read, the pipe takes whole lines again.
  pipe.drain();
  ZEP_CONSOLE("after drain");
  const std::string text = pipe.drain();
  EXPECT_NE(text.find("] after drain\n"), std::string::npos) << text;
}

// SIGPIPE's default action ends the process: a line for a reader that has gone must not.
TEST(ConsoleStderr, APipeWhoseReaderHasGoneNeitherKillsNorBlocks) {
  ZEPLog::setConsoleHandler(nullptr);
  StderrPipe pipe;
  ZEP_CONSOLE("while the reader is there");  // the library's description of the pipe is made
  pipe.closeReader();
  const std::uint64_t droppedBefore = detail::droppedConsoleLines();
  ZEP_CONSOLE("after the reader left");
  ZEPLog::info(nullptr, "after the reader left");
  EXPECT_EQ(detail::droppedConsoleLines() - droppedBefore, 2u);
}

TEST(ConsoleStderr, ALineLongerThanAPipeWriteIsCutWhole) {
  ZEPLog::setConsoleHandler(nullptr);
  StderrPipe pipe;
  detail::consoleRaw(std::string(3 * PIPE_BUF, 'z'));
  const std::string text = pipe.drain();
  EXPECT_LE(text.size(), static_cast<std::size_t>(PIPE_BUF));
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("... (" + std::to_string(3 * PIPE_BUF) + " bytes)\n"), std::string::npos);
}

}  // namespace
}  // namespace zeplog
