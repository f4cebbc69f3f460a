// Pending crash reports on disk.
#include "crash/crash_report_file.hpp"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

#include "common/breadcrumbs.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"

namespace zeplog::detail {
namespace {

constexpr std::string_view kHeader = "zeplog-crash 1";
constexpr std::string_view kClaim = ".claim-";

// Mach CPU numbers for the ELF machines this library runs on.
std::optional<CrashProcessorInfo> codeTypeOfMachine(int elfMachine) {
  switch (elfMachine) {
    case 62:
      return CrashProcessorInfo{1, 0x1000007, 3};  // EM_X86_64: x86-64, all
    case 183:
      return CrashProcessorInfo{1, 0x100000c, 0};  // EM_AARCH64: ARM64, all
    case 3:
      return CrashProcessorInfo{1, 7, 3};  // EM_386
    case 40:
      return CrashProcessorInfo{1, 12, 9};  // EM_ARM: ARMv7
    default:
      return std::nullopt;
  }
}

std::string_view nextField(std::string_view& rest) {
  std::size_t space = rest.find(' ');
  std::string_view field = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return field;
}

template <typename T>
T number(std::string_view text, int base = 10) {
  T value{};
  std::from_chars(text.data(), text.data() + text.size(), value, base);
  return value;
}

// Undoes the handler's escapes and repairs what is not UTF-8 (a thread or file name may
// hold any bytes).
std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      char e = text[++i];
      out += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return toValidUtf8(out);
}

std::optional<std::string> optionalText(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return unescape(text);
}

bool processAlive(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The pid in "crash-<pid>-..." or in a claim suffix; 0 when there is none.
long leadingPid(std::string_view text) {
  long pid = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return ec == std::errc() ? pid : 0;
}

}  // namespace

std::string signalName(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    case SIGABRT:
      return "SIGABRT";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGSYS:
      return "SIGSYS";
    default:
      return "#" + std::to_string(signal);
  }
}

std::string signalCodeName(int signal, int code) {
  switch (code) {
    case SI_USER:
      return "SI_USER";
    case SI_TKILL:
      return "SI_TKILL";
    case SI_QUEUE:
      return "SI_QUEUE";
    case SI_KERNEL:
      return "SI_KERNEL";
    default:
      break;
  }
  struct Name {
    int signal, code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
      {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
      {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
      {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
      {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
      {SIGILL, ILL_PRVREG, "ILL_PRVREG"},    {SIGILL, ILL_COPROC, "ILL_COPROC"},
      {SIGILL, ILL_BADSTK, "ILL_BADSTK"},    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
      {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
      {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
      {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
      {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
      {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},   {SIGSYS, 1, "SYS_SECCOMP"},
  };
  for (const Name& n : kNames) {
    if (n.signal == signal && n.code == code) return n.name;
  }
  return "#" + std::to_string(code);
}

namespace {

// A report being read, line by line: what the lines so far have filled in.
struct ReportReading {
  CrashReport report;
  CrashMachineInfo machine;
  CrashProcessInfo process;
  bool haveProcess = false;
  CrashThreadInfo* thread = nullptr;  // the thread that "frame" and "reg" lines belong to
};

// "thread", "frame" and "reg" lines; false for any other key.
bool readThreadLine(ReportReading& r, std::string_view key, std::string_view rest) {
  if (key == "frame") {
    if (r.thread) r.thread->stackFrames.push_back({number<std::uint64_t>(rest, 16), {}, 0});
  } else if (key == "reg") {
    std::string_view name = nextField(rest);
    if (r.thread)
      r.thread->registers.push_back({std::string(name), number<std::uint64_t>(rest, 16)});
  } else if (key == "thread") {
    CrashThreadInfo t;
    t.threadId = number<std::uint64_t>(nextField(rest));
    t.crashed = nextField(rest) == "1";
    t.threadName = optionalText(rest);
    t.threadNumber = static_cast<std::int64_t>(r.report.threads.size());
    r.report.threads.push_back(std::move(t));
    r.thread = &r.report.threads.back();
  } else {
    return false;
  }
  return true;
}

// An "image" line: base, size, load bias, machine, build id ("-" for none), then the name.
void readImageLine(ReportReading& r, std::string_view rest) {
  CrashBinaryImage image;
  image.imageBaseAddress = number<std::uint64_t>(nextField(rest), 16);
  image.imageSize = number<std::uint64_t>(nextField(rest), 16);
  image.loadBias = number<std::uint64_t>(nextField(rest), 16);
  image.codeType = codeTypeOfMachine(number<int>(nextField(rest)));
  std::string_view buildId = nextField(rest);
  image.hasImageUUID = buildId != "-" && !buildId.empty();
  if (image.hasImageUUID) image.imageUUID = std::string(buildId);
  image.imageName = unescape(rest);
  r.report.images.push_back(std::move(image));
}

// The crash itself: "time", "signal", "exception-name", "exception-reason"; false for any
// other key.
bool readCrashLine(ReportReading& r, std::string_view key, std::string_view rest) {
  CrashReport& report = r.report;
  if (key == "time") {
    report.systemInfo.timestamp =
        std::chrono::system_clock::from_time_t(number<std::int64_t>(rest));
  } else if (key == "signal") {
    const int sig = number<int>(nextField(rest));
    const int code = number<int>(nextField(rest));
    report.signalInfo = {signalName(sig), signalCodeName(sig, code),
                         number<std::uint64_t>(rest, 16)};
  } else if (key == "exception-name") {
    if (!report.exceptionInfo) report.exceptionInfo.emplace();
    report.exceptionInfo->exceptionName = unescape(rest);
  } else if (key == "exception-reason") {
    if (!report.exceptionInfo) report.exceptionInfo.emplace();
    report.exceptionInfo->exceptionReason = unescape(rest);
  } else {
    return false;
  }
  return true;
}

// The machine and the process: "arch", "os-version", "os-build", "model", "process", "path",
// "parent". Keys of none of the groups ("end", keys of later versions) need nothing.
void readSystemLine(ReportReading& r, std::string_view key, std::string_view rest) {
  if (key == "arch") {
    r.report.systemInfo.architecture = rest == "x86_64" ? 1 : 6;
    if (rest == "x86_64") r.machine.processorInfo = {1, 0x1000007, 3};
    if (rest == "arm64") r.machine.processorInfo = {1, 0x100000c, 0};
  } else if (key == "os-version") {
    r.report.systemInfo.operatingSystemVersion = unescape(rest);
  } else if (key == "os-build") {
    r.report.systemInfo.operatingSystemBuild = optionalText(rest);
  } else if (key == "model") {
    r.machine.modelName = optionalText(rest);
  } else if (key == "process") {
    r.haveProcess = true;
    r.process.processID = number<std::uint64_t>(nextField(rest));
    r.process.processName = optionalText(rest);
  } else if (key == "path") {
    r.process.processPath = optionalText(rest);
  } else if (key == "parent") {
    r.process.parentProcessID = number<std::uint64_t>(nextField(rest));
    r.process.parentProcessName = optionalText(rest);
  }
}

}  // namespace

std::optional<CrashReport> parseCrashReport(std::string_view data) {
  std::size_t firstBreak = data.find('\n');
  if (data.substr(0, firstBreak) != kHeader) return std::nullopt;
  ReportReading r;
  r.report.systemInfo.operatingSystem = 3;  // neither macOS nor iOS

  std::size_t at = firstBreak == std::string_view::npos ? data.size() : firstBreak + 1;
  while (at < data.size()) {
    std::size_t end = data.find('\n', at);
    if (end == std::string_view::npos) end = data.size();
    std::string_view rest = data.substr(at, end - at);
    at = end + 1;
    const std::string_view key = nextField(rest);
    if (key == "image") {
      readImageLine(r, rest);
    } else if (!readThreadLine(r, key, rest) && !readCrashLine(r, key, rest)) {
      readSystemLine(r, key, rest);
    }
  }
  r.report.machineInfo = r.machine;
  if (r.haveProcess) {
    r.report.processInfo = r.process;
    r.report.applicationInfo.applicationIdentifier = r.process.processName;
  }
  return std::move(r.report);
}

std::string breadcrumbsOfReport(std::string_view data) {
  std::string out;
  std::size_t at = 0;
  while (at < data.size()) {
    std::size_t end = data.find('\n', at);
    if (end == std::string_view::npos) end = data.size();
    std::string_view rest = data.substr(at, end - at);
    at = end + 1;
    if (!rest.starts_with("crumb ")) continue;
    rest.remove_prefix(6);
    const auto timeMs = number<std::int64_t>(nextField(rest));
    const auto levelSize = number<std::size_t>(nextField(rest));
    const auto codeSize = number<std::size_t>(nextField(rest));
    // The handler escaped only "\\", line feeds and carriage returns.
    std::string text;
    text.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
      char c = rest[i];
      if (c == '\\' && i + 1 < rest.size()) {
        const char e = rest[++i];
        c = e == 'n' ? '\n' : e == 'r' ? '\r' : e;
      }
      text += c;
    }
    if (levelSize + codeSize > text.size()) continue;
    const std::string_view all(text);
    out += breadcrumbLine(timeMs, all.substr(0, levelSize), all.substr(levelSize, codeSize),
                          all.substr(levelSize + codeSize));
    out += '\n';
  }
  return out;
}

bool PendingCrashReport::hasPendingCrashReport() const { return fileExists(path_); }

std::optional<std::string> PendingCrashReport::loadPendingCrashReportDataAndReturnError(
    std::string* error) const {
  return readWholeFile(path_, error);
}

bool PendingCrashReport::purgePendingCrashReport() const {
  ::unlink(crashEventPathFor(path_).c_str());
  return ::unlink(path_.c_str()) == 0 || errno == ENOENT;
}

namespace {

// A file's pending path: without the claim suffix a sending process gave it.
std::string pendingPathOf(const std::string& path) {
  const std::size_t c = path.rfind(kClaim);
  return c == std::string::npos ? path : path.substr(0, c);
}

}  // namespace

std::string crashEventPathFor(const std::string& reportPath) {
  return pendingPathOf(reportPath) + ".event";
}

std::string minidumpNameFor(const std::string& reportName) {
  const std::string_view name(reportName);
  return std::string(name.substr(0, name.rfind('.'))) + std::string(kMinidumpSuffix);
}

std::string minidumpFieldsPathFor(const std::string& minidumpPath) {
  return pendingPathOf(minidumpPath) + ".fields";
}

std::string minidumpUploadName(const std::string& minidumpPath) {
  const std::string pending = pendingPathOf(minidumpPath);
  return pending.substr(pending.rfind('/') + 1);
}

CrashReportNames crashReportNames(long pid, long long stamp) {
  std::string base = "crash-" + std::to_string(pid) + "-" + std::to_string(stamp);
  return {base + ".zcr", base + ".tmp", base + ".dmp", base + ".dmp.tmp"};
}

std::vector<std::string> claimStaleCrashReports(const std::string& dir,
                                                const std::string& ownReportName,
                                                std::string_view suffix) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  const std::string ownClaim = std::string(kClaim) + std::to_string(::getpid());
  std::vector<std::string> claimed;
  for (const std::string& name : names) {
    std::string_view n = name;
    if (!n.starts_with("crash-")) continue;
    const long writer = leadingPid(n.substr(6));
    std::string pending;  // the pending name of a report to claim
    if (n.ends_with(suffix)) {
      if (name == ownReportName) continue;
      // A live writer is sending its report itself (a crashing process, a forked child
      // that crashed); claiming it too would send it twice.
      if (writer != ::getpid() && processAlive(writer)) continue;
      pending = name;
    } else if (std::size_t c = n.find(kClaim); c != std::string_view::npos) {
      if (processAlive(leadingPid(n.substr(c + kClaim.size())))) continue;
      pending = name.substr(0, c);
      if (!std::string_view(pending).ends_with(suffix)) continue;
    } else if (n.ends_with(".tmp")) {
      if (!processAlive(writer)) ::unlink(joinPath(dir, name).c_str());
      continue;
    } else {
      continue;
    }
    const std::string target = joinPath(dir, pending + ownClaim);
    if (::rename(joinPath(dir, name).c_str(), target.c_str()) == 0) claimed.push_back(target);
  }
  return claimed;
}

void releaseCrashReportClaim(const std::string& claimedPath) {
  std::size_t c = claimedPath.rfind(kClaim);
  if (c == std::string::npos) return;
  ::rename(claimedPath.c_str(), claimedPath.substr(0, c).c_str());
}

}  // namespace zeplog::detail
