// Main-queue hand-over throughput: kstVelaBlockQueue::enqueue + dequeue against a plain
// std::mutex + std::deque + std::condition_variable queue of the same item type.
//
// The benchmark thread is the one consumer; producer threads live for the whole run. Each
// iteration is one batch: every producer puts kBatch events and the consumer takes all of
// them before the next batch starts, so at most kProducers * kBatch (<= 2000) events are in
// flight and the main queue never drops one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "queue/block_queue.hpp"

namespace {

constexpr int kBatch = 1000;

// The library's main queue.
class MainQueue {
 public:
  void put(zeplog::VelaEventPtr e) { q_.enqueue(std::move(e)); }
  zeplog::VelaEventPtr take() { return q_.dequeue(); }

 private:
  zeplog::kstVelaBlockQueue q_;
};

// The floor: the plainest correct blocking queue.
class PlainQueue {
 public:
  void put(zeplog::VelaEventPtr e) {
    {
      std::lock_guard<std::mutex> g(mu_);
      items_.push_back(std::move(e));
    }
    cv_.notify_one();
  }
  zeplog::VelaEventPtr take() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return !items_.empty(); });
    zeplog::VelaEventPtr e = std::move(items_.front());
    items_.pop_front();
    return e;
  }

 private:
  std::mutex mu_;                           // guards items_
  std::condition_variable cv_;              // signalled on each put
  std::deque<zeplog::VelaEventPtr> items_;  // guarded by mu_
};

template <typename Queue>
void BM_HandOver(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  Queue queue;
  std::barrier<> batchStart(producers + 1);
  std::atomic<bool> stop{false};

  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&] {
      std::vector<zeplog::VelaEventPtr> events;
      for (int i = 0; i < kBatch; ++i) events.push_back(std::make_shared<zeplog::VelaEvent>());
      for (;;) {
        batchStart.arrive_and_wait();
        if (stop.load(std::memory_order_relaxed)) return;
        for (const auto& e : events) queue.put(e);
      }
    });
  }

  const int perBatch = producers * kBatch;
  for (auto _ : state) {
    batchStart.arrive_and_wait();
    for (int i = 0; i < perBatch; ++i) benchmark::DoNotOptimize(queue.take());
  }
  stop.store(true, std::memory_order_relaxed);
  batchStart.arrive_and_wait();
  for (auto& t : threads) t.join();
  state.SetItemsProcessed(state.iterations() * perBatch);
}

// On a shared machine the wall time of a hand-over swings with the scheduler; with
// --benchmark_repetitions the minimum shows the queue's own cost beside the median.
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_HandOver<MainQueue>)
    ->Name("MainQueue")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_HandOver<PlainQueue>)
    ->Name("PlainQueue")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);

}  // namespace

BENCHMARK_MAIN();
