// The queue files across real processes: restarts and saves killed part way.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/files.hpp"
#include "common/waits.hpp"
#include "delivery/send_thread.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "queue/event_archive.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUrl = "http://127.0.0.1:8765";

bool writeAll(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string readAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// Runs body in a fresh child process (this test process never initialises the library, so
// the child starts as a new run would) and returns what the body reported.
std::string inChild(const std::function<void(std::ostream& report)>& body) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::ostringstream report;
    body(report);
    const std::string text = report.str();
    ::_exit(writeAll(fds[1], text.data(), text.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string report = readAll(fds[0]);
  ::close(fds[0]);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return report;
}

std::string bodyOf(const VelaEventPtr& e) { return e->body() ? e->body()->data : "<none>"; }

std::string errorRateOf(const VelaEventPtr& e) {
  const FieldValue* v = e->fields() ? e->fields()->find("errorRate") : nullptr;
  if (!v) return "-";
  return std::holds_alternative<std::string>(*v) ? std::get<std::string>(*v) : "<bytes>";
}

// "body:errorRate" of each event in the main queue, head first, taking them out.
void reportMainQueue(std::ostream& report) {
  kstVelaBlockQueue* q = detail::blockQueue();
  for (std::int32_t n = q->queueCount(); n > 0; --n) {
    VelaEventPtr e = q->dequeue();
    report << bodyOf(e) << ':' << errorRateOf(e) << ' ';
  }
}

// Keeps only the entries of a report whose body is one of the test's own events.
std::string ownEvents(const std::string& report) {
  std::istringstream in(report);
  std::string item, out;
  while (in >> item) {
    if (item[0] >= 'A' && item[0] <= 'Z' && item[1] == ':') out += item + " ";
  }
  return out;
}

class QueueFilesProcess : public test::LibraryTest {};

TEST_F(QueueFilesProcess, HooksBeforeTheFirstInitialisationDoNothing) {
  ZEPLog::applicationDidEnterBackground();
  ZEPLog::applicationWillEnterForeground();
  EXPECT_TRUE(fs::is_empty(dataDir.path()));
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(QueueFilesProcess, BackgroundAndForegroundThroughTheFacade) {
  std::string report = inChild([](std::ostream& report) {
    if (!ZEPLog::init(kUrl, "app", "1.0", SyncStart::On)) report << "init refused | ";
    ZEPLog::info("", "X");
    ZEPLog::applicationDidEnterBackground();
    report << "saved " << ZEPLog::queueSize() << " "
           << fs::exists(kstVelaBlockQueue::dataFilePath()) << " | ";
    ZEPLog::info("", "Y");
    ZEPLog::applicationWillEnterForeground();
    report << fs::exists(kstVelaBlockQueue::dataFilePath()) << " | ";
    reportMainQueue(report);
  });
  EXPECT_EQ(report.substr(0, report.find('|') + 1), "saved 0 1 |");
  EXPECT_NE(report.find("| 0 |"), std::string::npos) << report;
  EXPECT_EQ(ownEvents(report), "Y:- X:- ") << report;
}

TEST_F(QueueFilesProcess, ARestartResendsFailedEventsOnceMoreWithTheirCount) {
  // First run: A and B wait in the main queue, C failed to send; then the application goes
  // to the background and the process ends.
  inChild([](std::ostream& report) {
    if (!ZEPLog::init(kUrl, "app", "1.0", SyncStart::On)) report << "init refused | ";
    ZEPLog::info("", "A");
    ZEPLog::info("", "B");
    auto fields = std::make_shared<Fields>();
    fields->set("logLevel", std::string("INFO"));
    detail::blockQueue()->enqueueFile(std::make_shared<VelaEvent>(
        "app", "1.0", "vela2-log", "mac-log", Bytes("C"), 1, Text(), fields, "0"));
    ZEPLog::applicationDidEnterBackground();
  });
  ASSERT_TRUE(fs::exists(kstVelaBlockQueue::dataFilePath()));
  ASSERT_TRUE(fs::exists(kstVelaBlockQueue::fileFilePath()));

  // Second run: everything comes back into the main queue, counted once; C fails again.
  std::string second = inChild([](std::ostream& report) {
    if (!ZEPLog::init(kUrl, "app", "1.0", SyncStart::On)) report << "init refused | ";
    report << fs::exists(kstVelaBlockQueue::dataFilePath())
           << fs::exists(kstVelaBlockQueue::fileFilePath()) << ' ';
    kstVelaBlockQueue* q = detail::blockQueue();
    std::vector<VelaEventPtr> all;
    for (std::int32_t n = q->queueCount(); n > 0; --n) all.push_back(q->dequeue());
    for (const auto& e : all) {
      report << bodyOf(e) << ':' << errorRateOf(e) << ' ';
      if (bodyOf(e) == "C") q->enqueueFile(e);
    }
    ZEPLog::applicationDidEnterBackground();
  });
  EXPECT_EQ(second.substr(0, 3), "00 ") << second;  // both files deleted by the restore
  EXPECT_EQ(ownEvents(second), "A:1 B:1 C:1 ") << second;

  // Third run: C is back with its second count.
  std::string third = inChild([](std::ostream& report) {
    if (!ZEPLog::init(kUrl, "app", "1.0", SyncStart::On)) report << "init refused | ";
    reportMainQueue(report);
  });
  EXPECT_EQ(ownEvents(third), "C:2 ") << third;
  EXPECT_FALSE(fs::exists(kstVelaBlockQueue::fileFilePath()));
}

TEST_F(QueueFilesProcess, ARestoredEventOfAProjectThisRunNeverInitialisedIsDropped) {
  // An earlier run of another project left an event in the main queue file; this project's
  // own failed event waits in the failed-send file.
  {
    kstVelaBlockQueue earlier;
    earlier.enqueue(std::make_shared<VelaEvent>("old-app", "1.0", "vela2-log", "mac-log",
                                                Bytes("from another project"), 1, Text(),
                                                std::make_shared<Fields>(), "0"));
    earlier.enqueueFile(std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "mac-log",
                                                    Bytes("resent"), 2, Text(),
                                                    std::make_shared<Fields>(), "0"));
    earlier.saveToFile();
  }
  std::string report = inChild([](std::ostream& report) {
    test::LoopbackServer server;
    detail::waits().sendCycleSleep = std::chrono::milliseconds(50);
    if (!ZEPLog::init("127.0.0.1", server.port(), 1, "app", "1.0", "user-1", CrashCapture::Off,
                      SyncStart::On, Text(), Text()))
      report << "init refused | ";
    ZEPLog::createLogSendThread();
    ZEPLog::startSendThread();
    // The foreign event is ahead of "resent" in the queue: once "resent" has arrived, the
    // send thread has dealt with both.
    for (std::size_t n = 1; server.waitForRequests(n); ++n) {
      if (server.requests()[n - 1].body.find("resent") != std::string::npos) break;
    }
    for (const auto& r : server.requests()) report << r.body << '\n';
  });
  EXPECT_NE(report.find("\"resent\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"errorRate\":\"1\""), std::string::npos) << report;
  EXPECT_EQ(report.find("from another project"), std::string::npos) << report;
  EXPECT_EQ(report.find("old-app"), std::string::npos) << report;
}

// ---- Crash safety ---------------------------------------------------------------------------

// Save number `generation` holds this many events, so a file can be matched to its save.
std::size_t eventsOf(std::uint64_t generation, bool failedQueue) {
  return failedQueue ? 300 - generation % 11 : 1000 - generation % 13;
}

VelaEventPtr crashTrialEvent(std::uint64_t generation, std::size_t index) {
  auto fields = std::make_shared<Fields>();
  fields->set("generation", std::to_string(generation));
  fields->set("index", std::to_string(index));
  fields->set("logLevel", Bytes("INFO"));
  std::string body = "event " + std::to_string(index) + " of save " + std::to_string(generation);
  body.resize(200, '.');
  return std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "mac-log", Bytes(body), 1, Text(),
                                     fields, "0");
}

// The child: saves ever new generations of both queues and reports each completed save.
[[noreturn]] void saveForever(std::uint64_t firstGeneration, int reportFd) {
  kstVelaBlockQueue q;
  for (std::uint64_t g = firstGeneration;; ++g) {
    for (std::size_t i = 0; i < eventsOf(g, false); ++i) q.enqueue(crashTrialEvent(g, i));
    for (std::size_t i = 0; i < eventsOf(g, true); ++i) q.enqueueFile(crashTrialEvent(g, i));
    q.saveToFile();
    if (!writeAll(reportFd, &g, sizeof g)) ::_exit(4);
  }
}

// The generation whose events fill the file, after checking that they are exactly that save's
// events in order; 0 for a file that holds anything else.
std::uint64_t generationIn(const std::string& path, std::string_view root, bool failedQueue) {
  std::string error;
  auto data = detail::readWholeFile(path, &error);
  std::vector<VelaEventPtr> events;
  if (!data || !detail::decodeEventArchive(*data, root, events, error)) {
    ADD_FAILURE() << path << ": " << error;
    return 0;
  }
  if (events.empty()) return 0;
  const std::uint64_t g =
      std::stoull(std::get<std::string>(*events[0]->fields()->find("generation")));
  if (events.size() != eventsOf(g, failedQueue)) return 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    VelaEventPtr expected = crashTrialEvent(g, i);
    if (events[i]->body() != expected->body() ||
        *events[i]->fields()->find("generation") != *expected->fields()->find("generation")) {
      return 0;
    }
  }
  return g;
}

TEST_F(QueueFilesProcess, ASaveKilledAtAnyMomentLeavesThePreviousOrTheNewFileWhole) {
  // A few trials in the everyday suite; the `slow` run (tests/CMakeLists.txt) makes 300.
  int trials = 20;
  if (const char* n = std::getenv("ZEPLOG_CRASH_TRIALS")) trials = std::atoi(n);
  std::mt19937 random(20261207);
  // Kill moments spread over the first few saves of a child (each takes a few milliseconds).
  std::uniform_int_distribution<int> delayMicros(0, 6000);
  int keptPrevious = 0, keptNew = 0, leftTemporary = 0;
  const std::string mainPath = kstVelaBlockQueue::dataFilePath();
  const std::string failedPath = kstVelaBlockQueue::fileFilePath();

  for (int trial = 0; trial < trials; ++trial) {
    const std::uint64_t first = static_cast<std::uint64_t>(trial + 1) * 1000000;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      saveForever(first, fds[1]);
    }
    ::close(fds[1]);
    // Wait for the first complete save, so there is always a previous file to protect.
    std::uint64_t last = 0;
    ASSERT_EQ(::read(fds[0], &last, sizeof last), static_cast<ssize_t>(sizeof last));
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::string reports = readAll(fds[0]);
    ::close(fds[0]);
    for (std::size_t at = 0; at + sizeof last <= reports.size(); at += sizeof last) {
      std::memcpy(&last, reports.data() + at, sizeof last);
    }

    for (const auto& dirEntry : fs::directory_iterator(dataDir.path())) {
      if (dirEntry.path().filename().string().find(".tmp-") != std::string::npos) {
        ++leftTemporary;
      }
    }
    const std::uint64_t inMain = generationIn(mainPath, "logArray", false);
    const std::uint64_t inFailed = generationIn(failedPath, "fileArray", true);
    ASSERT_TRUE(inMain == last || inMain == last + 1) << trial << ": " << inMain << " " << last;
    ASSERT_TRUE(inFailed == last || inFailed == last + 1) << trial << ": " << inFailed;
    // The main file is replaced before the failed one: never a newer failed than main file.
    ASSERT_GE(inMain, inFailed) << trial;
    (inMain == last ? keptPrevious : keptNew) += 1;

    // A new run restores exactly those two saves and leaves the directory clean.
    kstVelaBlockQueue restored;
    restored.loadFromFile();
    ASSERT_EQ(static_cast<std::size_t>(restored.queueCount()),
              eventsOf(inMain, false) + eventsOf(inFailed, true))
        << trial;
    ASSERT_TRUE(fs::is_empty(dataDir.path())) << trial;
  }
  std::cout << trials << " kills: previous main file kept " << keptPrevious
            << ", new main file complete " << keptNew << ", killed while writing " << leftTemporary
            << " (temporary removed by the next start)\n";
  RecordProperty("kept_previous", keptPrevious);
  RecordProperty("kept_new", keptNew);
  RecordProperty("killed_while_writing", leftTemporary);
  EXPECT_TRUE(console.lines().empty());
}

}  // namespace
}  // namespace zeplog
