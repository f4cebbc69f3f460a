// Symbol names for the frames of a crash report.
#pragma once

#include "zeplog/crash_report.hpp"

namespace zeplog::detail {

// Names every frame whose image file is still on disk and has a symbol table covering the
// frame: the function's demangled name and start. Reads the image files; never called in a
// signal handler. A file whose build id differs from the report's (the image was replaced
// since the crash) is not used.
void symbolizeCrashReport(CrashReport& report);

}  // namespace zeplog::detail
