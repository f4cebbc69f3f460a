// The spool's files: what survives a reopen, a torn tail, the bounds, and a second process.
#include "queue/spool.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/test_env.hpp"

namespace zeplog::detail {
namespace {

namespace fs = std::filesystem;

SpoolRecord record(const std::string& body, std::int64_t at = 0) {
  SpoolRecord r;
  r.spooledAt = at ? at : std::time(nullptr);
  r.events = static_cast<std::uint32_t>(body.size());
  r.url = "http://127.0.0.1:1/v2/log";
  r.headers = "X-A: 1\nX-B: 2";
  r.handleId = "h";
  r.body = body;
  return r;
}

std::unique_ptr<Spool> openIn(const std::string& dir, Spool::Limits limits = {}) {
  std::string error;
  std::unique_ptr<Spool> s = Spool::open(dir, limits, &error);
  EXPECT_TRUE(s) << error;
  return s;
}

// The bodies in the spool, oldest first, popping them.
std::vector<std::string> drain(Spool& s) {
  std::vector<std::string> out;
  SpoolDrop none;
  while (auto r = s.front(none)) {
    out.push_back(r->body);
    s.pop();
  }
  return out;
}

void append(Spool& s, const std::vector<std::string>& bodies, SpoolDrop* dropped = nullptr) {
  SpoolDrop d;
  for (const auto& b : bodies) ASSERT_TRUE(s.append(record(b), d, nullptr));
  if (dropped) *dropped = d;
}

// The bytes of every file in the directory.
std::uint64_t directoryBytes(const std::string& dir) {
  std::uint64_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

std::vector<fs::path> segments(const std::string& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".seg") out.push_back(e.path());
  return out;
}

TEST(Spool, KeepsWhatWasNotPoppedAcrossReopensWithItsRecordWhole) {
  test::TempDir dir;
  {
    auto s = openIn(dir.path());
    append(*s, {"[1]", "[2]", "[3]"});
    SpoolDrop none;
    auto first = s->front(none);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->url, "http://127.0.0.1:1/v2/log");
    EXPECT_EQ(first->headers, "X-A: 1\nX-B: 2");
    EXPECT_EQ(first->handleId, "h");
    EXPECT_EQ(first->events, 3u);
    s->pop();
    EXPECT_EQ(s->backlog(), 2u);
  }
  auto s = openIn(dir.path());
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"[2]", "[3]"}));
  // Everything left: no segment file stays behind, and the files are the owner's alone.
  EXPECT_TRUE(segments(dir.path() + "/spool").empty());
  append(*s, {"[4]"});
  for (const auto& p : segments(dir.path() + "/spool"))
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(Spool, ATornLastRecordIsCutOffAtEveryLengthAndTheRestIsKept) {
  const std::size_t last = Spool::encode(record("[3,3,3]")).size();
  for (std::size_t cut = 0; cut < last; ++cut) {
    test::TempDir dir;
    append(*openIn(dir.path()), {"[1]", "[2]", "[3,3,3]"});
    auto files = segments(dir.path() + "/spool");
    ASSERT_EQ(files.size(), 1u);
    const auto whole = fs::file_size(files[0]);
    fs::resize_file(files[0], whole - last + cut);
    auto s = openIn(dir.path());
    EXPECT_EQ(drain(*s), (std::vector<std::string>{"[1]", "[2]"})) << "cut at " << cut;
  }
}

TEST(Spool, BoundsDropTheOldestAndCountTheirEvents) {
  test::TempDir dir;
  const std::uint64_t size = Spool::encode(record("[1]")).size();
  auto s = openIn(dir.path(), {3 * size, std::chrono::hours(1)});
  SpoolDrop dropped;
  append(*s, {"[1]", "[2]", "[3]", "[4]", "[5]"}, &dropped);
  EXPECT_EQ(dropped.records, 2u);
  EXPECT_EQ(dropped.events, 6u);  // three characters each
  EXPECT_EQ(s->backlogBytes(), 3 * size);
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"[3]", "[4]", "[5]"}));
  // Past the age bound: a record spooled two hours ago goes unsent when its turn comes.
  SpoolDrop aged;
  ASSERT_TRUE(s->append(record("[old]", std::time(nullptr) - 7200), aged, nullptr));
  ASSERT_TRUE(s->append(record("[new]"), aged, nullptr));
  ASSERT_TRUE(s->front(aged));
  EXPECT_EQ(aged.events, 5u);
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"[new]"}));
}

TEST(Spool, ASecondProcessGetsItsOwnSlotAndALaterOneAdoptsIt) {
  test::TempDir dir;
  auto first = openIn(dir.path());
  append(*first, {"[mine]"});
  // Another process of the same program, while the first holds its spool.
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto s = Spool::open(dir.path(), {}, &error);
    SpoolDrop none;
    const bool own = s && s->directory() == dir.path() + "/spool.1" && s->backlog() == 0 &&
                     s->append(record("[child]"), none, nullptr);
    _exit(own ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  first.reset();
  // The next run takes the first slot and adopts what the child left in its own.
  auto next = openIn(dir.path());
  EXPECT_EQ(drain(*next), (std::vector<std::string>{"[mine]", "[child]"}));
}

// The byte bound is a bound on disk: through a long outage of one destination, alone or
// while another destination takes every record of its own, the directory never holds more
// than maxBytes and one segment, and the spool still keeps most of what the bound allows.
// The slack docs/api.md states: one segment, a sixteenth of the bound, 64 KiB to 8 MiB.
static_assert(Spool::segmentBytesFor(1'000'000) == 65'536);
static_assert(Spool::segmentBytesFor(64ull << 20) == 4u << 20);
static_assert(Spool::segmentBytesFor(256ull << 20) == 8u << 20);

TEST(Spool, TheDirectoryStaysWithinTheBoundAndOneSegmentThroughAnOutage) {
  constexpr std::uint64_t kMax = 1'000'000;
  const std::uint64_t slack = Spool::segmentBytesFor(kMax);
  const std::string down = "http://127.0.0.1:2/v1/logs";
  for (const bool otherTakesItsOwn : {false, true}) {
    SCOPED_TRACE(otherTakesItsOwn ? "one of two destinations down" : "the only destination down");
    test::TempDir dir;
    auto s = openIn(dir.path(), {kMax, std::chrono::hours(1)});
    std::uint64_t most = 0;
    for (int i = 0; i < 3000; ++i) {
      SpoolRecord r = record(std::string(1000 + (i * 7919) % 20000, 'x'));  // 1 to 21 kB
      if (otherTakesItsOwn && i % 2 == 0) r.url = down;
      SpoolDrop dropped;
      ASSERT_TRUE(s->append(r, dropped, nullptr));
      if (otherTakesItsOwn) {
        SpoolDrop none;
        while (s->front("http://127.0.0.1:1/v2/log", none)) s->pop("http://127.0.0.1:1/v2/log");
      }
      most = std::max(most, directoryBytes(dir.path() + "/spool"));
    }
    EXPECT_LE(most, kMax + slack);
    EXPECT_GE(s->backlogBytes(), kMax / 3);
  }
}

// Segments made under a larger bound, mostly records that have left, are rewritten at an open
// with a lower one: the waiting records it can hold are kept, in order, within it on disk.
TEST(Spool, AnOpenWithALowerBoundKeepsTheWaitingRecordsItCanHold) {
  test::TempDir dir;
  std::vector<std::string> waiting;
  {
    auto s = openIn(dir.path());
    for (int i = 0; i < 100; ++i) append(*s, {std::to_string(i) + std::string(10'000, 'x')});
    for (int i = 0; i < 90; ++i) s->pop();
    for (int i = 90; i < 100; ++i) waiting.push_back(std::to_string(i) + std::string(10'000, 'x'));
  }
  constexpr std::uint64_t kMax = 200'000;
  auto s = openIn(dir.path(), {kMax, std::chrono::hours(1)});
  EXPECT_LE(directoryBytes(dir.path() + "/spool"), kMax + Spool::segmentBytesFor(kMax));
  EXPECT_EQ(s->droppedAtOpen().records, 0u);
  const std::vector<std::string> left = drain(*s);
  EXPECT_EQ(left.size(), waiting.size());
  EXPECT_TRUE(left == waiting);  // in order, each whole
}

// Segment numbers never wrap: a file named with a number the spool never makes is left alone,
// with a line that says so, and every record of the live segments is kept.
TEST(Spool, ASegmentNumberTooHighToFollowIsIgnoredAndNoLiveSegmentIsCut) {
  test::ConsoleCapture console;
  test::TempDir dir;
  append(*openIn(dir.path()), {"[1]", "[2]"});
  const std::string foreign = dir.path() + "/spool/ffffffffffffffff.seg";
  std::ofstream(foreign) << "not a record";
  append(*openIn(dir.path()), {"[3]"});
  auto s = openIn(dir.path());
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"[1]", "[2]", "[3]"}));
  EXPECT_EQ(fs::file_size(foreign), 12u);
  EXPECT_EQ(console.count("spool: ignored " + foreign + ": no segment is numbered this high"), 2);
}

}  // namespace
}  // namespace zeplog::detail
