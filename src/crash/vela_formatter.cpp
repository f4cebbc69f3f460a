// The crash report's plain-text form.
#include "zeplog/vela_formatter.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "common/uuid.hpp"

namespace zeplog {
namespace {

constexpr std::uint64_t kCpuX86 = 7;
constexpr std::uint64_t kCpuArm = 12;
constexpr std::uint64_t kCpuPowerPC = 18;
constexpr std::uint64_t kCpuX86_64 = 0x1000007;
constexpr std::uint64_t kCpuArm64 = 0x100000c;

// printf into a string; every format here is short, so one pass into a stack buffer serves
// and a longer result (a long symbol or path) takes a second, exact pass.
[[gnu::format(printf, 2, 3)]] void appendf(std::string& out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
  } else if (n > 0) {
    std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, again);
    out.resize(at + static_cast<std::size_t>(n));
  }
  va_end(again);
}

// What a string formatter prints for text that may be absent.
const char* orNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

std::string_view lastPathComponent(std::string_view path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct CodeType {
  std::string name;
  bool is64 = true;
};

// The first image with a known Mach CPU type decides; without one, the report's
// architecture does.
CodeType codeTypeOf(const CrashReport& report) {
  for (const CrashBinaryImage& image : report.images) {
    if (!image.codeType || image.codeType->typeEncoding != 1) continue;
    switch (image.codeType->type) {
      case kCpuX86:
        return {"X86", false};
      case kCpuArm:
        return {"ARM", false};
      case kCpuPowerPC:
        return {"PPC", false};
      case kCpuX86_64:
        return {"X86-64", true};
      case kCpuArm64:
        return {"ARM-64", true};
      default:
        break;
    }
  }
  const std::int32_t arch = report.systemInfo.architecture;
  switch (arch) {
    case 0:
      return {"X86", false};
    case 1:
      return {"X86-64", true};
    case 2:
    case 5:
      return {"ARM", false};
    case 3:
      return {"PPC", false};
    default: {
      std::string name;
      appendf(name, "Unknown (%d)", arch);
      return {name, true};
    }
  }
}

std::string osName(std::int32_t os) {
  if (os == 0 || os == 2) return "Mac OS X";
  if (os == 1) return "iPhone OS";
  std::string name;
  appendf(name, "Unknown (%d)", os);
  return name;
}

std::string archNameOf(const CrashBinaryImage& image) {
  if (!image.codeType || image.codeType->typeEncoding != 1) return "???";
  const std::uint64_t subtype = image.codeType->subtype;
  switch (image.codeType->type) {
    case kCpuX86:
      return "i386";
    case kCpuArm:
      if (subtype == 6) return "armv6";
      if (subtype == 9) return "armv7";
      if (subtype == 11) return "armv7s";
      return "arm-unknown";
    case kCpuPowerPC:
      return "powerpc";
    case kCpuX86_64:
      return "x86_64";
    case kCpuArm64:
      if (subtype == 0) return "arm64";
      if (subtype == 13) return "armv8";
      return "arm64-unknown";
    default:
      return "???";
  }
}

// The timestamp as the platform's default date description renders it, in UTC.
std::string dateText(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buffer;
}

void appendRegisters(std::string& out, const CrashReport& report, const CrashThreadInfo& thread,
                     bool is64) {
  const bool armMachine = report.machineInfo &&
                          report.machineInfo->processorInfo.typeEncoding == 1 &&
                          (report.machineInfo->processorInfo.type & 0xffffff) == kCpuArm;
  std::size_t written = 0;
  bool justBroke = false;
  for (const CrashRegister& reg : thread.registers) {
    const char* name = reg.registerName.c_str();
    if (armMachine && reg.registerName == "r12") name = "ip";
    if (is64) {
      appendf(out, "%6s: 0x%016llx ", name, static_cast<unsigned long long>(reg.registerValue));
    } else {
      appendf(out, "%6s: 0x%08llx ", name, static_cast<unsigned long long>(reg.registerValue));
    }
    justBroke = false;
    if (++written % 4 == 0) {
      out += '\n';
      justBroke = true;
    }
  }
  if (!thread.registers.empty() && !justBroke) out += '\n';
}

}  // namespace

std::optional<std::string> kstVelaFormatter::uuid() {
  std::string id = detail::generateUUID();
  if (id.empty()) return std::nullopt;
  return id;
}

std::optional<std::string> kstVelaFormatter::reportKey() { return std::nullopt; }

int kst_sdk_binaryImageSort(const CrashBinaryImage& a, const CrashBinaryImage& b,
                            void* /*context*/) {
  if (a.imageBaseAddress < b.imageBaseAddress) return -1;
  if (a.imageBaseAddress > b.imageBaseAddress) return 1;
  return 0;
}

std::string kstVelaFormatter::formatStackFrame(const CrashStackFrame& frame,
                                               std::uint64_t frameIndex,
                                               const CrashReport& report) {
  const CrashBinaryImage* image = report.imageForAddress(frame.instructionPointer);
  std::string name = image ? std::string(lastPathComponent(image->imageName)) : "???";
  const auto ip = static_cast<unsigned long long>(frame.instructionPointer);
  std::string line;
  if (frame.symbolName) {
    // A symbolicated frame names the function and the offset into it, as symbolicated
    // Apple crash logs do.
    const auto offset = static_cast<long long>(frame.instructionPointer - frame.symbolStart);
    appendf(line, "%-4ld%-36s0x%08llx %s + %lld\n", static_cast<long>(frameIndex), name.c_str(), ip,
            frame.symbolName->c_str(), offset);
    return line;
  }
  const std::uint64_t base = image ? image->imageBaseAddress : 0;
  const std::uint64_t offset = image ? frame.instructionPointer - base : 0;
  appendf(line, "%-4ld%-36s0x%08llx 0x%llx + %lld\n", static_cast<long>(frameIndex), name.c_str(),
          ip, static_cast<unsigned long long>(base), static_cast<long long>(offset));
  return line;
}

namespace {

// The header: the report's identity, the process, the system and the exception.
void appendHeader(std::string& out, const CrashReport& report, const CodeType& codeType) {
  const std::string hardwareModel = report.machineInfo && report.machineInfo->modelName
                                        ? *report.machineInfo->modelName
                                        : std::string("???");
  std::string processName = "???", processId = "???", processPath = "???", parentName = "???",
              parentId = "???";
  if (report.processInfo) {
    const CrashProcessInfo& p = *report.processInfo;
    processName = p.processName.value_or("???");
    processId = std::to_string(p.processID);
    processPath = p.processPath.value_or("???");
    parentName = p.parentProcessName.value_or("???");
    parentId = std::to_string(p.parentProcessID);
  }
  const CrashSystemInfo& sys = report.systemInfo;

  appendf(out, "Incident Identifier: %s\n", orNull(kstVelaFormatter::uuid()));
  appendf(out, "CrashReporter Key:   %s\n", orNull(kstVelaFormatter::reportKey()));
  appendf(out, "Hardware Model:      %s\n", hardwareModel.c_str());
  appendf(out, "Process:         %s [%s]\n", processName.c_str(), processId.c_str());
  appendf(out, "Path:            %s\n", processPath.c_str());
  appendf(out, "Identifier:      %s\n", orNull(report.applicationInfo.applicationIdentifier));
  appendf(out, "Version:         %s\n", orNull(report.applicationInfo.applicationVersion));
  appendf(out, "Code Type:       %s\n", codeType.name.c_str());
  appendf(out, "Parent Process:  %s [%s]\n", parentName.c_str(), parentId.c_str());
  out += '\n';

  appendf(out, "Date/Time:       %s\n", dateText(sys.timestamp).c_str());
  appendf(out, "OS Version:      %s %s (%s)\n", osName(sys.operatingSystem).c_str(),
          sys.operatingSystemVersion.c_str(), sys.operatingSystemBuild.value_or("???").c_str());
  out += "Report Version:  104\n\n";

  appendf(out, "Exception Type:  %s\n", report.signalInfo.name.c_str());
  appendf(out, "Exception Codes: %s at 0x%llx\n", report.signalInfo.code.c_str(),
          static_cast<unsigned long long>(report.signalInfo.address));
  for (const CrashThreadInfo& thread : report.threads) {
    if (thread.crashed) {
      appendf(out, "Crashed Thread:  %ld\n", static_cast<long>(thread.threadNumber));
      break;
    }
  }
  out += '\n';

  if (report.exceptionInfo) {
    out += "Application Specific Information:\n";
    appendf(out, "*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
            report.exceptionInfo->exceptionName.c_str(),
            report.exceptionInfo->exceptionReason.c_str());
    out += '\n';
  }
}

// Every thread's backtrace, then the uncaught exception's as one more thread. Returns the
// crashed thread, or nullptr.
const CrashThreadInfo* appendThreads(std::string& out, const CrashReport& report) {
  std::int64_t highestThread = 0;
  const CrashThreadInfo* crashedThread = nullptr;
  for (const CrashThreadInfo& thread : report.threads) {
    const long number = static_cast<long>(thread.threadNumber);
    if (thread.threadName && !thread.threadName->empty())
      appendf(out, "Thread %ld name:  %s\n", number, thread.threadName->c_str());
    if (thread.crashed) {
      appendf(out, "Thread %ld Crashed:\n", number);
      crashedThread = &thread;
    } else {
      appendf(out, "Thread %ld:\n", number);
    }
    for (std::size_t i = 0; i < thread.stackFrames.size(); ++i)
      out += kstVelaFormatter::formatStackFrame(thread.stackFrames[i], i, report);
    out += '\n';
    highestThread = std::max(highestThread, thread.threadNumber);
  }

  if (report.exceptionInfo && !report.exceptionInfo->stackFrames.empty()) {
    const long n = static_cast<long>(highestThread + 1);
    appendf(out, "Thread %ld name:  Exception Backtrace\n", n);
    appendf(out, "Thread %ld:\n", n);
    const auto& frames = report.exceptionInfo->stackFrames;
    for (std::size_t i = 0; i < frames.size(); ++i)
      out += kstVelaFormatter::formatStackFrame(frames[i], i, report);
    out += '\n';
  }
  return crashedThread;
}

// The loaded images, ordered by base address; the main executable marked "+".
void appendBinaryImages(std::string& out, const CrashReport& report, const CodeType& codeType) {
  out += "Binary Images:\n";
  std::vector<const CrashBinaryImage*> images;
  images.reserve(report.images.size());
  for (const CrashBinaryImage& image : report.images) images.push_back(&image);
  std::stable_sort(images.begin(), images.end(), [](const auto* a, const auto* b) {
    return kst_sdk_binaryImageSort(*a, *b, nullptr) < 0;
  });
  const std::string path = report.processInfo && report.processInfo->processPath
                               ? *report.processInfo->processPath
                               : std::string();
  for (const CrashBinaryImage* image : images) {
    const auto base = static_cast<unsigned long long>(image->imageBaseAddress);
    const auto end = base + std::max<unsigned long long>(image->imageSize, 1) - 1;
    const char* plus =
        report.processInfo && report.processInfo->processPath && image->imageName == path ? "+"
                                                                                          : " ";
    const std::string shortName(lastPathComponent(image->imageName));
    const std::string uuidText = image->hasImageUUID ? image->imageUUID : std::string("???");
    if (codeType.is64) {
      appendf(out, "%#18llx - %#18llx %s%s %s  <%s> %s\n", base, end, plus, shortName.c_str(),
              archNameOf(*image).c_str(), uuidText.c_str(), image->imageName.c_str());
    } else {
      appendf(out, "%#10llx - %#10llx %s%s %s  <%s> %s\n", base, end, plus, shortName.c_str(),
              archNameOf(*image).c_str(), uuidText.c_str(), image->imageName.c_str());
    }
  }
}

}  // namespace

std::string kstVelaFormatter::stringValueForCrashReport(const CrashReport& report,
                                                        std::int32_t /*textFormat*/) {
  std::string out;
  out.reserve(8192);
  const CodeType codeType = codeTypeOf(report);
  appendHeader(out, report, codeType);
  const CrashThreadInfo* crashedThread = appendThreads(out, report);
  if (crashedThread) {
    appendf(out, "Thread %ld crashed with %s Thread State:\n",
            static_cast<long>(crashedThread->threadNumber), codeType.name.c_str());
    appendRegisters(out, report, *crashedThread, codeType.is64);
    out += '\n';
  }
  appendBinaryImages(out, report, codeType);
  return out;
}

}  // namespace zeplog
