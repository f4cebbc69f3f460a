// The ordered dictionary's index under erase, bulk removal and bulk assignment: every key
// stays findable, and the work done grows linearly with the number of keys (counted through
// the hash and the value moves, never timed).
#include "zeplog/ordered_map.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace zeplog {
namespace {

// Counts every hash computed, so a test can tell linear from quadratic work.
struct CountingHash {
  static inline std::uint64_t calls = 0;
  std::uint64_t operator()(std::string_view key, std::uint64_t seed) const noexcept {
    ++calls;
    return detail::hashKeyBytes(key, seed);
  }
};

// Puts every key into one of four home slots, so probe runs are long and erase must move
// their members back correctly.
struct CrowdingHash {
  std::uint64_t operator()(std::string_view key, std::uint64_t) const noexcept {
    return key.empty() ? 0 : static_cast<unsigned char>(key.back()) % 4;
  }
};

// A value that counts how often it is moved.
struct Counted {
  static inline std::uint64_t moves = 0;
  int v = 0;
  Counted() = default;
  explicit Counted(int x) : v(x) {}
  Counted(const Counted&) = default;
  Counted& operator=(const Counted&) = default;
  Counted(Counted&& o) noexcept : v(o.v) { ++moves; }
  Counted& operator=(Counted&& o) noexcept {
    v = o.v;
    ++moves;
    return *this;
  }
  friend bool operator==(const Counted& a, const Counted& b) { return a.v == b.v; }
};

std::string key(int i) { return "key-" + std::to_string(i); }

TEST(OrderedMapIndexTest, MatchesAPlainListThroughRandomSetsAndErasesInCrowdedProbeRuns) {
  OrderedMap<int, CrowdingHash> map;
  std::vector<std::pair<std::string, int>> model;  // the same operations on a plain list
  std::mt19937 rng(7);
  for (int step = 0; step < 6000; ++step) {
    std::string k = key(static_cast<int>(rng() % 200));
    auto it =
        std::find_if(model.begin(), model.end(), [&](const auto& kv) { return kv.first == k; });
    if (rng() % 3 == 0) {
      ASSERT_EQ(map.erase(k), it != model.end()) << step;
      if (it != model.end()) model.erase(it);
    } else {
      map.set(k, step);
      if (it != model.end()) {
        it->second = step;
      } else {
        model.emplace_back(k, step);
      }
    }
    if (step % 97 == 0 || model.size() < 20) {
      ASSERT_EQ(map.size(), model.size()) << step;
      std::size_t i = 0;
      for (const auto& [mk, mv] : map) {
        ASSERT_EQ(mk, model[i].first) << step;
        ASSERT_EQ(mv, model[i].second) << step;
        ++i;
      }
      for (int j = 0; j < 200; ++j) {
        auto m = std::find_if(model.begin(), model.end(),
                              [&](const auto& kv) { return kv.first == key(j); });
        const int* found = map.find(key(j));
        ASSERT_EQ(found != nullptr, m != model.end()) << step << " " << key(j);
        if (found) {
          ASSERT_EQ(*found, m->second);
        }
      }
    }
  }
}

TEST(OrderedMapIndexTest, ErasingManyKeysOneByOneDoesNotRehashTheRest) {
  constexpr int n = 4000;
  OrderedMap<int, CountingHash> map;
  for (int i = 0; i < n; ++i) map.appendNew(key(i), i);
  std::vector<std::string> keys = map.keys();
  CountingHash::calls = 0;
  // From the front, from the back and from the middle.
  for (int i = 0; i < n / 2; i += 2) ASSERT_TRUE(map.erase(keys[static_cast<std::size_t>(i)]));
  for (int i = n - 1; i >= n / 2; i -= 2) ASSERT_TRUE(map.erase(keys[static_cast<std::size_t>(i)]));
  // One lookup per erase plus the few members of its probe run, never the whole map.
  EXPECT_LE(CountingHash::calls, 8u * n);
  ASSERT_EQ(map.size(), static_cast<std::size_t>(n / 2));
  for (int i = 0; i < n; ++i) {
    bool kept = i < n / 2 ? i % 2 == 1 : (n - 1 - i) % 2 == 1;
    ASSERT_EQ(map.contains(keys[static_cast<std::size_t>(i)]), kept) << i;
  }
}

TEST(OrderedMapIndexTest, RemovingAllButSomeKeysIsOnePass) {
  constexpr int n = 20000;
  OrderedMap<Counted, CountingHash> map;
  for (int i = 0; i < n; ++i) map.appendNew(key(i), Counted(i));
  CountingHash::calls = 0;
  Counted::moves = 0;
  std::size_t removed =
      map.eraseIf([](const std::string&, const Counted& c) { return c.v % 1000 != 0; });
  EXPECT_EQ(removed, static_cast<std::size_t>(n - n / 1000));
  EXPECT_LE(Counted::moves, static_cast<std::uint64_t>(n));
  EXPECT_LE(CountingHash::calls, static_cast<std::uint64_t>(n));
  EXPECT_EQ(map.keys(),
            (std::vector<std::string>{key(0),     key(1000),  key(2000),  key(3000),  key(4000),
                                      key(5000),  key(6000),  key(7000),  key(8000),  key(9000),
                                      key(10000), key(11000), key(12000), key(13000), key(14000),
                                      key(15000), key(16000), key(17000), key(18000), key(19000)}));
  EXPECT_EQ(map.find(key(5000))->v, 5000);
  EXPECT_EQ(map.find(key(5001)), nullptr);
  EXPECT_EQ(map.eraseIf([](const std::string&, const Counted&) { return true; }), 20u);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find(key(0)), nullptr);
}

// assignMoved and assignEntries leave what a run of set() calls would: a repeated key keeps its
// first place and takes its last value. Checked below and above the size from which maps are
// indexed.
TEST(OrderedMapIndexTest, AssigningEntriesWithRepeatedKeysKeepsFirstPlaceAndLastValue) {
  for (int n : {6, 40, 3000}) {
    std::vector<std::pair<std::string, int>> entries;
    OrderedMap<int> expected;
    for (int i = 0; i < n; ++i) {
      std::string k = key(i % 3 == 2 ? i / 2 : i);  // every third key repeats an earlier one
      entries.emplace_back(k, i);
      expected.set(k, i);
    }
    // From a range of entries moved in, and from a vector taken over as the storage.
    OrderedMap<int, CountingHash> map, taken;
    taken.assignEntries(std::vector<std::pair<std::string, int>>(entries), false);
    CountingHash::calls = 0;
    map.assignMoved(entries.begin(), entries.end(), false);
    EXPECT_LE(CountingHash::calls, static_cast<std::uint64_t>(n)) << n;  // one per entry
    ASSERT_EQ(map.size(), expected.size()) << n;
    ASSERT_EQ(taken.size(), expected.size()) << n;
    auto it = expected.begin();
    auto t = taken.begin();
    for (const auto& [k, v] : map) {
      EXPECT_EQ(k, it->first) << n;
      EXPECT_EQ(v, it->second) << n;
      EXPECT_EQ(t->first, it->first) << n;
      EXPECT_EQ(t->second, it->second) << n;
      ++it;
      ++t;
    }
    for (const auto& [k, v] : expected) {
      ASSERT_EQ(*map.find(k), v) << n << " " << k;
      ASSERT_EQ(*taken.find(k), v) << n << " " << k;
    }
    map.set("late", 1);  // the index built in bulk takes further keys
    EXPECT_EQ(*map.find("late"), 1);
  }
}

// Keys chosen so that the second word cancels the first under the hash with seed 0: they
// all share one hash there, and must not under the process's seed.
std::vector<std::string> collidingKeys(int n) {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  auto g = [](std::uint64_t x) {
    x *= k;
    return x ^ (x >> 29);
  };
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    std::uint64_t w1 = 0x3030303030303030ULL + static_cast<std::uint64_t>(i);
    std::uint64_t w2 = g((16 * k) ^ w1) ^ 0x1234567812345678ULL;
    std::string s(16, '\0');
    std::memcpy(s.data(), &w1, 8);
    std::memcpy(s.data() + 8, &w2, 8);
    keys.push_back(s);
  }
  return keys;
}

TEST(OrderedMapIndexTest, KeysCraftedToCollideWithoutTheSeedSpreadUnderIt) {
  std::vector<std::string> keys = collidingKeys(4000);
  std::set<std::uint64_t> unseeded, seeded;
  for (const std::string& s : keys) {
    unseeded.insert(detail::hashKeyBytes(s, 0));
    seeded.insert(detail::hashKeyBytes(s, detail::keyHashSeed()) & 0xFFF);
  }
  EXPECT_EQ(unseeded.size(), 1u);  // the keys really are crafted
  // 4000 keys over 4096 low-bit values: a random spread fills well over half of them.
  EXPECT_GT(seeded.size(), 2000u);
}

// Run as a fresh program by the next test: prints the seed this process draws.
TEST(OrderedMapIndexTest, SeedProbe) {
  if (std::getenv("ZEPLOG_SEED_PROBE") == nullptr)
    GTEST_SKIP() << "run by EachProcessDrawsItsOwnSeed";
  std::printf("seed=%llu\n", static_cast<unsigned long long>(detail::keyHashSeed()));
}

// The seed is drawn per process: two fresh runs of this program draw different seeds.
TEST(OrderedMapIndexTest, EachProcessDrawsItsOwnSeed) {
  std::string seeds[2];
  for (std::string& seed : seeds) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      setenv("ZEPLOG_SEED_PROBE", "1", 1);
      execl("/proc/self/exe", "ordered_map_test", "--gtest_filter=OrderedMapIndexTest.SeedProbe",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::size_t at = out.find("seed=");
    ASSERT_NE(at, std::string::npos) << out;
    seed = out.substr(at, out.find('\n', at) - at);
  }
  EXPECT_NE(seeds[0], seeds[1]);
}

}  // namespace
}  // namespace zeplog
