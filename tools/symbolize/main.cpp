// zeplog-symbolize: prints the frames of a crash with function, source file and line.
//
//   zeplog-symbolize [--debug-dir DIR]... REPORT [MINIDUMP]
//
// REPORT is the crash handler's report (crash-*.zcr), the crash text the collector received,
// or a minidump. A minidump given beside a report supplies the modules (with their build
// ids); given alone, its threads' instruction pointers are printed (unwinding a minidump's
// stacks is left to a debugger). Debug information is looked up by build id in each DIR and
// in /usr/lib/debug (.build-id/xx/rest.debug), then at the module's own path.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "crash_input.hpp"
#include "debug_info.hpp"

namespace {

using zeplog::symbolize::CrashInput;
using zeplog::symbolize::DebugInfo;
using zeplog::symbolize::SourceFrame;

constexpr const char* kUsage =
    "usage: zeplog-symbolize [--debug-dir DIR]... REPORT [MINIDUMP]\n"
    "  REPORT   the crash handler's report (crash-*.zcr), the crash text, or a minidump\n"
    "  MINIDUMP the crash's minidump: its modules and build ids are used\n"
    "  --debug-dir DIR  a folder with .build-id/xx/rest.debug files (repeatable;\n"
    "                   /usr/lib/debug is always searched last)\n";

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

bool isMinidump(const std::string& bytes) { return bytes.starts_with("MDMP"); }

// Reads one input file into `in`; false with a line on stderr.
bool readInput(const std::string& path, CrashInput& in) {
  std::string bytes;
  if (!readFile(path, bytes)) {
    std::cerr << "zeplog-symbolize: cannot read " << path << "\n";
    return false;
  }
  std::string error;
  std::optional<CrashInput> read = isMinidump(bytes)
                                       ? zeplog::symbolize::readMinidump(bytes, &error)
                                       : zeplog::symbolize::readTextReport(bytes);
  if (!read) {
    std::cerr << "zeplog-symbolize: " << path << ": "
              << (error.empty() ? "neither a crash report nor a minidump" : error) << "\n";
    return false;
  }
  in = std::move(*read);
  return true;
}

std::string location(const SourceFrame& f) {
  if (f.file.empty()) return "";
  std::string text = " at " + f.file + ":" + std::to_string(f.line);
  if (f.column > 0) text += ":" + std::to_string(f.column);
  return text;
}

void printThreads(const CrashInput& in, const DebugInfo& debug) {
  for (std::size_t t = 0; t < in.threads.size(); ++t) {
    const auto& thread = in.threads[t];
    std::printf("Thread %zu%s%s%s:\n", t, thread.crashed ? " Crashed" : "",
                thread.name.empty() ? "" : " ", thread.name.c_str());
    for (std::size_t i = 0; i < thread.frames.size(); ++i) {
      const std::uint64_t address = thread.frames[i];
      const std::vector<SourceFrame> frames = debug.describe(address, i > 0);
      const std::string module = debug.moduleName(address);
      if (frames.empty()) {
        std::printf("  #%-3zu 0x%016llx ??\n", i, static_cast<unsigned long long>(address));
        continue;
      }
      for (std::size_t j = 0; j < frames.size(); ++j) {
        const SourceFrame& f = frames[j];
        if (j == 0)
          std::printf("  #%-3zu 0x%016llx ", i, static_cast<unsigned long long>(address));
        else
          std::printf("        %18s ", "");
        std::printf("%s%s%s [%s]\n", f.function.empty() ? "??" : f.function.c_str(),
                    location(f).c_str(), f.inlined ? " (inlined)" : "", module.c_str());
      }
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> debugDirs, files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--debug-dir" && i + 1 < argc) {
      debugDirs.push_back(argv[++i]);
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg.starts_with("-") || files.size() == 2) {
      std::cerr << kUsage;
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  CrashInput crash;
  if (!readInput(files[0], crash)) return 1;
  if (files.size() == 2) {
    CrashInput dump;
    if (!readInput(files[1], dump)) return 1;
    crash.modules = std::move(dump.modules);  // the minidump's module list is exact
  }
  DebugInfo debug(crash.modules, debugDirs);
  for (const std::string& warning : debug.warnings())
    std::fprintf(stderr, "zeplog-symbolize: %s\n", warning.c_str());
  printThreads(crash, debug);
  return 0;
}
