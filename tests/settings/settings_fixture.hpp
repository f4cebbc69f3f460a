// A fixture for the settings and probe threads: a temporary data directory, the development
// collector on loopback serving the settings, and console lines a test can wait for.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dev_collector.hpp"
#include "event/global_state.hpp"
#include "queue/block_queue.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog::test {

// Generous bounds: they only keep a broken build from hanging; nothing is timed.
inline constexpr std::chrono::seconds kBound{30};

// Takes the library's console lines and lets a test wait for them.
class ConsoleWaiter {
 public:
  ConsoleWaiter() {
    ZEPLog::setConsoleHandler([s = state_](std::string_view line) {
      {
        std::lock_guard<std::mutex> g(s->lock);
        s->lines.emplace_back(line);
      }
      s->changed.notify_all();
    });
  }
  ~ConsoleWaiter() { ZEPLog::setConsoleHandler(nullptr); }

  int count(std::string_view text) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return countLocked(text);
  }
  bool contains(std::string_view text) const { return count(text) > 0; }
  // Waits until n lines contain text; false when the bound passes first.
  bool waitFor(std::string_view text, int n = 1) const {
    std::unique_lock<std::mutex> l(state_->lock);
    return state_->changed.wait_for(l, kBound, [&] { return countLocked(text) >= n; });
  }
  std::string all() const {
    std::lock_guard<std::mutex> g(state_->lock);
    std::string out;
    for (const auto& l : state_->lines) out += l + "\n";
    return out;
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;  // guarded by lock
  };
  int countLocked(std::string_view text) const {
    int n = 0;
    for (const auto& l : state_->lines)
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEPLog::setDataDirectory(dataDir.path());
    std::string error;
    ASSERT_TRUE(collector.start(&error)) << error;
    ASSERT_TRUE(ZEPLog::setSettingsBaseURL(collector.baseUrl() + "/v2"));
  }

  // The collector address handed to init; the send thread is held by SyncStart::On, so the
  // events stay in the main queue for the test to read.
  std::string collectorUrl() const { return collector.baseUrl(); }
  bool initHandle(const std::string& appKey, const std::string& handleId) {
    return ZEPLog::init(collectorUrl(), collector.port(), 1, appKey, "1.0", "user",
                        CrashCapture::Off, SyncStart::On, Text(), handleId);
  }
  // Waits until the settings thread has finished its n-th fetch (its last console line).
  bool waitForFetches(int n) { return console.waitFor("] NetworkPulse : ", n); }

  // The next event of the main queue, or nullptr when none comes within the bound. The
  // waiting thread is left behind on failure; the test fails anyway.
  static VelaEventPtr takeEvent() {
    auto promise = std::make_shared<std::promise<VelaEventPtr>>();
    std::future<VelaEventPtr> future = promise->get_future();
    std::thread([promise] { promise->set_value(detail::blockQueue()->dequeue()); }).detach();
    if (future.wait_for(kBound) != std::future_status::ready) return nullptr;
    return future.get();
  }
  // Takes events until one of the log type comes; nullptr when none does.
  static VelaEventPtr takeEventOfType(const std::string& logType) {
    for (;;) {
      VelaEventPtr e = takeEvent();
      if (!e || e->logType() == logType) return e;
    }
  }
  static std::string field(const VelaEventPtr& e, std::string_view key) {
    const FieldValue* v = e->fields()->find(key);
    if (!v) return "<absent>";
    return std::holds_alternative<Bytes>(*v) ? std::get<Bytes>(*v).data
                                             : "text:" + std::get<std::string>(*v);
  }
  // The paths the collector was asked for, in order, admin requests left out.
  std::vector<std::string> requestedPaths() const {
    std::vector<std::string> out;
    for (const auto& r : collector.requests())
      if (r.path.rfind("/admin/", 0) != 0) out.push_back(r.path);
    return out;
  }

  TempDir dataDir;
  ConsoleWaiter console;
  tools::DevCollector collector{quickOptions()};

 public:
  // Options for a collector in a test: a short keep-alive, so that a connection the library
  // leaves idle goes soon.
  static tools::CollectorOptions quickOptions() {
    tools::CollectorOptions o;
    o.keepAliveSeconds = 1;
    return o;
  }
};

}  // namespace zeplog::test
