// A loopback collector and helpers shared by the crash tests.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zeplog/json_reader.hpp"

namespace zeplog::test {

// An HTTP collector on 127.0.0.1 that records every body POSTed to /v2/log. When it is made
// silent it takes requests and never answers until it is destroyed.
class Collector {
 public:
  explicit Collector(bool answers = true) : answers_(answers) {
    server_.Post("/v2/log", [this](const httplib::Request& req, httplib::Response& res) {
      std::unique_lock<std::mutex> lock(mutex_);
      bodies_.push_back(req.body);
      if (onRequest_) onRequest_();
      changed_.notify_all();
      if (!answers_) changed_.wait(lock, [this] { return closing_; });
      res.status = status_;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is lost on a server whose loop has not started yet; this httplib has no ready
    // callback, so look until it runs (bounded: a failure guard only).
    for (int i = 0; i < 10000 && !server_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Collector() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      changed_.notify_all();
    }
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  void setStatus(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
  }
  // Called under the collector's lock for every request, before it is answered.
  void setOnRequest(std::function<void()> f) {
    std::lock_guard<std::mutex> lock(mutex_);
    onRequest_ = std::move(f);
  }
  std::vector<std::string> bodies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bodies_;
  }
  // Waits (bounded, as a failure guard only) until done(bodies) holds.
  bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::seconds bound = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return done(bodies_); });
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> bodies_;  // guarded by mutex_
  std::function<void()> onRequest_;  // guarded by mutex_
  int status_ = 200;  // guarded by mutex_
  bool answers_;
  bool closing_ = false;  // guarded by mutex_
};

inline std::string base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) break;
    bits = bits << 6 | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// The string members of every object of a posted JSON array, one map per event.
inline std::vector<std::map<std::string, std::string>> eventsOf(const std::string& body) {
  std::vector<std::map<std::string, std::string>> events;
  std::optional<json::Value> parsed = kstCJSONDeserializer::dictionaryWithJSONData(body);
  if (!parsed || !parsed->isArray()) return events;
  for (const json::Value& item : *parsed->asArray()) {
    if (!item.isObject()) continue;
    std::map<std::string, std::string> event;
    for (const auto& [key, value] : *item.asObject()) {
      if (value.isString()) event[key] = value.asString();
    }
    events.push_back(std::move(event));
  }
  return events;
}

// The crash events (those with "DmpData") among every body received.
inline std::vector<std::map<std::string, std::string>> crashEventsOf(
    const std::vector<std::string>& bodies) {
  std::vector<std::map<std::string, std::string>> crashes;
  for (const std::string& body : bodies) {
    for (auto& event : eventsOf(body)) {
      if (event.count("DmpData")) crashes.push_back(std::move(event));
    }
  }
  return crashes;
}

}  // namespace zeplog::test
