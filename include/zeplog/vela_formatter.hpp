// The crash report's plain-text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zeplog/crash_report.hpp"
#include "zeplog/export.hpp"

namespace zeplog {

// Turns a crash report into an Apple-style plain-text crash log: process and system header,
// exception, every thread's backtrace, the exception backtrace, the crashed thread's
// registers and the loaded binary images. Class operations only; keeps no state, so any
// thread may call it at any time.
class ZEPLOG_API kstVelaFormatter {
 public:
  kstVelaFormatter() = delete;

  // The whole crash text. The text format is accepted and ignored: every call gives the one
  // layout.
  static std::string stringValueForCrashReport(const CrashReport& report, std::int32_t textFormat);
  // One backtrace line of frame number frameIndex, "\n" included.
  static std::string formatStackFrame(const CrashStackFrame& frame, std::uint64_t frameIndex,
                                      const CrashReport& report);
  // A new random UUID in canonical upper-case form; none when no random bytes can be had.
  static std::optional<std::string> uuid();
  // The reporter key; this platform has none.
  static std::optional<std::string> reportKey();
};

// Orders images by base address: -1, 0 or 1. The context is ignored.
ZEPLOG_API int kst_sdk_binaryImageSort(const CrashBinaryImage& a, const CrashBinaryImage& b,
                                       void* context);

}  // namespace zeplog
