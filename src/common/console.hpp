// The library's console: one diagnostic line per call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

namespace zeplog::detail {

// Receives every console line instead of stderr (the application's hook).
using ConsoleHandler = std::function<void(std::string_view line)>;
void setConsoleHandler(ConsoleHandler handler);
// Drops every console line from now on without making it; setConsoleHandler ends it.
void silenceConsole();

// Set while the application has silenced the console. Read before a line is made, so a
// silenced console costs one relaxed load per line and the line's text is never built.
inline std::atomic<bool> g_consoleSilenced{false};
inline bool consoleSilenced() noexcept { return g_consoleSilenced.load(std::memory_order_relaxed); }

// Lines made while the calling thread holds global_resource_lock are kept and delivered, in
// order, by this call, which the lock makes when its outermost hold ends.
void flushDeferredConsoleLines();

// Every line reaches its sink as one line: control characters (line breaks, NUL) are written
// as escapes, and a line longer than PIPE_BUF bytes is cut, ending with its original length.
// Writing to stderr never waits: a line stderr can't take at once is dropped and counted.
std::uint64_t droppedConsoleLines() noexcept;

// Writes "[ZEPLog] [line <line>] <operation> exception : <what>" without allocating, for
// the API boundary's catch path, where the failure may be a failed allocation. Under the
// lock the line waits in one fixed slot per thread; a second one is dropped and counted.
void consoleFailureLine(int line, const char* operation, const char* what) noexcept;

// Writes "[ZEPLog] [line <line>] <message>" as one line to the console sink.
void consoleLine(int line, std::string_view message);
// Writes message as one line, without the usual prefix (the queue files and a few
// exception reports use short prefixes of their own).
void consoleRaw(std::string_view message);

}  // namespace zeplog::detail

// The line number is the call site's, so a line can be traced to the code that wrote it.
// The message expression is evaluated only when the console is not silenced.
#define ZEP_CONSOLE(message)                                                                      \
  do {                                                                                            \
    if (!::zeplog::detail::consoleSilenced()) ::zeplog::detail::consoleLine(__LINE__, (message)); \
  } while (0)
