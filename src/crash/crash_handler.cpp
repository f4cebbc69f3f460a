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
#include <sys/syscall.h>
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
#include "crash/loaded_images.hpp"
#include "crash/minidump_writer.hpp"
#include "crash/signal_safe_io.hpp"
#include "crash/thread_capture.hpp"

namespace zeplog::detail {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
constexpr int kMaxFrames = 128;
constexpr int kMaxThreads = 512;
constexpr std::int64_t kThreadDumpBudgetNs = 2'000'000'000;  // all other threads together
constexpr int kThreadDumpWaitMs = 200;                       // one thread
constexpr std::size_t kPathMax = 4096;

// ---- State prepared when capture is armed (read-only afterwards) -------------------------

char g_dataDirectory[kPathMax];
char g_reportPath[kPathMax];
char g_tempPath[kPathMax];
char g_minidumpPath[kPathMax];  // empty: no minidump
char g_minidumpTempPath[kPathMax];
int g_wakeFd = -1;
int g_doneFd = -1;
int g_ackRead = -1;  // thread-backtrace answers: one byte per answer
int g_ackWrite = -1;
int g_threadDumpSignal = 0;
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

// One thread-backtrace request at a time. g_dumpState: 0 idle, a thread id while that thread
// is asked, kDumpWriting while it copies its answer, kDumpDone when the answer is complete.
// A late answer to a request that has been given up finds another value and is dropped.
constexpr pid_t kDumpWriting = -1;
constexpr pid_t kDumpDone = -2;
std::atomic<pid_t> g_dumpState{0};
std::uint64_t g_dumpFrames[kMaxFrames];
int g_dumpCount = 0;
ThreadCapture g_dumpCapture;  // the asked thread's registers and stack, for the minidump
ThreadCapture g_selfCapture;  // the crashed thread's

bool minidumpWanted() { return kMinidumpSupported && g_minidumpPath[0] != '\0'; }

pid_t sysGettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
int sysTgkill(pid_t pid, pid_t tid, int sig) {
  return static_cast<int>(::syscall(SYS_tgkill, pid, tid, sig));
}

// ---- Registers and frames ------------------------------------------------------------------

void writeRegisters(RawWriter& w, const ucontext_t* uc) {
  auto reg = [&](const char* name, std::uint64_t value) {
    w.str("reg ").str(name).ch(' ').hex(value).ch('\n');
  };
#if defined(__x86_64__)
  const greg_t* g = uc->uc_mcontext.gregs;
  static constexpr struct {
    const char* name;
    int index;
  } kRegs[] = {
      {"rax", REG_RAX},       {"rbx", REG_RBX},    {"rcx", REG_RCX},       {"rdx", REG_RDX},
      {"rdi", REG_RDI},       {"rsi", REG_RSI},    {"rbp", REG_RBP},       {"rsp", REG_RSP},
      {"r8", REG_R8},         {"r9", REG_R9},      {"r10", REG_R10},       {"r11", REG_R11},
      {"r12", REG_R12},       {"r13", REG_R13},    {"r14", REG_R14},       {"r15", REG_R15},
      {"rip", REG_RIP},       {"eflags", REG_EFL}, {"csgsfs", REG_CSGSFS}, {"err", REG_ERR},
      {"trapno", REG_TRAPNO}, {"cr2", REG_CR2}};
  for (const auto& r : kRegs) reg(r.name, static_cast<std::uint64_t>(g[r.index]));
#elif defined(__aarch64__)
  const auto& m = uc->uc_mcontext;
  static constexpr const char* kNames[] = {"x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",
                                           "x8",  "x9",  "x10", "x11", "x12", "x13", "x14", "x15",
                                           "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
                                           "x24", "x25", "x26", "x27", "x28"};
  for (int i = 0; i < 29; ++i) reg(kNames[i], m.regs[i]);
  reg("fp", m.regs[29]);
  reg("lr", m.regs[30]);
  reg("sp", m.sp);
  reg("pc", m.pc);
  reg("pstate", m.pstate);
#else
  (void)uc;
  (void)reg;
#endif
}

// The frames of the thread that received the signal, starting at the interrupted
// instruction.
int unwindSignalFrame(void* ucontext, std::uint64_t* out, int max) {
  unw_cursor_t cursor;
  if (unw_init_local2(&cursor, static_cast<unw_context_t*>(ucontext), UNW_INIT_SIGNAL_FRAME) != 0)
    return 0;
  int n = 0;
  do {
    unw_word_t ip = 0;
    if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0) break;
    out[n++] = ip;
  } while (n < max && unw_step(&cursor) > 0);
  return n;
}

void writeFrames(RawWriter& w, const std::uint64_t* frames, int n) {
  for (int i = 0; i < n; ++i) w.str("frame ").hex(frames[i]).ch('\n');
}

// ---- Other threads -------------------------------------------------------------------------

// The answer to a backtrace request: runs on the asked thread, in its signal handler.
void threadDumpHandler(int, siginfo_t* info, void* ucontext) {
  const int savedErrno = errno;
  // Only our own requests (tgkill from this process) are answered.
  if (info->si_code == SI_TKILL && info->si_pid == ::getpid()) {
    pid_t self = sysGettid();
    if (g_dumpState.load() == self) {
      std::uint64_t frames[kMaxFrames];
      int n = unwindSignalFrame(ucontext, frames, kMaxFrames);
      pid_t expected = self;
      if (g_dumpState.compare_exchange_strong(expected, kDumpWriting)) {
        std::memcpy(g_dumpFrames, frames, sizeof(std::uint64_t) * static_cast<std::size_t>(n));
        g_dumpCount = n;
        // The stack only holds still while this thread is in its handler: copied here.
        if (minidumpWanted())
          captureThread(static_cast<const ucontext_t*>(ucontext), g_dumpCapture);
        // Done only if the request is still ours: one given up meanwhile is not answered.
        expected = kDumpWriting;
        g_dumpState.compare_exchange_strong(expected, kDumpDone);
        char byte = 1;
        (void)!::write(g_ackWrite, &byte, 1);
      }
    }
  }
  errno = savedErrno;
}

void drainAcks() {
  char bytes[64];
  while (::read(g_ackRead, bytes, sizeof bytes) > 0) {
  }
}

// Waits for one answer byte, at most ms milliseconds.
void waitAck(int ms) {
  std::int64_t until = monotonicNs() + std::int64_t{ms} * 1'000'000;
  for (;;) {
    std::int64_t left = (until - monotonicNs()) / 1'000'000;
    if (left <= 0) return;
    pollfd p{g_ackRead, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0 || (r < 0 && errno != EINTR)) return;
  }
}

// How a thread met a backtrace request.
enum class ThreadAnswer { kAnswered, kSilent, kGone };

// Asks thread tid to record its own frames (and its capture, for the minidump); the number of
// frames it gave (0 when it did not answer within the wait). When *answer comes back
// kAnswered, g_dumpCapture holds its capture until releaseThreadAnswer.
int requestThreadFrames(pid_t tid, int waitMs, std::uint64_t* out, ThreadAnswer* answer) {
  *answer = ThreadAnswer::kSilent;
  drainAcks();
  g_dumpCount = 0;
  g_dumpState.store(tid);
  if (sysTgkill(g_armPid, tid, g_threadDumpSignal) != 0) {
    if (errno == ESRCH) *answer = ThreadAnswer::kGone;  // it ended since the list was read
    g_dumpState.store(0);
    return 0;
  }
  waitAck(waitMs);
  pid_t expected = tid;
  if (g_dumpState.compare_exchange_strong(expected, 0)) return 0;  // no answer: given up
  if (expected == kDumpWriting) waitAck(50);                       // it is copying right now
  int n = 0;
  if (g_dumpState.load() == kDumpDone) {
    n = g_dumpCount;
    std::memcpy(out, g_dumpFrames, sizeof(std::uint64_t) * static_cast<std::size_t>(n));
    *answer = ThreadAnswer::kAnswered;
    return n;
  }
  g_dumpState.store(0);
  return n;
}

void releaseThreadAnswer() { g_dumpState.store(0); }

// One entry of getdents64's answer.
struct LinuxDirent64 {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// The process's thread ids from /proc/self/task, in directory order.
int listThreads(pid_t* tids, int max) {
  int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int count = 0;
  alignas(8) static char buf[8192];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      const auto* d = reinterpret_cast<const LinuxDirent64*>(buf + off);
      const char* name = d->name;
      if (name[0] >= '0' && name[0] <= '9' && count < max) {
        pid_t tid = 0;
        for (const char* p = name; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
        tids[count++] = tid;
      }
      off += d->reclen;
    }
  }
  ::close(fd);
  return count;
}

// Every thread's frames into the report and, when minidump is not null, its registers and
// stack into the minidump.
void writeThreads(RawWriter& w, pid_t self, void* ucontext, MinidumpWriter* minidump) {
  static pid_t tids[kMaxThreads];
  static std::uint64_t frames[kMaxFrames];
  int count = listThreads(tids, kMaxThreads);
  bool sawSelf = false;
  for (int i = 0; i < count; ++i) sawSelf |= tids[i] == self;
  if (!sawSelf && count < kMaxThreads) tids[count++] = self;

  const std::int64_t dumpUntil = monotonicNs() + kThreadDumpBudgetNs;
  for (int i = 0; i < count; ++i) {
    const pid_t tid = tids[i];
    char name[64];
    PathBuilder path;
    path.add("/proc/self/task/").add(std::int64_t{tid}).add("/comm");
    std::size_t nameLen = readSmallFile(path.c_str(), name, sizeof name);
    w.str("thread ").dec(tid).str(tid == self ? " 1 " : " 0 ").text(name, nameLen).ch('\n');
    int n = 0;
    if (tid == self) {
      writeRegisters(w, static_cast<const ucontext_t*>(ucontext));
      n = unwindSignalFrame(ucontext, frames, kMaxFrames);
      if (minidump) minidump->addThread(tid, &g_selfCapture, true);
    } else {
      ThreadAnswer answer = ThreadAnswer::kSilent;
      std::int64_t leftMs = (dumpUntil - monotonicNs()) / 1'000'000;
      if (g_threadDumpSignal > 0 && leftMs > 0)
        n = requestThreadFrames(
            tid, static_cast<int>(leftMs < kThreadDumpWaitMs ? leftMs : kThreadDumpWaitMs), frames,
            &answer);
      // A thread that ended is not in the minidump; one that did not answer is, without state.
      const bool answered = answer == ThreadAnswer::kAnswered;
      if (minidump && answer != ThreadAnswer::kGone)
        minidump->addThread(tid, answered ? &g_dumpCapture : nullptr, false);
      if (answered) releaseThreadAnswer();
    }
    writeFrames(w, frames, n);
  }
}

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

    writeThreads(w, self, ucontext, minidump);
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
  const std::int64_t until = g_handOff.crashMonotonicNs.load() + kCrashHandOffBoundNs;
  for (;;) {
    std::int64_t leftMs = (until - monotonicNs()) / 1'000'000;
    if (leftMs <= 0) return;
    pollfd p{g_doneFd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(leftMs));
    if (r > 0 || (r < 0 && errno != EINTR)) return;
  }
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

namespace {

// Points the handler at this process's report, upload thread and answer pipe.
bool setReportTargets(const CrashHandlerSetup& setup, std::string* error) {
  if (setup.reportPath.size() >= kPathMax || setup.tempPath.size() >= kPathMax ||
      setup.dataDirectory.size() >= kPathMax || setup.minidumpPath.size() >= kPathMax ||
      setup.minidumpTempPath.size() >= kPathMax) {
    if (error) *error = "data directory path is too long";
    return false;
  }
  int ack[2];
  if (::pipe2(ack, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  copyText(g_dataDirectory, sizeof g_dataDirectory, setup.dataDirectory.c_str());
  copyText(g_reportPath, sizeof g_reportPath, setup.reportPath.c_str());
  copyText(g_tempPath, sizeof g_tempPath, setup.tempPath.c_str());
  copyText(g_minidumpPath, sizeof g_minidumpPath, setup.minidumpPath.c_str());
  copyText(g_minidumpTempPath, sizeof g_minidumpTempPath, setup.minidumpTempPath.c_str());
  g_wakeFd = setup.wakeFd;
  g_doneFd = setup.doneFd;
  g_ackRead = ack[0];
  g_ackWrite = ack[1];
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

  struct sigaction dump {};
  dump.sa_sigaction = threadDumpHandler;
  dump.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&dump.sa_mask);
  const int dumpSignal = SIGRTMAX - 3;
  if (::sigaction(dumpSignal, &dump, nullptr) == 0) g_threadDumpSignal = dumpSignal;

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
  g_dumpState.store(0);
  g_handOff.crashMonotonicNs.store(0);
  g_handOff.crashedThreadHeldGlobalLock.store(false);
}

bool rearmCrashHandlersInChild(const CrashHandlerSetup& setup, std::string* error) {
  // The parent's answer pipe is its own business; the child's copies only go.
  if (g_ackRead >= 0) ::close(g_ackRead);
  if (g_ackWrite >= 0) ::close(g_ackWrite);
  g_ackRead = g_ackWrite = -1;
  return setReportTargets(setup, error);
}

void setCrashUploadThreadId(pid_t tid) { g_uploadTid.store(tid); }

const CrashHandOff& crashHandOff() { return g_handOff; }

}  // namespace zeplog::detail
