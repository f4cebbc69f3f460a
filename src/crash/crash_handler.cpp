// The in-process crash handler.
//
// Everything between the signal and the hand-off runs inside a signal handler of a thread
// that has just crashed: only async-signal-safe calls (open, read, write, rename, readlink,
// getdents64, tgkill, poll, clock_gettime, sigaction), no allocation, no locks, no stdio.
// Buffers are static: one thread at a time gets past the entry guard. The unwinder is
// libunwind in local-only mode with caching off, whose init and step are signal-safe.
//
// The report is a line-oriented text of our own ("key value" per line) that the upload
// thread or a later start parses (crash_report_file.cpp). It is written to a temporary file
// and renamed into place, so a report is either whole or absent.
#include "crash/crash_handler.hpp"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <fcntl.h>
#include <libunwind.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "common/alt_signal_stack.hpp"
#include "common/breadcrumbs.hpp"
#include "common/global_lock.hpp"
#include "crash/crash_threads.hpp"
#include "crash/loaded_images.hpp"
#include "crash/minidump_writer.hpp"
#include "crash/signal_safe_io.hpp"
#include "crash/thread_capture.hpp"

namespace zeplog::detail {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr std::size_t kPathMax = 4096;

// ---- State prepared when capture is armed (read-only afterwards) -------------------------

char g_dataDirectory[kPathMax];
char g_reportPath[kPathMax];
char g_tempPath[kPathMax];
char g_minidumpPath[kPathMax];  // empty: no minidump
char g_minidumpTempPath[kPathMax];
int g_wakeFd = -1;
int g_doneFd = -1;
pid_t g_armPid = 0;
struct sigaction g_previous[NSIG];
std::terminate_handler g_previousTerminate = nullptr;
char g_osRelease[128];
char g_osVersion[256];
char g_model[256];
std::atomic<pid_t> g_uploadTid{0};

// ---- Crash-time state ---------------------------------------------------------------------

// The thread that is handling a crash; 0 while none is.
std::atomic<pid_t> g_crashingTid{0};
CrashHandOff g_handOff;

// Set by the terminate handler before it lets the process abort.
std::atomic<bool> g_hasException{false};
char g_exceptionName[512];
char g_exceptionReason[4096];

ThreadCapture g_selfCapture;  // the crashed thread's

bool minidumpWanted() { return kMinidumpSupported && g_minidumpPath[0] != '\0'; }

// ---- The report ----------------------------------------------------------------------------

// Opens the minidump's temporary file and starts it with the crashed thread's capture
// taken first, while nothing else has run; nullptr when no minidump is written.
MinidumpWriter* beginMinidump(void* ucontext, int* fd) {
  *fd = -1;
  if (!minidumpWanted()) return nullptr;
  *fd = ::open(g_minidumpTempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (*fd < 0) return nullptr;
  captureThread(static_cast<const ucontext_t*>(ucontext), g_selfCapture);
  alignas(MinidumpWriter) static unsigned char storage[sizeof(MinidumpWriter)];
  auto* writer = new (storage) MinidumpWriter();
  writer->begin(*fd);
  return writer;
}

void finishMinidump(MinidumpWriter* minidump, int fd, int sig, const siginfo_t* info, pid_t self) {
  if (!minidump) return;
  minidump->finish({sig, info->si_code, reinterpret_cast<std::uint64_t>(info->si_addr), self});
  ::close(fd);
  (void)::rename(g_minidumpTempPath, g_minidumpPath);
}

void writeReport(int sig, const siginfo_t* info, void* ucontext, pid_t self) {
  (void)::mkdir(g_dataDirectory, 0700);
  int dumpFd = -1;
  MinidumpWriter* minidump = beginMinidump(ucontext, &dumpFd);
  // Without its text report the minidump is still written: the writes to a descriptor that
  // failed to open go nowhere.
  int fd = ::open(g_tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  {
    static RawWriter* writer;
    alignas(RawWriter) static unsigned char writerStorage[sizeof(RawWriter)];
    writer = new (writerStorage) RawWriter(fd);
    RawWriter& w = *writer;

    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    w.str("zeplog-crash 1\n");
    w.str("time ").dec(now.tv_sec).ch('\n');
    w.str("signal ").dec(sig).ch(' ').dec(info->si_code).ch(' ');
    w.hex(reinterpret_cast<std::uint64_t>(info->si_addr)).ch('\n');
    if (g_hasException.load()) {
      w.str("exception-name ").text(g_exceptionName).ch('\n');
      w.str("exception-reason ").text(g_exceptionReason).ch('\n');
    }
#if defined(__x86_64__)
    w.str("arch x86_64\n");
#elif defined(__aarch64__)
    w.str("arch arm64\n");
#endif
    w.str("os-version ").text(g_osRelease).ch('\n');
    w.str("os-build ").text(g_osVersion).ch('\n');
    w.str("model ").text(g_model).ch('\n');

    char text[256];
    std::size_t n = readSmallFile("/proc/self/comm", text, sizeof text);
    w.str("process ").dec(::getpid()).ch(' ').text(text, n).ch('\n');
    static char exe[kPathMax];
    ssize_t len = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len > 0) w.str("path ").text(exe, static_cast<std::size_t>(len)).ch('\n');
    const pid_t parent = ::getppid();
    PathBuilder parentComm;
    parentComm.add("/proc/").add(std::int64_t{parent}).add("/comm");
    n = readSmallFile(parentComm.c_str(), text, sizeof text);
    w.str("parent ").dec(parent).ch(' ').text(text, n).ch('\n');
    // The last log calls, oldest first: "crumb <ms> <level size> <code size> <texts>".
    breadcrumbs().forEach([&](const Breadcrumb& b) {
      w.str("crumb ").dec(b.timeMs).ch(' ').dec(b.levelSize).ch(' ').dec(b.codeSize).ch(' ');
      w.text(b.text, b.levelSize + b.codeSize + b.messageSize).ch('\n');
    });
    w.flush();

    writeThreads(w, self, ucontext, minidump, &g_selfCapture);
    w.flush();
    writeLoadedImages(w);
    w.str("end\n");
    w.flush();
    writer->~RawWriter();
  }
  finishMinidump(minidump, dumpFd, sig, info, self);
  if (fd < 0) return;
  ::close(fd);
  (void)::rename(g_tempPath, g_reportPath);
}

// Wakes the upload thread and waits for it, until the hand-off's bound.
void handOff() {
  char byte = 1;
  if (::write(g_wakeFd, &byte, 1) != 1) return;
  (void)waitReadableUntil(g_doneFd, g_handOff.crashMonotonicNs.load() + kCrashHandOffBoundNs);
}

bool isCustomHandler(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

// Ends the handling: the default action of the signal, delivered when the handler returns
// (the signal stays blocked until then).
void dieBySignal(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sysTgkill(::getpid(), sysGettid(), sig);
}

// Gives the signal to whoever had it before us: an earlier handler is called as the kernel
// would have called it; otherwise the process dies by the signal.
void passOn(int sig, siginfo_t* info, void* ucontext) {
  const struct sigaction& previous = g_previous[sig];
  ::sigaction(sig, &previous, nullptr);
  if (isCustomHandler(previous)) {
    if (previous.sa_flags & SA_SIGINFO) {
      previous.sa_sigaction(sig, info, ucontext);
    } else {
      previous.sa_handler(sig);
    }
    return;
  }
  dieBySignal(sig);  // an ignored crash signal would fault again forever: it is not honoured
}

void crashSignalHandler(int sig, siginfo_t* info, void* ucontext) {
  const int savedErrno = errno;
  const pid_t self = sysGettid();
  // A forked child inherits the handlers but not the upload thread or its pipes' reader.
  if (::getpid() != g_armPid) {
    passOn(sig, info, ucontext);
    errno = savedErrno;
    return;
  }
  pid_t idle = 0;
  if (!g_crashingTid.compare_exchange_strong(idle, self)) {
    if (idle == self || self == g_uploadTid.load()) {
      // A crash inside the crash path itself: the report already written (or not) stays
      // for the next start; waiting here could only wait for ourselves.
      dieBySignal(sig);
    } else {
      // Another thread is reporting its crash and will end the process; wait for that.
      std::int64_t since = g_handOff.crashMonotonicNs.load();
      if (since == 0) since = monotonicNs();  // it has only just begun
      const std::int64_t leftMs = (since + kCrashHandOffBoundNs - monotonicNs()) / 1'000'000;
      if (leftMs > 0) ::poll(nullptr, 0, static_cast<int>(leftMs));
      passOn(sig, info, ucontext);
    }
    errno = savedErrno;
    return;
  }

  g_handOff.crashMonotonicNs = monotonicNs();
  g_handOff.crashedThreadHeldGlobalLock = GlobalResourceLock::heldByThisThread();
  // Log calls other threads make from now on must not push out the last ones before the crash.
  breadcrumbs().freeze(true);
  writeReport(sig, info, ucontext, self);
  breadcrumbs().freeze(false);
  if (self != g_uploadTid.load()) handOff();
  passOn(sig, info, ucontext);
  errno = savedErrno;
}

// Records an uncaught exception's type and what(), then lets the earlier terminate handler
// (normally the one that prints the exception and aborts) end the process.
[[noreturn]] void terminateHandler() {
  if (std::type_info* type = abi::__cxa_current_exception_type()) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    copyText(g_exceptionName, sizeof g_exceptionName,
             status == 0 && demangled ? demangled : type->name());
    std::free(demangled);
    g_exceptionReason[0] = '\0';
    try {
      std::rethrow_exception(std::current_exception());
    } catch (const std::exception& e) {
      copyText(g_exceptionReason, sizeof g_exceptionReason, e.what());
    } catch (...) {
    }
    g_hasException.store(true);
  }
  if (g_previousTerminate) g_previousTerminate();
  std::abort();
}

void readArmTimeFacts() {
  struct utsname u {};
  if (::uname(&u) == 0) {
    copyText(g_osRelease, sizeof g_osRelease, u.release);
    copyText(g_osVersion, sizeof g_osVersion, u.version);
    copyText(g_model, sizeof g_model, u.machine);
  }
  char product[256];
  if (readSmallFile("/sys/devices/virtual/dmi/id/product_name", product, sizeof product) > 0)
    copyText(g_model, sizeof g_model, product);
}

}  // namespace

std::int64_t monotonicNs() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

bool waitReadableUntil(int fd, std::int64_t untilNs) {
  for (;;) {
    const std::int64_t leftMs = (untilNs - monotonicNs()) / 1'000'000;
    if (leftMs <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(leftMs));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

namespace {

// Points the handler at this process's report, upload thread and answer pipe.
bool setReportTargets(const CrashHandlerSetup& setup, std::string* error) {
  if (setup.reportPath.size() >= kPathMax || setup.tempPath.size() >= kPathMax ||
      setup.dataDirectory.size() >= kPathMax || setup.minidumpPath.size() >= kPathMax ||
      setup.minidumpTempPath.size() >= kPathMax) {
    if (error) *error = "data directory path is too long";
    return false;
  }
  if (!openThreadAnswerPipe(error)) return false;
  copyText(g_dataDirectory, sizeof g_dataDirectory, setup.dataDirectory.c_str());
  copyText(g_reportPath, sizeof g_reportPath, setup.reportPath.c_str());
  copyText(g_tempPath, sizeof g_tempPath, setup.tempPath.c_str());
  copyText(g_minidumpPath, sizeof g_minidumpPath, setup.minidumpPath.c_str());
  copyText(g_minidumpTempPath, sizeof g_minidumpTempPath, setup.minidumpTempPath.c_str());
  g_wakeFd = setup.wakeFd;
  g_doneFd = setup.doneFd;
  g_armPid = ::getpid();
  return true;
}

}  // namespace

bool installCrashHandlers(const CrashHandlerSetup& setup, std::string* error) {
  if (!setReportTargets(setup, error)) return false;
  readArmTimeFacts();
  prepareMinidumpSystemFacts();

  // The unwinder's caches take locks; a crash may interrupt their holder.
  unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_NONE);

  installAltSignalStack();

  installThreadDumpHandler();

  struct sigaction crash {};
  crash.sa_sigaction = crashSignalHandler;
  crash.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&crash.sa_mask);
  for (int sig : kCrashSignals) {
    if (::sigaction(sig, &crash, &g_previous[sig]) != 0) {
      if (error) *error = std::string("sigaction: ") + std::strerror(errno);
      for (int undo : kCrashSignals) {
        if (undo == sig) break;
        ::sigaction(undo, &g_previous[undo], nullptr);
      }
      return false;
    }
  }
  g_previousTerminate = std::set_terminate(terminateHandler);
  return true;
}

void forgetParentCrashStateInChild() {
  // A crash the parent was handling at the fork is not this process's, nor is its upload
  // thread.
  g_crashingTid.store(0);
  g_uploadTid.store(0);
  forgetThreadDumpRequest();
  g_handOff.crashMonotonicNs.store(0);
  g_handOff.crashedThreadHeldGlobalLock.store(false);
}

bool rearmCrashHandlersInChild(const CrashHandlerSetup& setup, std::string* error) {
  // The parent's answer pipe is its own business; the child's copies only go.
  closeThreadAnswerPipe();
  return setReportTargets(setup, error);
}

void setCrashUploadThreadId(pid_t tid) { g_uploadTid.store(tid); }

const CrashHandOff& crashHandOff() { return g_handOff; }

}  // namespace zeplog::detail
