// A normal exit: what the collector did not take is saved, and the next run sends it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "delivery_helpers.hpp"
#include "dev_collector.hpp"

namespace zeplog::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs body in a child process that starts as a new run of the application would (this
// test process has not initialised the library yet) and ends with the exit code it returns.
int runInChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// One run of an application that logs three events and ends normally, against a collector
// on the given port.
int applicationRun(int port) {
  detail::setSendCycleSleep(std::chrono::hours(1));  // only the exit sends
  if (!ZEPLog::init("127.0.0.1", port, 1, "app", "1.0", "user-1", CrashCapture::Off, SyncStart::Off,
                    Text(), Text()))
    return 10;
  ZEPLog::createLogSendThread();
  ZEPLog::info("", "first");
  ZEPLog::info("", "second");
  ZEPLog::info("", "third");
  ZEPLog::applicationWillTerminate();
  return ZEPLog::queueSize() == 0 && ZEPLog::fileQueueSize() == 0 ? 0 : 11;
}

class TerminateTest : public DeliveryTest {
 protected:
  // This process as the next run: it restores the saved events and sends them to `server`.
  std::vector<std::string> nextRunDelivers() {
    EXPECT_TRUE(initHttp());
    ZEPLog::createLogSendThread();
    EXPECT_TRUE(ZEPLog::flush(60s));
    std::vector<std::string> out;
    for (const SeenRequest& r : server.requests()) {
      if (r.path != "/v2/log") continue;
      for (const auto& o : objectsOf(r.body)) out.push_back(member(*o, "body").value_or("-"));
    }
    return out;
  }

  static bool savedFilesExist() {
    return fs::exists(kstVelaBlockQueue::dataFilePath()) ||
           fs::exists(kstVelaBlockQueue::fileFilePath());
  }
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(TerminateTest, WithTheCollectorUnreachableTheNextRunSendsWhatThisOneLeft) {
  int closedPort;
  {
    LoopbackServer gone;
    closedPort = gone.port();
  }
  ASSERT_EQ(runInChild([&] { return applicationRun(closedPort); }), 0);
  ASSERT_TRUE(savedFilesExist());

  const std::vector<std::string> delivered = nextRunDelivers();
  EXPECT_TRUE(contains(delivered, "first"));
  EXPECT_TRUE(contains(delivered, "second"));
  EXPECT_TRUE(contains(delivered, "third"));
  EXPECT_FALSE(savedFilesExist());
}

TEST_F(TerminateTest, ARequestTheCollectorNeverAnswersIsCutOffAndItsEventsSaved) {
  // Settings are answered at once (so they hold no send back); log requests are kept
  // waiting far beyond any bound of the exit.
  tools::CollectorOptions options;
  options.keepAliveSeconds = 1;
  options.logAnswer.delay = std::chrono::hours(1);
  tools::DevCollector silent(options);
  ASSERT_TRUE(silent.start());
  ASSERT_EQ(runInChild([&] { return applicationRun(silent.port()); }), 0);
  // The run did send: its request was cut off, not left unsent.
  EXPECT_TRUE(silent.waitForRequests("/v2/log", 1, 30s));
  silent.stop();
  ASSERT_TRUE(savedFilesExist());

  const std::vector<std::string> delivered = nextRunDelivers();
  EXPECT_TRUE(contains(delivered, "first"));
  EXPECT_TRUE(contains(delivered, "third"));
}

TEST_F(TerminateTest, WithALiveCollectorEverythingGoesAndNothingIsSaved) {
  ASSERT_EQ(runInChild([&] { return applicationRun(server.port()); }), 0);
  EXPECT_FALSE(savedFilesExist());
  std::vector<std::string> bodies;
  for (const SeenRequest& r : server.requests()) {
    if (r.path != "/v2/log") continue;
    for (const auto& o : objectsOf(r.body)) bodies.push_back(member(*o, "body").value_or("-"));
  }
  EXPECT_TRUE(contains(bodies, "third"));
}

TEST_F(TerminateTest, BeforeInitialisationItDoesNothing) {
  ZEPLog::applicationWillTerminate();
  EXPECT_TRUE(fs::is_empty(dataDir.path()));
}

}  // namespace
}  // namespace zeplog::test
