#include "common/console.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/fork_locks.hpp"
#include "common/global_lock.hpp"
#include "common/no_destructor.hpp"

namespace zeplog::detail {
namespace {

using Handler = ConsoleHandler;

// A line never exceeds this many bytes (newline included), so a pipe write of it is atomic
// and never interleaves with another writer's line.
constexpr std::size_t kMaxLineBytes = PIPE_BUF;

// Lines made under global_resource_lock on this thread, waiting for its outermost release.
thread_local std::vector<std::string>* tl_deferred = nullptr;

// Lines stderr could not take at once; see droppedConsoleLines().
std::atomic<std::uint64_t> g_dropped{0};

// Guards the installed handler. A handler is copied out under the lock and called without
// it, so a handler that itself calls into the library cannot deadlock.
std::mutex& handlerLock() {
  // Never destroyed: late lines at exit still work.
  static auto* m = new ForkSafeMutex(ForkLockRank::kConsoleHandler);
  return *m;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_handlerLockMadeAtLoad = (static_cast<void>(handlerLock()), true);
constinit NoDestructor<std::shared_ptr<const Handler>> g_handlerSlot;  // guarded by handlerLock()
std::shared_ptr<const Handler>& handlerSlot() { return g_handlerSlot.value; }

// The line as it reaches a sink: control characters escaped, so one call is one line and
// application text can't forge a line of its own, and the whole cut to kMaxLineBytes.
std::string sanitise(std::string_view message) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(message.size() + 1);
  for (char ch : message) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  if (out.size() > kMaxLineBytes - 1) {
    const std::string tail = "... (" + std::to_string(message.size()) + " bytes)";
    std::size_t cut = kMaxLineBytes - 1 - tail.size();
    // Never cut inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += tail;
  }
  return out;
}

// Writing to stderr never waits: the application may have pointed it at a pipe that nobody
// reads. The application's own file description of fd 2 is never changed (setting
// O_NONBLOCK on it would change it for the application and every process sharing it), so:
//  - a pipe or FIFO is opened again through /proc/self/fd/2, which gives the library a
//    description of its own on the same pipe, and that one is non-blocking;
//  - a socket is written with MSG_DONTWAIT, a per-call flag;
//  - anything else (a terminal, a file) is written only when poll() says it can take data
//    now, which regular files always can.
// A line that can't be written at once is dropped and counted.
class StderrSink {
 public:
  void write(std::string_view line) {
    std::lock_guard<std::mutex> g(lock_);
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) {
      g_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (S_ISFIFO(st.st_mode)) {
      writePipeLocked(st, line);
    } else if (S_ISSOCK(st.st_mode)) {
      finish(sendAll(line));
    } else {
      finish(pollThenWrite(STDERR_FILENO, line));
    }
  }

 private:
  void writePipeLocked(const struct stat& st, std::string_view line) {
    if (pipeFd_ < 0 || st.st_dev != pipeDev_ || st.st_ino != pipeIno_) {
      if (pipeFd_ >= 0) ::close(pipeFd_);
      pipeFd_ = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      pipeDev_ = st.st_dev;
      pipeIno_ = st.st_ino;
    }
    if (pipeFd_ < 0) {
      finish(pollThenWrite(STDERR_FILENO, line));  // no /proc: the careful way
      return;
    }
    finish(writeWithoutSigpipe(pipeFd_, line));  // at most PIPE_BUF: all or nothing
  }

  // A pipe whose reader has gone raises SIGPIPE, which by default ends the process: the
  // signal is blocked on this thread for the write, and one it raised is taken back.
  static bool writeWithoutSigpipe(int fd, std::string_view line) {
    sigset_t pipeOnly, previous, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigemptyset(&pending);
    ::sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    ssize_t n;
    do {
      n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE && !wasPending) {
      const timespec none{0, 0};
      while (::sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return n == static_cast<ssize_t>(line.size());
  }

  static bool sendAll(std::string_view line) {
    ssize_t n;
    do {
      n = ::send(STDERR_FILENO, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size());
  }

  static bool pollThenWrite(int fd, std::string_view line) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
      r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r != 1 || (p.revents & POLLOUT) == 0) return false;
    return writeWithoutSigpipe(fd, line);
  }

  static void finish(bool written) {
    if (!written) g_dropped.fetch_add(1, std::memory_order_relaxed);
  }

  // Guards the members below and orders the lines of concurrent writers.
  ForkSafeMutex lock_{ForkLockRank::kConsoleSink};
  int pipeFd_ = -1;
  dev_t pipeDev_ = 0;
  ino_t pipeIno_ = 0;
};

StderrSink& stderrSink() {
  static auto* sink = new StderrSink;  // never destroyed: late lines at exit still work
  return *sink;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_stderrSinkMadeAtLoad = (static_cast<void>(stderrSink()), true);

void writeStderr(const std::string& line) {
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf.push_back('\n');
  stderrSink().write(buf);
}

// A line about a failure that may be a failed allocation: built and delivered in fixed
// storage. Under the lock it waits in this thread's one slot (a second one is dropped and
// counted) until the outermost release.
constexpr std::size_t kFixedLineBytes = 512;
struct FixedLine {
  char text[kFixedLineBytes];
  std::size_t size = 0;
  bool pending = false;
};
thread_local FixedLine tl_fixed;

void deliverFixed(char* text, std::size_t size) noexcept {
  if (consoleSilenced()) return;
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard<std::mutex> g(handlerLock());
    handler = handlerSlot();  // a copy of a shared_ptr allocates nothing
  }
  if (handler && *handler) {
    try {
      (*handler)(std::string_view(text, size));
      return;
    } catch (...) {
    }
  }
  text[size] = '\n';  // the buffer keeps a byte for it
  StderrSink& sink = stderrSink();
  try {
    sink.write(std::string_view(text, size + 1));
  } catch (...) {
    g_dropped.fetch_add(1, std::memory_order_relaxed);
  }
}

void deliver(std::string_view message) {
  if (consoleSilenced()) return;  // made before the silence began: dropped with the rest
  const std::string line = sanitise(message);
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard<std::mutex> g(handlerLock());
    handler = handlerSlot();
  }
  if (handler && *handler) {
    try {
      (*handler)(line);
      return;
    } catch (...) {
      // A throwing handler must not take the library down with it: the line goes to
      // stderr instead.
    }
  }
  writeStderr(line);
}

}  // namespace

void consoleRaw(std::string_view message) {
  if (consoleSilenced()) return;
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
  if (tl_fixed.pending) {
    tl_fixed.pending = false;
    deliverFixed(tl_fixed.text, tl_fixed.size);
  }
  // A handler may log and so defer new lines; each round takes what is there now.
  while (tl_deferred) {
    std::unique_ptr<std::vector<std::string>> lines(tl_deferred);
    tl_deferred = nullptr;
    for (const std::string& line : *lines) deliver(line);
  }
}

void consoleLine(int line, std::string_view message) {
  if (consoleSilenced()) return;
  std::string text = "[ZEPLog] [line " + std::to_string(line) + "] ";
  text.append(message);
  consoleRaw(text);
}

void setConsoleHandler(ConsoleHandler handler) {
  auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
  std::shared_ptr<const Handler> previous;  // released after the lock
  std::lock_guard<std::mutex> g(handlerLock());
  previous = std::move(handlerSlot());
  handlerSlot() = std::move(next);
  g_consoleSilenced.store(false, std::memory_order_relaxed);
}

void silenceConsole() {
  std::shared_ptr<const Handler> previous;  // released after the lock
  std::lock_guard<std::mutex> g(handlerLock());
  previous = std::move(handlerSlot());
  g_consoleSilenced.store(true, std::memory_order_relaxed);
}

void consoleFailureLine(int line, const char* operation, const char* what) noexcept {
  if (consoleSilenced()) return;
  char text[kFixedLineBytes];
  int n = std::snprintf(text, sizeof text - 1, "[ZEPLog] [line %d] %s exception : %s", line,
                        operation, what);
  if (n < 0) return;
  std::size_t size = std::min(static_cast<std::size_t>(n), sizeof text - 2);
  // One line: control characters become '?' in place (escaping would need room).
  for (std::size_t i = 0; i < size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) text[i] = '?';
  }
  if (GlobalResourceLock::heldByThisThread()) {
    if (tl_fixed.pending) {
      g_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    std::memcpy(tl_fixed.text, text, size);
    tl_fixed.size = size;
    tl_fixed.pending = true;
    return;
  }
  deliverFixed(text, size);
}

std::uint64_t droppedConsoleLines() noexcept { return g_dropped.load(std::memory_order_relaxed); }

}  // namespace zeplog::detail
