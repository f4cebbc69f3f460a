// SnapshotCell: readers without a lock never meet a freed version, and a held version is
// freed only once its reader is done.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "common/snapshot_cell.hpp"

namespace zeplog::detail {
namespace {

// A version that knows whether it is still alive: a reader of a freed one sees the canary
// gone (and ASan reports the read).
struct Version {
  static constexpr std::uint64_t kAlive = 0x5eed5eed5eed5eedULL;
  explicit Version(int n) : n(n) {}
  ~Version() { canary = 0; }
  int n;
  std::uint64_t canary = kAlive;
};

TEST(SnapshotCell, AHeldVersionOutlivesItsReplacementUntilTheReaderIsDone) {
  SnapshotCell<Version> cell;
  cell.publish(std::make_unique<Version>(1));
  std::atomic<bool> holding{false}, release{false};
  int seen = 0;
  std::thread reader([&] {
    ASSERT_TRUE(cell.tryRead([&](const Version* v) {
      holding = true;
      while (!release.load()) std::this_thread::yield();
      seen = v->canary == Version::kAlive ? v->n : -1;
    }));
  });
  while (!holding.load()) std::this_thread::yield();
  cell.publish(std::make_unique<Version>(2));  // version 1 is held: kept
  cell.publish(std::make_unique<Version>(3));  // version 2 was held by nobody: freed
  EXPECT_EQ(cell.retiredCount(), 1u);
  release = true;
  reader.join();
  EXPECT_EQ(seen, 1);  // the reader saw its version whole to the end
  cell.publish(std::make_unique<Version>(4));
  EXPECT_EQ(cell.retiredCount(), 0u);
  ASSERT_TRUE(cell.tryRead([](const Version* v) { EXPECT_EQ(v->n, 4); }));
  // Reads do not nest: the inner one is refused rather than sharing the thread's slot.
  ASSERT_TRUE(cell.tryRead([&](const Version*) {
    EXPECT_FALSE(cell.tryRead([](const Version*) { ADD_FAILURE() << "nested read ran"; }));
  }));
}

// Readers on every core against a writer replacing the version as fast as it can: every
// read sees a whole version whose number never goes back (run under ASan and TSan).
TEST(SnapshotCell, ReadersRacingAWriterSeeWholeVersionsInOrder) {
  SnapshotCell<Version> cell;
  cell.publish(std::make_unique<Version>(0));
  constexpr int kVersions = 20000;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      while (!done.load()) {
        cell.tryRead([&](const Version* v) {
          if (v->canary != Version::kAlive || v->n < last) ++bad;
          last = v->n;
        });
      }
    });
  }
  std::mutex writers;  // the writers' lock
  for (int n = 1; n <= kVersions; ++n) {
    std::lock_guard<std::mutex> g(writers);
    cell.publish(std::make_unique<Version>(n));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  cell.publish(std::make_unique<Version>(kVersions + 1));
  EXPECT_EQ(cell.retiredCount(), 0u);
}

// A forked child has only the thread that forked: a version another thread of the parent
// was reading at the fork is freed by the child's next publish, and the forking thread reads
// on as before.
TEST(SnapshotCell, AForkedChildFreesWhatTheParentsOtherReadersHeld) {
  SnapshotCell<Version> cell;
  cell.publish(std::make_unique<Version>(1));
  std::atomic<bool> holding{false}, release{false};
  std::thread reader([&] {
    cell.tryRead([&](const Version*) {
      holding = true;
      while (!release.load()) std::this_thread::yield();
    });
  });
  while (!holding.load()) std::this_thread::yield();
  const pid_t pid = ::fork();
  if (pid == 0) {
    cell.publish(std::make_unique<Version>(2));
    int n = 0;
    const bool read = cell.tryRead([&](const Version* v) { n = v->n; });
    ::_exit(cell.retiredCount() == 0 && read && n == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  release = true;
  reader.join();
}

}  // namespace
}  // namespace zeplog::detail
