#include "zeplog/notification_center.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/console.hpp"
#include "common/fork_locks.hpp"

namespace zeplog {

namespace {

// One registered observer. Shared between the centre's list and the posts that are calling
// it, so a removal during a post never frees the function while it runs.
struct Entry {
  NotificationCenter::Token token = 0;   // immutable after creation
  std::string name;                      // immutable after creation
  NotificationCenter::Observer fn;       // immutable after creation
  bool removed = false;                  // guarded by Impl::lock
  std::vector<std::thread::id> callers;  // threads calling fn now; guarded by Impl::lock
};

}  // namespace

// Hidden although its outer class is exported: no caller can name it, so nothing of it (the
// lambda below included) belongs among the shared library's symbols.
struct __attribute__((visibility("hidden"))) NotificationCenter::Impl {
  // In the fork order; a forked child gets a fresh condition, since the parent's callers
  // and waiters do not exist there.
  detail::ForkSafeMutex lock{
      detail::ForkLockRank::kNotificationCenter, 0,
      [](void* self) { new (&static_cast<Impl*>(self)->callersDone) std::condition_variable; },
      this};
  std::condition_variable callersDone;          // signalled (with lock) when a call ends
  std::vector<std::shared_ptr<Entry>> entries;  // in order of addition; guarded by lock
  Token nextToken = 1;                          // guarded by lock
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: a post from a thread still running at exit must find it intact.
  static auto* center = new NotificationCenter;
  return *center;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_defaultCenterMadeAtLoad =
    (static_cast<void>(NotificationCenter::defaultCenter()), true);

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
  if (!observer) return 0;
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->fn = std::move(observer);
  std::lock_guard<std::mutex> guard(impl_->lock);
  entry->token = impl_->nextToken++;
  impl_->entries.push_back(entry);
  return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::unique_lock<std::mutex> guard(impl_->lock);
  auto& entries = impl_->entries;
  auto it = std::find_if(entries.begin(), entries.end(),
                         [token](const auto& e) { return e->token == token; });
  if (it == entries.end()) return;
  std::shared_ptr<Entry> entry = *it;
  entries.erase(it);
  entry->removed = true;
  // Calls already running on other threads finish first; a call on this thread is the
  // observer removing itself and must not be waited for.
  const auto self = std::this_thread::get_id();
  impl_->callersDone.wait(guard, [&] {
    return std::all_of(entry->callers.begin(), entry->callers.end(),
                       [self](std::thread::id id) { return id == self; });
  });
}

void NotificationCenter::post(std::string name, std::any object) {
  std::vector<std::shared_ptr<Entry>> targets;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    for (const auto& e : impl_->entries) {
      if (e->name.empty() || e->name == name) targets.push_back(e);
    }
  }
  const Notification note{std::move(name), std::move(object)};
  const auto self = std::this_thread::get_id();
  for (const auto& e : targets) {
    {
      std::lock_guard<std::mutex> guard(impl_->lock);
      if (e->removed) continue;  // removed by an earlier observer of this post
      e->callers.push_back(self);
    }
    try {
      e->fn(note);
    } catch (const std::exception& ex) {
      ZEP_CONSOLE("notification observer of " + note.name + " threw: " + ex.what());
    } catch (...) {
      ZEP_CONSOLE("notification observer of " + note.name + " threw an unknown exception");
    }
    {
      std::lock_guard<std::mutex> guard(impl_->lock);
      e->callers.erase(std::find(e->callers.begin(), e->callers.end(), self));
    }
    impl_->callersDone.notify_all();
  }
}

}  // namespace zeplog
