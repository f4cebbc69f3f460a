// The library's console: one diagnostic line per call.
#pragma once

#include <string_view>

namespace zeplog::detail {

// Writes "[ZEPLog] [line <line>] <message>" as one line to the console sink.
void consoleLine(int line, std::string_view message);
// Writes message as one line, without the usual prefix (the queue files and a few
// exception reports use short prefixes of their own).
void consoleRaw(std::string_view message);

}  // namespace zeplog::detail

// The line number is the call site's, so a line can be traced to the code that wrote it.
#define ZEP_CONSOLE(message) ::zeplog::detail::consoleLine(__LINE__, (message))
