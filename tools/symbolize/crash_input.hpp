// What zeplog-symbolize reads: the threads' frames and the loaded modules of one crash, from
// the crash handler's report, the crash text the collector receives, or a minidump.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zeplog::symbolize {

struct CrashThread {
  std::string name;
  bool crashed = false;
  // Instruction addresses, innermost first. Every one but the first is a return address.
  std::vector<std::uint64_t> frames;
};

struct CrashModule {
  std::uint64_t start = 0;  // where its offset-0 mapping was
  std::uint64_t end = 0;    // one past its last mapping
  std::uint64_t bias = 0;   // run-time address minus the file's virtual address
  std::string buildId;      // lower-case hex; "" when unknown
  std::string path;
};

struct CrashInput {
  std::vector<CrashThread> threads;
  std::vector<CrashModule> modules;
};

// The report written by the crash handler ("zeplog-crash 1" and its lines) or the crash text
// made of it (the "Thread n:" sections and "Binary Images:"); nothing for text that is neither.
std::optional<CrashInput> readTextReport(std::string_view text);

// A minidump: its modules (with their build ids) and each thread's instruction pointer (the
// crashed thread's from the exception's context). Nothing, with the reason in *error, for a
// file that is not a whole minidump.
std::optional<CrashInput> readMinidump(std::string_view bytes, std::string* error);

}  // namespace zeplog::symbolize
