// The main queue under producers that race each other, the consumer, a save and a fork:
// one program, one test per rule, each run with 4 producer threads.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "event/handle_views.hpp"
#include "event/vela_event_maker.hpp"
#include "queue/block_queue.hpp"
#include "queue/main_channel.hpp"
#include "queue/queue_counters.hpp"

// This program counts the calling thread's allocations.
namespace {
thread_local std::uint64_t tl_allocations = 0;
}  // namespace
void* operator new(std::size_t n) {
  ++tl_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace zeplog {
namespace {

constexpr int kProducers = 4;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCallsEach = 5000;
#else
constexpr int kCallsEach = 50000;
#endif

// An event that says who made it and its place in that producer's calls.
VelaEventPtr tagged(int producer, int seq) {
  auto e = std::make_shared<VelaEvent>();
  e->setSendTime(std::int64_t{producer} << 32 | seq);
  return e;
}
int producerOf(const VelaEventPtr& e) { return static_cast<int>(e->sendTime() >> 32); }
int seqOf(const VelaEventPtr& e) { return static_cast<int>(e->sendTime() & 0xffffffff); }

std::uint64_t droppedNow() { return detail::countersSnapshot().droppedFromQueue; }

// Runs kProducers threads, each enqueueing `calls` tagged events, while `alongside` runs on
// the calling thread until they are done.
template <typename Alongside>
void produce(kstVelaBlockQueue& q, int calls, Alongside&& alongside) {
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < calls; ++i) (void)q.enqueue(tagged(p, i));
      --running;
    });
  }
  alongside(running);
  for (auto& t : producers) t.join();
}

// Checks that each producer's events come in the order it made them, and counts them.
struct OrderCheck {
  std::vector<int> last = std::vector<int>(kProducers, -1);
  int outOfOrder = 0;
  std::uint64_t seen = 0;
  void add(const VelaEventPtr& e) {
    int& l = last[static_cast<std::size_t>(producerOf(e))];
    if (seqOf(e) <= l) ++outOfOrder;
    l = seqOf(e);
    ++seen;
  }
};

// Without a consumer every call past the bound drops the oldest: the queue ends full, and
// what it holds of each producer is its latest events, in order, without a hole.
TEST(MainQueueStress, RacingProducersKeepTheBoundExactAndTheCountersAddUp) {
  kstVelaBlockQueue q;
  const std::uint64_t droppedBefore = droppedNow();
  produce(q, kCallsEach, [](std::atomic<int>&) {});
  const std::uint64_t calls = std::uint64_t{kProducers} * kCallsEach;
  ASSERT_EQ(q.queueCount(), static_cast<std::int32_t>(kstVelaBlockQueue::kMaxEvents));
  EXPECT_EQ(droppedNow() - droppedBefore + kstVelaBlockQueue::kMaxEvents, calls);
  OrderCheck order;
  std::vector<int> first(kProducers, -1), kept(kProducers, 0);
  while (VelaEventPtr e = q.dequeueIfAny()) {
    order.add(e);
    const auto p = static_cast<std::size_t>(producerOf(e));
    if (first[p] < 0) first[p] = seqOf(e);
    ++kept[p];
  }
  EXPECT_EQ(order.seen, kstVelaBlockQueue::kMaxEvents);
  EXPECT_EQ(order.outOfOrder, 0);
  for (std::size_t p = 0; p < kProducers; ++p) {
    if (kept[p] == 0) continue;  // all of this producer's calls were older than the rest
    EXPECT_EQ(order.last[p], kCallsEach - 1) << "producer " << p;
    EXPECT_EQ(kept[p], order.last[p] - first[p] + 1) << "producer " << p;
  }
  EXPECT_EQ(q.queueCount(), 0);
  EXPECT_EQ(q.queueBytes(), 0u);
}

// A consumer taking while producers append sees each producer's events in order, and
// taken + left + dropped is every call.
TEST(MainQueueStress, AConsumerRacingProducersTakesEachProducersEventsInOrder) {
  kstVelaBlockQueue q;
  const std::uint64_t droppedBefore = droppedNow();
  OrderCheck order;
  produce(q, kCallsEach, [&](std::atomic<int>& running) {
    while (running.load() > 0) {
      if (VelaEventPtr e = q.dequeueIfAny()) order.add(e);
    }
  });
  while (VelaEventPtr e = q.dequeueIfAny()) order.add(e);
  EXPECT_EQ(order.outOfOrder, 0);
  EXPECT_EQ(order.seen + (droppedNow() - droppedBefore), std::uint64_t{kProducers} * kCallsEach);
}

// A save (the Locked access) racing producers takes every event whose append returned
// before it began, and loses none: taken by saves + left = every call (the calls stay
// under the bound, so nothing is dropped).
TEST(MainQueueStress, ASaveRacingProducersTakesEverythingQueuedBeforeIt) {
  MainEventChannel q(kstVelaBlockQueue::kMaxEvents, detail::kDefaultQueueByteLimit, 0);
  constexpr int kCalls = static_cast<int>(kstVelaBlockQueue::kMaxEvents) / kProducers - 1;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::atomic<int>> returned(kProducers);
    for (auto& r : returned) r = -1;
    std::vector<std::thread> producers;
    std::atomic<int> running{kProducers};
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kCalls; ++i) {
          (void)q.pushBackTakeHead(tagged(p, i));
          returned[static_cast<std::size_t>(p)] = i;
        }
        --running;
      });
    }
    OrderCheck order;
    int missed = 0;
    auto save = [&] {
      std::vector<int> before(kProducers);
      for (std::size_t p = 0; p < kProducers; ++p) before[p] = returned[p].load();
      std::vector<VelaEventPtr> saved;
      {
        auto locked = q.lock();
        saved.assign(locked.items().begin(), locked.items().end());
        locked.items().clear();
      }
      for (const VelaEventPtr& e : saved) order.add(e);
      for (std::size_t p = 0; p < kProducers; ++p)
        if (order.last[p] < before[p]) ++missed;
    };
    while (running.load() > 0) save();
    for (auto& t : producers) t.join();
    save();
    ASSERT_EQ(missed, 0) << "round " << round;
    ASSERT_EQ(order.outOfOrder, 0) << "round " << round;
    ASSERT_EQ(order.seen, std::uint64_t{kProducers} * kCalls) << "round " << round;
    ASSERT_EQ(q.count(), 0) << "round " << round;
  }
}

// A log call's event (made, given its handle's identity, queued, the oldest dropped) of up
// to 256 bytes of message reuses freed memory once the queue is full; a longer one
// allocates once.
TEST(MainQueueStress, ALogCallsEventOfUpTo256BytesAllocatesNothingOnceWarm) {
  struct Case {
    std::size_t messageBytes;
    double maxAllocationsPerCall;
  };
  const Case cases[] = {{0, 0}, {56, 0}, {256, 0}, {4096, 1}};
  const auto identity = std::make_shared<const VelaEventIdentity>(
      VelaEventIdentity{"app", "1.0", "vela2-log", "mac-log", "0"});
  for (const Case& c : cases) {
    kstVelaBlockQueue q;
    const std::string message(c.messageBytes, 'm');
    auto call = [&] {
      VelaEventPtr e = detail::LogEventMaker::make(message, "INFO", "E1", 1, false);
      detail::LogEventMaker::setIdentity(*e, identity);
      (void)q.enqueue(std::move(e));
    };
    for (std::size_t i = 0; i < 2 * kstVelaBlockQueue::kMaxEvents; ++i) call();
    constexpr int kCalls = 1000;
    const std::uint64_t before = tl_allocations;
    for (int i = 0; i < kCalls; ++i) call();
    EXPECT_LE(static_cast<double>(tl_allocations - before) / kCalls, c.maxAllocationsPerCall)
        << c.messageBytes << "-byte message";
  }
}

// A child forked while other threads are in the middle of appends starts with an empty
// main queue that works: its first append is counted and taken back.
TEST(MainQueueStress, AChildForkedDuringAppendsGetsAWorkingEmptyQueue) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe with threads running";
#endif
  kstVelaBlockQueue q;
  constexpr int kForks = 20;
  int failed = 0;
  produce(q, kCallsEach, [&](std::atomic<int>& running) {
    for (int f = 0; f < kForks && running.load() > 0; ++f) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::alarm(30);  // a failure guard only: a child that hangs is killed
        int status = 0;
        if (q.queueCount() != 0) status = 1;
        (void)q.enqueue(tagged(9, 1));
        if (q.queueCount() != 1) status |= 2;
        VelaEventPtr e = q.dequeueIfAny();
        if (!e || seqOf(e) != 1) status |= 4;
        if (q.queueCount() != 0 || q.dequeueIfAny()) status |= 8;
        ::_exit(status);
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
  });
  EXPECT_EQ(failed, 0);
}

// The role of a fresh run of this program in the next test: threads make the process's first
// log-call events (a handle lookup, an event from the block pool, an append) while the
// process forks; each child must make, queue and take an event of its own. Exits with the
// number of children that failed or hung.
[[noreturn]] void forkDuringTheFirstLogCalls() {
  ::alarm(60);  // a failure guard only
  kstVelaBlockQueue q;
  const auto identity = std::make_shared<const VelaEventIdentity>(
      VelaEventIdentity{"app", "1.0", "vela2-log", "mac-log", "0"});
  auto call = [&] {
    (void)detail::handleIdentity("0");
    VelaEventPtr e = detail::LogEventMaker::make("first calls", "INFO", "E1", 1, true);
    detail::LogEventMaker::setIdentity(*e, identity);
    (void)q.enqueue(std::move(e));
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  std::vector<pid_t> children;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&] {
      while (!stop.load()) call();
    });
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(10);  // a failure guard only: a child that hangs is killed
      call();
      ::_exit(q.queueCount() == 1 && q.dequeueIfAny() && q.queueCount() == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  int failed = 0;
  for (const pid_t pid : children) {
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      ++failed;
  }
  stop.store(true);
  for (auto& t : producers) t.join();
  ::_exit(failed);
}

// A child forked while other threads make the process's first log calls gets nothing half
// made by a thread that does not exist in it (process-wide state made on first use, a lock
// held across the fork). Only a first use can be caught half way, so each round is a fresh
// run of this program.
TEST(MainQueueStress, AChildForkedDuringTheFirstLogCallsOfAProcessWorks) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe with threads running";
#endif
  static constexpr const char* kRole = "ZEPLOG_FIRST_CALLS_FORK";
  if (std::getenv(kRole)) forkDuringTheFirstLogCalls();
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter =
      "--gtest_filter=MainQueueStress.AChildForkedDuringTheFirstLogCallsOfAProcessWorks";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  constexpr int kRounds = 20;
  int failedRounds = 0;
  for (int round = 0; round < kRounds; ++round) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv(kRole, "1", 1);
      ::execv(exe.c_str(), argv);
      ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failedRounds;
  }
  EXPECT_EQ(failedRounds, 0);
}

}  // namespace
}  // namespace zeplog
