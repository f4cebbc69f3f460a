// A parsed crash report: what the crash reporter recorded about one crash of the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zeplog {

// A CPU as Mach-O numbers it: type encoding 1 means type and subtype are Mach CPU numbers
// (x86-64 0x1000007, ARM64 0x100000c, ...); any other encoding leaves them unknown.
struct CrashProcessorInfo {
  std::int64_t typeEncoding = 0;
  std::uint64_t type = 0;
  std::uint64_t subtype = 0;
};

struct CrashSystemInfo {
  // 0 Mac OS X, 1 iPhone OS, 2 simulator, 3 unknown (this platform reports 3).
  std::int32_t operatingSystem = 3;
  // 0 x86 32-bit, 1 x86 64-bit, 2 and 5 ARM, 3 PowerPC; others unknown.
  std::int32_t architecture = 1;
  std::string operatingSystemVersion;
  std::optional<std::string> operatingSystemBuild;
  std::chrono::system_clock::time_point timestamp;
};

struct CrashMachineInfo {
  std::optional<std::string> modelName;
  CrashProcessorInfo processorInfo;
};

struct CrashProcessInfo {
  std::optional<std::string> processName;
  std::uint64_t processID = 0;
  std::optional<std::string> processPath;
  std::optional<std::string> parentProcessName;
  std::uint64_t parentProcessID = 0;
};

struct CrashApplicationInfo {
  std::optional<std::string> applicationIdentifier;
  std::optional<std::string> applicationVersion;
};

struct CrashSignalInfo {
  std::string name;  // "SIGSEGV"
  std::string code;  // "SEGV_MAPERR", or "#<number>" for a code without a name
  std::uint64_t address = 0;
};

// One frame of a backtrace. The symbol, when known, names the function that contains the
// instruction pointer and where that function starts.
struct CrashStackFrame {
  std::uint64_t instructionPointer = 0;
  std::optional<std::string> symbolName;
  std::uint64_t symbolStart = 0;
};

struct CrashExceptionInfo {
  std::string exceptionName;    // the demangled type of the uncaught exception
  std::string exceptionReason;  // its what()
  std::vector<CrashStackFrame> stackFrames;
};

struct CrashRegister {
  std::string registerName;
  std::uint64_t registerValue = 0;
};

struct CrashThreadInfo {
  std::int64_t threadNumber = 0;
  bool crashed = false;
  std::vector<CrashStackFrame> stackFrames;
  std::vector<CrashRegister> registers;  // recorded for the crashed thread only
  std::uint64_t threadId = 0;            // the kernel's thread id; 0 when unknown
  std::optional<std::string> threadName;
};

struct CrashBinaryImage {
  std::uint64_t imageBaseAddress = 0;
  std::uint64_t imageSize = 0;
  std::string imageName;  // the full path
  bool hasImageUUID = false;
  std::string imageUUID;  // the GNU build id in hexadecimal on this platform
  std::optional<CrashProcessorInfo> codeType;
  // Load bias: what was added to the file's virtual addresses when it was mapped.
  std::uint64_t loadBias = 0;
};

// The whole report. Plain data: an application may build one by hand and format it with
// kstVelaFormatter.
struct CrashReport {
  CrashSystemInfo systemInfo;
  std::optional<CrashMachineInfo> machineInfo;
  std::optional<CrashProcessInfo> processInfo;
  CrashApplicationInfo applicationInfo;
  CrashSignalInfo signalInfo;
  std::optional<CrashExceptionInfo> exceptionInfo;
  std::vector<CrashThreadInfo> threads;
  std::vector<CrashBinaryImage> images;

  bool hasMachineInfo() const { return machineInfo.has_value(); }
  bool hasProcessInfo() const { return processInfo.has_value(); }
  bool hasExceptionInfo() const { return exceptionInfo.has_value(); }

  // The image whose range [base, base + size) holds address, or nullptr.
  const CrashBinaryImage* imageForAddress(std::uint64_t address) const {
    for (const CrashBinaryImage& image : images) {
      if (address >= image.imageBaseAddress && address - image.imageBaseAddress < image.imageSize)
        return &image;
    }
    return nullptr;
  }
};

}  // namespace zeplog
