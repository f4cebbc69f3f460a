// A normal exit: what the collector did not take is saved, and the next run sends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "common/waits.hpp"
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

// A loopback port that was free a moment ago and has no listener: connections are refused.
// Found without a server, so this process stays without threads until its next run.
int closedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

// The log-event bodies a collector received.
std::vector<std::string> bodiesAt(const LoopbackServer& server) {
  std::vector<std::string> out;
  for (const SeenRequest& r : server.requests()) {
    if (r.path != "/v2/log") continue;
    for (const auto& o : objectsOf(r.body)) out.push_back(member(*o, "body").value_or("-"));
  }
  return out;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// One run of an application that logs three events and ends normally, against a collector
// on the given port. 0 when both queues are empty afterwards.
int applicationRun(int port) {
  detail::waits().sendCycleSleep = std::chrono::hours(1);  // only the exit sends
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

// Every run happens in a child process forked while this process has no threads yet (no
// collector of its own until the next run), as a new run of the application would start.
class TerminateTest : public LibraryTest {
 protected:
  // This process as the next run: it restores the saved events and sends them.
  std::vector<std::string> nextRunDelivers() {
    LoopbackServer server;
    detail::waits().sendCycleSleep = std::chrono::milliseconds(50);
    EXPECT_TRUE(ZEPLog::init("127.0.0.1", server.port(), 1, "app", "1.0", "user-1",
                             CrashCapture::Off, SyncStart::Off, Text(), Text()));
    ZEPLog::createLogSendThread();
    EXPECT_TRUE(ZEPLog::flush(60s));
    return bodiesAt(server);
  }

  static bool savedFilesExist() {
    return fs::exists(kstVelaBlockQueue::dataFilePath()) ||
           fs::exists(kstVelaBlockQueue::fileFilePath());
  }
};

TEST_F(TerminateTest, WithTheCollectorUnreachableTheNextRunSendsWhatThisOneLeft) {
  const int closedPort = closedLoopbackPort();
  ASSERT_GT(closedPort, 0);
  ASSERT_EQ(runInChild([&] { return applicationRun(closedPort); }), 0);
  ASSERT_TRUE(savedFilesExist());

  const std::vector<std::string> delivered = nextRunDelivers();
  EXPECT_TRUE(contains(delivered, "first"));
  EXPECT_TRUE(contains(delivered, "second"));
  EXPECT_TRUE(contains(delivered, "third"));
  EXPECT_FALSE(savedFilesExist());
}

TEST_F(TerminateTest, ARequestTheCollectorNeverAnswersIsCutOffAndItsEventsSaved) {
  ASSERT_EQ(runInChild([] {
              // Settings are answered at once (so they hold no send back); log requests are
              // kept waiting far beyond any bound of the exit.
              tools::CollectorOptions options;
              options.keepAliveSeconds = 1;
              options.logAnswer.delay = std::chrono::hours(1);
              tools::DevCollector silent(options);
              if (!silent.start()) return 20;
              // The exit's flush bound, shortened: nothing can arrive before it passes. (The
              // cancel bound stays: a cut-off request ends within about 50 ms, far inside it.)
              detail::waits().exitFlush = std::chrono::milliseconds(200);
              const int rc = applicationRun(silent.port());
              // The run did send: its request was cut off, not left unsent.
              if (!silent.waitForRequests("/v2/log", 1, 30s)) return 21;
              silent.stop();
              return rc;
            }),
            0);
  ASSERT_TRUE(savedFilesExist());

  const std::vector<std::string> delivered = nextRunDelivers();
  EXPECT_TRUE(contains(delivered, "first"));
  EXPECT_TRUE(contains(delivered, "third"));
}

TEST_F(TerminateTest, WithALiveCollectorEverythingGoesAndNothingIsSaved) {
  ASSERT_EQ(runInChild([] {
              LoopbackServer server;
              const int rc = applicationRun(server.port());
              return rc != 0 ? rc : contains(bodiesAt(server), "third") ? 0 : 30;
            }),
            0);
  EXPECT_FALSE(savedFilesExist());
}

TEST_F(TerminateTest, BeforeInitialisationItDoesNothing) {
  ZEPLog::applicationWillTerminate();
  EXPECT_TRUE(fs::is_empty(dataDir.path()));
}

}  // namespace
}  // namespace zeplog::test
