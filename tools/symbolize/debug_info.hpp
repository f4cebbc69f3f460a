// Source locations of code addresses, from DWARF found by build id (libdw's libdwfl).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crash_input.hpp"

namespace zeplog::symbolize {

// One source frame of an address: the function, its file and line. An address inside inlined
// code has several, innermost first; all but the last are inlined into the next.
struct SourceFrame {
  std::string function;  // demangled; "" when unknown
  std::string file;      // "" when the line table has nothing
  int line = 0;
  int column = 0;
  bool inlined = false;
};

// The debug information of a crash's modules. Each module's file is looked for by its build
// id as <dir>/.build-id/<xx>/<rest>.debug in each debug folder (the given ones, then
// /usr/lib/debug), and otherwise at its own path when that file has the same build id (its
// separate debug file then found the same way or through its debug link). A module whose build
// id matches no file gets no symbols: a wrong file would give wrong lines.
class DebugInfo {
 public:
  DebugInfo(const std::vector<CrashModule>& modules, const std::vector<std::string>& debugDirs);
  ~DebugInfo();
  DebugInfo(const DebugInfo&) = delete;
  DebugInfo& operator=(const DebugInfo&) = delete;

  // The source frames at address; a return address is looked up at the call before it.
  std::vector<SourceFrame> describe(std::uint64_t address, bool returnAddress) const;
  // The file name of the module holding address, "" when none does.
  std::string moduleName(std::uint64_t address) const;
  // One line per module that got no debug information, saying why.
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::vector<std::string> warnings_;
};

}  // namespace zeplog::symbolize
