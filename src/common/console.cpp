#include "common/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/global_lock.hpp"

namespace zeplog::detail {
namespace {

using Handler = ConsoleHandler;

// Lines made under global_resource_lock on this thread, waiting for its outermost release.
thread_local std::vector<std::string>* tl_deferred = nullptr;

// Guards the installed handler. A handler is copied out under the lock and called without
// it, so a handler that itself calls into the library cannot deadlock.
std::mutex& handlerLock() {
  static auto* m = new std::mutex;  // never destroyed: late lines at exit still work
  return *m;
}
std::shared_ptr<const Handler>& handlerSlot() {  // guarded by handlerLock()
  static auto* h = new std::shared_ptr<const Handler>;
  return *h;
}

void writeStderr(std::string_view line) {
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf.push_back('\n');
  const char* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void deliver(std::string_view message) {
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard<std::mutex> g(handlerLock());
    handler = handlerSlot();
  }
  if (handler && *handler) {
    try {
      (*handler)(message);
      return;
    } catch (...) {
      // A throwing handler must not take the library down with it: the line goes to
      // stderr instead.
    }
  }
  writeStderr(message);
}

}  // namespace

void consoleRaw(std::string_view message) {
  if (GlobalResourceLock::heldByThisThread()) {
    // Never reach a sink under the lock: a handler may block or take the application's own
    // locks. The line waits for the outermost release on this thread.
    if (!tl_deferred) tl_deferred = new std::vector<std::string>;  // freed by the flush
    tl_deferred->emplace_back(message);
    return;
  }
  deliver(message);
}

void flushDeferredConsoleLines() {
  // A handler may log and so defer new lines; each round takes what is there now.
  while (tl_deferred) {
    std::unique_ptr<std::vector<std::string>> lines(tl_deferred);
    tl_deferred = nullptr;
    for (const std::string& line : *lines) deliver(line);
  }
}

void consoleLine(int line, std::string_view message) {
  std::string text = "[ZEPLog] [line " + std::to_string(line) + "] ";
  text.append(message);
  consoleRaw(text);
}

void setConsoleHandler(ConsoleHandler handler) {
  auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
  std::lock_guard<std::mutex> g(handlerLock());
  handlerSlot() = std::move(next);
}

}  // namespace zeplog::detail
