// A small process-wide notification centre: named notifications posted to observers.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zeplog/export.hpp"

namespace zeplog {

// One posted notification: its name and the object the poster attached (empty when none).
// For kst_kReachabilityChangedNotification the object is a
// std::shared_ptr<kstVelaReachability>: read it with objectAs<kstVelaReachability>().
struct Notification {
  std::string name;
  std::any object;

  // The object as a std::shared_ptr<T>, or nullptr when it holds something else.
  template <class T>
  std::shared_ptr<T> objectAs() const {
    if (const auto* p = std::any_cast<std::shared_ptr<T>>(&object)) return *p;
    return nullptr;
  }
};

// Delivers posted notifications to the observers registered for their name.
//
// There is no main run loop on Linux: observers are called synchronously on the thread
// that posts, in the order they were added, and never while the centre's lock is held, so
// an observer may add or remove observers and post again. An exception thrown by an observer
// is written to the console and does not stop delivery to the others.
//
// removeObserver waits until calls of that observer running on other threads have returned,
// so after it returns the observer is never called again and what it captured may be freed.
// (An observer may remove itself; it must not remove another observer that is at the same
// moment removing it from another thread.)
class ZEPLOG_API NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;  // 0 is never a valid token

  // The process-wide centre. It is created on first use and never destroyed.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers observer for notifications called name; an empty name observes every
  // notification. Returns the token to remove it with, or 0 when observer is empty.
  Token addObserver(std::string name, Observer observer);
  // Unregisters the observer; unknown tokens are ignored.
  void removeObserver(Token token);
  // Calls every matching observer on this thread with a Notification of name and object.
  void post(std::string name, std::any object = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zeplog
