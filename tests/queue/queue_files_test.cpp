#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/files.hpp"
#include "queue/block_queue.hpp"
#include "queue/event_archive.hpp"
#include "support/test_env.hpp"

namespace zeplog {
namespace {

namespace fs = std::filesystem;

// An event whose body names it; its fields carry the same tag as text.
VelaEventPtr ev(const std::string& tag) {
  auto fields = std::make_shared<Fields>();
  fields->set("tag", tag);
  return std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "src", Bytes(tag), 1, Text(),
                                     fields, "0");
}

std::string tagOf(const VelaEventPtr& e) { return e->body() ? e->body()->data : "<none>"; }

std::string errorRateOf(const VelaEventPtr& e) {
  if (!e->fields()) return "<no fields>";
  const FieldValue* v = e->fields()->find("errorRate");
  if (!v) return "<absent>";
  if (const auto* t = std::get_if<std::string>(v)) return *t;
  return "<bytes>";
}

std::vector<VelaEventPtr> drainMain(kstVelaBlockQueue& q) {
  std::vector<VelaEventPtr> out;
  for (std::int32_t n = q.queueCount(); n > 0; --n) out.push_back(q.dequeue());
  return out;
}

std::vector<std::string> tags(const std::vector<VelaEventPtr>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(tagOf(e));
  return out;
}

std::vector<VelaEventPtr> readArchive(const std::string& path, std::string_view root) {
  std::string error;
  auto data = detail::readWholeFile(path, &error);
  EXPECT_TRUE(data) << error;
  std::vector<VelaEventPtr> events;
  if (data) {
    EXPECT_TRUE(detail::decodeEventArchive(*data, root, events, error)) << error;
  }
  return events;
}

void writeRaw(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readRaw(const std::string& path) { return detail::readWholeFile(path).value_or(""); }

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class QueueFiles : public test::LibraryTest {
 protected:
  std::string mainPath = kstVelaBlockQueue::dataFilePath();
  std::string failedPath = kstVelaBlockQueue::fileFilePath();

  // Saves the given events through a queue of their own, as a background phase would.
  void saveFiles(const std::vector<std::string>& main, const std::vector<std::string>& failed) {
    kstVelaBlockQueue q;
    for (const auto& t : main) q.enqueue(ev(t));
    for (const auto& t : failed) q.enqueueFile(ev(t));
    q.saveToFile();
  }
};

TEST_F(QueueFiles, EmptyQueuesWriteNothingAndLeaveEarlierFilesAlone) {
  kstVelaBlockQueue q;
  q.saveToFile();
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_FALSE(fs::exists(failedPath));

  saveFiles({"a"}, {"b"});
  const std::string mainBefore = readRaw(mainPath);
  const std::string failedBefore = readRaw(failedPath);
  q.saveToFile();
  EXPECT_EQ(readRaw(mainPath), mainBefore);
  EXPECT_EQ(readRaw(failedPath), failedBefore);
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(QueueFiles, BackgroundThenForegroundPutsEachQueueBackInOrder) {
  kstVelaBlockQueue q;
  for (const char* t : {"1", "2", "3", "4", "5"}) q.enqueue(ev(t));
  q.enqueueFile(ev("f1"));
  q.enqueueFile(ev("f2"));
  q.saveToFile();

  EXPECT_EQ(q.queueCount(), 0);
  EXPECT_EQ(q.fileQueueCount(), 0);
  for (const std::string& path : {mainPath, failedPath}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
  EXPECT_EQ(directoryEntries(dataDir.path()).size(), 2u);  // no temporary left behind
  EXPECT_EQ(tags(readArchive(failedPath, "fileArray")), (std::vector<std::string>{"f1", "f2"}));

  q.FileToMemory();
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_FALSE(fs::exists(failedPath));
  // Failed events go back to the failed-send queue: they wait for the next process start.
  EXPECT_EQ(q.fileQueueCount(), 2);
  auto back = drainMain(q);
  EXPECT_EQ(tags(back), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(errorRateOf(back[0]), "<absent>");
  EXPECT_TRUE(console.lines().empty());
}

// The crash-time save after a background save of the same run adds to the files: what the
// first one saved is neither lost nor doubled.
TEST_F(QueueFiles, ASaveThatKeepsTheEarlierOneAddsToItInOrder) {
  kstVelaBlockQueue q;
  q.enqueue(ev("1"));
  q.enqueueFile(ev("f1"));
  q.saveToFile();
  q.enqueue(ev("2"));
  q.enqueueFile(ev("f2"));
  q.saveToFile(kstVelaBlockQueue::EarlierSave::kKeep);
  EXPECT_EQ(tags(readArchive(mainPath, "logArray")), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(tags(readArchive(failedPath, "fileArray")), (std::vector<std::string>{"f1", "f2"}));
}

TEST_F(QueueFiles, EventsQueuedInTheBackgroundComeFirstAndAFullRestoreLeaves1999) {
  kstVelaBlockQueue q;
  for (int i = 0; i < 1500; ++i) q.enqueue(ev("saved" + std::to_string(i)));
  q.saveToFile();
  for (int i = 0; i < 600; ++i) q.enqueue(ev("new" + std::to_string(i)));
  q.FileToMemory();

  auto all = tags(drainMain(q));
  ASSERT_EQ(all.size(), 1999u);  // 2100 combined, heads removed while 2000 or more
  EXPECT_EQ(all.front(), "new101");
  EXPECT_EQ(all[498], "new599");
  EXPECT_EQ(all[499], "saved0");
  EXPECT_EQ(all.back(), "saved1499");
}

TEST_F(QueueFiles, ANewProcessResendsFailedEventsAndCountsEachRestart) {
  saveFiles({"A", "B"}, {"C"});

  kstVelaBlockQueue second;
  second.loadFromFile();
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_FALSE(fs::exists(failedPath));
  EXPECT_EQ(second.fileQueueCount(), 0);
  auto restored = drainMain(second);
  ASSERT_EQ(tags(restored), (std::vector<std::string>{"A", "B", "C"}));
  for (const auto& e : restored) EXPECT_EQ(errorRateOf(e), "1") << tagOf(e);

  // C fails again, is saved with its count and comes back at the next start.
  second.enqueueFile(restored[2]);
  second.saveToFile();
  kstVelaBlockQueue third;
  third.loadFromFile();
  auto again = drainMain(third);
  ASSERT_EQ(tags(again), std::vector<std::string>{"C"});
  EXPECT_EQ(errorRateOf(again[0]), "2");
}

// In a child process whose view of the data directory is a read-only mount: three starts
// find the saved files and cannot delete them. Each leaves the events in the file and queues
// none of them (they would otherwise be sent again at every start). Exit code: the events
// the three starts queued in all, 100 when the mount could not be made, 101 when a start
// did not say why it left a file.
int eventsQueuedByReadOnlyStarts(const std::string& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) ||
        ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr))
      ::_exit(100);
    test::ConsoleCapture console;
    int queued = 0;
    for (int start = 0; start < 3; ++start) {
      kstVelaBlockQueue q;
      q.loadFromFile();
      queued += q.queueCount();
    }
    const bool said = console.count("cannot delete") == 6 &&
                      console.count("[loadFromFile] fileArray: cannot delete") == 3;
    ::_exit(said ? queued : 101);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(QueueFiles, AFileThatCannotBeClaimedIsLeftWithItsEventsAndRestoredOnceWhenItCanBe) {
  saveFiles({"A", "B"}, {"C"});
  const int queued = eventsQueuedByReadOnlyStarts(dataDir.path());
  if (queued == 100) GTEST_SKIP() << "no mount namespace here for a read-only data directory";
  EXPECT_EQ(queued, 0);

  kstVelaBlockQueue writable;
  writable.loadFromFile();
  EXPECT_EQ(tags(drainMain(writable)), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_FALSE(fs::exists(failedPath));
}

TEST_F(QueueFiles, ResendCountReadsTheLeadingIntegerOfAnyValueAndStopsAtTheTop) {
  saveFiles({}, {"f"});
  kstVelaBlockQueue q;
  auto withRate = [&](const std::string& tag, FieldValue rate) {
    auto e = ev(tag);
    e->fields()->set("errorRate", std::move(rate));
    q.enqueue(e);
  };
  withRate("digits-then-text", std::string("7abc"));
  withRate("no-digits", std::string("x"));
  withRate("negative", std::string(" -5"));
  withRate("bytes", Bytes("41"));
  withRate("top", std::to_string(INT_MAX));
  q.enqueue(std::make_shared<VelaEvent>());  // no fields: left as it is
  q.loadFromFile();

  auto all = drainMain(q);
  ASSERT_EQ(all.size(), 7u);
  EXPECT_EQ(errorRateOf(all[0]), "8");
  EXPECT_EQ(errorRateOf(all[1]), "1");
  EXPECT_EQ(errorRateOf(all[2]), "-4");
  EXPECT_EQ(errorRateOf(all[3]), "42");
  EXPECT_EQ(errorRateOf(all[4]), std::to_string(INT_MAX));
  EXPECT_EQ(all[5]->fields(), nullptr);
  EXPECT_EQ(errorRateOf(all[6]), "1");
}

TEST_F(QueueFiles, AStartWithOnlyTheMainFileRaisesNoCount) {
  saveFiles({"A"}, {});
  kstVelaBlockQueue q;
  q.loadFromFile();
  auto all = drainMain(q);
  ASSERT_EQ(tags(all), std::vector<std::string>{"A"});
  EXPECT_EQ(errorRateOf(all[0]), "<absent>");
}

// ---- Damaged files: each is dropped once with its line, and the other file still counts ----

enum class Damage { Corrupt, Truncated, Empty, WrongVersion, WrongRoot };

std::string damaged(Damage d, const std::string& good, const std::string& otherRootFile) {
  std::string bad = good;
  switch (d) {
    case Damage::Corrupt:
      bad[bad.size() / 2] ^= 0x20;
      break;
    case Damage::Truncated:
      bad.resize(bad.size() - 7);
      break;
    case Damage::Empty:
      bad.clear();
      break;
    case Damage::WrongVersion:
      bad[8] = 9;
      break;
    case Damage::WrongRoot:
      bad = otherRootFile;
      break;
  }
  return bad;
}

const char* expectedReason(Damage d) {
  switch (d) {
    case Damage::Corrupt:
      return "checksum mismatch";
    case Damage::Truncated:
      return "truncated";
    case Damage::Empty:
      return "empty file";
    case Damage::WrongVersion:
      return "unsupported archive version 9";
    case Damage::WrongRoot:
      return "root key";
  }
  return "";
}

std::string damageName(const ::testing::TestParamInfo<Damage>& info) {
  static const char* const names[] = {"Corrupt", "Truncated", "Empty", "WrongVersion", "WrongRoot"};
  return names[static_cast<int>(info.param)];
}

class DamagedQueueFile : public QueueFiles, public ::testing::WithParamInterface<Damage> {
 protected:
  // Writes good files for main "M" and failed "F", then damages one of them.
  void prepare(bool damageMain) {
    saveFiles({"M"}, {"F"});
    const std::string mainGood = readRaw(mainPath);
    const std::string failedGood = readRaw(failedPath);
    if (damageMain) {
      writeRaw(mainPath, damaged(GetParam(), mainGood, failedGood));
    } else {
      writeRaw(failedPath, damaged(GetParam(), failedGood, mainGood));
    }
  }
  int linesWith(const std::string& prefix) {
    int n = 0;
    for (const auto& l : console.lines()) {
      if (l.rfind(prefix, 0) == 0) {
        ++n;
        EXPECT_NE(l.find(expectedReason(GetParam())), std::string::npos) << l;
      }
    }
    return n;
  }
};

TEST_P(DamagedQueueFile, ForegroundDropsABadMainFileOnceAndRestoresTheFailedFile) {
  prepare(true);
  kstVelaBlockQueue q;
  q.enqueue(ev("kept"));
  q.FileToMemory();
  EXPECT_EQ(linesWith("[FileToMemory] logArray : "), 1);
  EXPECT_EQ(console.lines().size(), 1u);
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_FALSE(fs::exists(failedPath));
  EXPECT_EQ(q.fileQueueCount(), 1);
  q.FileToMemory();  // the bad file is gone: nothing more to say
  EXPECT_EQ(console.lines().size(), 1u);
  EXPECT_EQ(tags(drainMain(q)), std::vector<std::string>{"kept"});
}

TEST_P(DamagedQueueFile, ForegroundDropsABadFailedFileAndRestoresTheMainFile) {
  prepare(false);
  kstVelaBlockQueue q;
  q.FileToMemory();
  EXPECT_EQ(linesWith("[FileToMemory] fileArray: "), 1);
  EXPECT_EQ(console.lines().size(), 1u);
  EXPECT_FALSE(fs::exists(failedPath));
  EXPECT_EQ(q.fileQueueCount(), 0);
  EXPECT_EQ(tags(drainMain(q)), std::vector<std::string>{"M"});
}

TEST_P(DamagedQueueFile, StartDropsEitherBadFileWithItsLine) {
  for (bool damageMain : {true, false}) {
    console.clear();
    prepare(damageMain);
    kstVelaBlockQueue q;
    q.loadFromFile();
    EXPECT_EQ(linesWith(damageMain ? "[loadFromFile] logArray: " : "[loadFromFile] fileArray: "),
              1);
    EXPECT_EQ(console.lines().size(), 1u);
    EXPECT_FALSE(fs::exists(mainPath));
    EXPECT_FALSE(fs::exists(failedPath));
    auto all = drainMain(q);
    // The good file's events are there; a count is raised only after the failed file was read.
    ASSERT_EQ(tags(all), std::vector<std::string>{damageMain ? "F" : "M"});
    EXPECT_EQ(errorRateOf(all[0]), damageMain ? "1" : "<absent>");
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedQueueFile,
                         ::testing::Values(Damage::Corrupt, Damage::Truncated, Damage::Empty,
                                           Damage::WrongVersion, Damage::WrongRoot),
                         damageName);

TEST_F(QueueFiles, AFifoInAFilesPlaceIsDroppedWithoutWaitingForAWriter) {
  ASSERT_EQ(::mkfifo(mainPath.c_str(), 0600), 0);
  saveFiles({}, {"F"});
  kstVelaBlockQueue q;
  q.FileToMemory();  // would wait forever if the FIFO were opened for a blocking read
  EXPECT_EQ(console.count("[FileToMemory] logArray : "), 1);
  EXPECT_TRUE(console.contains("not a regular file"));
  EXPECT_FALSE(fs::exists(mainPath));
  EXPECT_EQ(q.fileQueueCount(), 1);
}

// ---- Saves that cannot complete keep the queue ----------------------------------------------

TEST_F(QueueFiles, ADataDirectoryThatCannotBeWrittenKeepsBothQueues) {
  // A regular file where the directory should be: mkdir fails even for root.
  const std::string blocker = dataDir.path() + "/not-a-directory";
  writeRaw(blocker, "x");
  detail::setDataDirectoryOverride(blocker + "/zeplog");

  kstVelaBlockQueue q;
  for (const char* t : {"1", "2", "3"}) q.enqueue(ev(t));
  q.enqueueFile(ev("f"));
  q.saveToFile();
  EXPECT_EQ(console.count("[saveToFile] logArray : "), 1);
  EXPECT_EQ(console.count("[saveToFile] fileArray : "), 1);
  EXPECT_EQ(console.count("stay in the queue"), 2);
  EXPECT_EQ(q.queueCount(), 3);
  EXPECT_EQ(q.fileQueueCount(), 1);

  q.enqueue(ev("4"));  // queued after the failed save: behind the kept events
  detail::setDataDirectoryOverride(dataDir.path());
  q.saveToFile();
  EXPECT_EQ(tags(readArchive(kstVelaBlockQueue::dataFilePath(), "logArray")),
            (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(tags(readArchive(kstVelaBlockQueue::fileFilePath(), "fileArray")),
            std::vector<std::string>{"f"});
}

TEST_F(QueueFiles, AWriteThatStopsPartwayKeepsTheQueueAndThePreviousFile) {
  saveFiles({"previous"}, {});
  const std::string previous = readRaw(mainPath);

  kstVelaBlockQueue q;
  for (int i = 0; i < 200; ++i) q.enqueue(ev(std::string(1000, 'x') + std::to_string(i)));
  // The file size limit cuts the write off after a few kilobytes.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 8192;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  q.saveToFile();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);

  EXPECT_EQ(console.count("[saveToFile] logArray : "), 1);
  EXPECT_EQ(q.queueCount(), 200);
  EXPECT_EQ(readRaw(mainPath), previous);
  EXPECT_EQ(directoryEntries(dataDir.path()), std::vector<std::string>{"Vela2SavedLog"});
}

TEST_F(QueueFiles, SavingWhileEventsFlowNeitherLosesNorRepeatsAnEvent) {
  constexpr int kEvents = 1500;
  kstVelaBlockQueue q;
  std::atomic<bool> produced{false};
  std::thread producer([&] {
    for (int i = 0; i < kEvents; ++i) q.enqueue(ev(std::to_string(i)));
    produced = true;
  });
  std::vector<std::string> taken;
  std::thread consumer([&] {
    for (;;) {
      VelaEventPtr e = q.dequeue();
      if (tagOf(e) == "end") return;
      taken.push_back(tagOf(e));
    }
  });
  // Background and foreground phases while the producer and the consumer run.
  int rounds = 0;
  while (!produced || rounds < 20) {
    q.saveToFile();
    q.FileToMemory();
    ++rounds;
  }
  producer.join();
  q.enqueue(ev("end"));
  consumer.join();

  EXPECT_FALSE(fs::exists(mainPath));
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kEvents));
  std::set<std::string> unique(taken.begin(), taken.end());
  EXPECT_EQ(unique.size(), taken.size());
}

TEST_F(QueueFiles, AStartRemovesTemporariesOfSavesThatWereKilled) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = "Vela2SavedLog.tmp-" + std::to_string(child) + "-17";
  const std::string alive = "fileVela2SavedLog.tmp-" + std::to_string(::getpid()) + "-18";
  writeRaw(dataDir.path() + "/" + dead, "partial");
  writeRaw(dataDir.path() + "/" + alive, "being written");
  writeRaw(dataDir.path() + "/unrelated.tmp-1-1", "not ours");

  kstVelaBlockQueue q;
  q.loadFromFile();
  auto left = directoryEntries(dataDir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{alive, "unrelated.tmp-1-1"}));
}

}  // namespace
}  // namespace zeplog
