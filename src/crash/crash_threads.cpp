// Every thread's frames at a crash, inside the crash handler.
//
// The crashed thread is unwound from its signal context. Every other thread is asked, one at
// a time, with a real-time signal: its handler unwinds it, copies its frames (and, for the
// minidump, its registers and stack) into static buffers and answers with one byte on a
// non-blocking pipe. A thread that does not answer in time is given up; its late answer finds
// the request changed and is dropped. Only async-signal-safe calls, no allocation, no locks.
#include "crash/crash_threads.hpp"

#define UNW_LOCAL_ONLY
#include <fcntl.h>
#include <libunwind.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "crash/crash_handler.hpp"

namespace zeplog::detail {
namespace {

constexpr int kMaxFrames = 128;
constexpr int kMaxThreads = 512;
constexpr std::int64_t kThreadDumpBudgetNs = 2'000'000'000;  // all other threads together
constexpr int kThreadDumpWaitMs = 200;                       // one thread

int g_ackRead = -1;  // thread-backtrace answers: one byte per answer
int g_ackWrite = -1;
int g_threadDumpSignal = 0;
// Whether an asked thread copies its registers and stack too: only while a minidump is written.
std::atomic<bool> g_captureStacks{false};

// One thread-backtrace request at a time. g_dumpState: 0 idle, a thread id while that thread
// is asked, kDumpWriting while it copies its answer, kDumpDone when the answer is complete.
// A late answer to a request that has been given up finds another value and is dropped.
constexpr pid_t kDumpWriting = -1;
constexpr pid_t kDumpDone = -2;
std::atomic<pid_t> g_dumpState{0};
std::uint64_t g_dumpFrames[kMaxFrames];
int g_dumpCount = 0;
ThreadCapture g_dumpCapture;  // the asked thread's registers and stack, for the minidump

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
        if (g_captureStacks.load())
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
  (void)waitReadableUntil(g_ackRead, monotonicNs() + std::int64_t{ms} * 1'000'000);
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
  if (sysTgkill(::getpid(), tid, g_threadDumpSignal) != 0) {
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

}  // namespace

bool openThreadAnswerPipe(std::string* error) {
  int ack[2];
  if (::pipe2(ack, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  g_ackRead = ack[0];
  g_ackWrite = ack[1];
  return true;
}

void closeThreadAnswerPipe() {
  if (g_ackRead >= 0) ::close(g_ackRead);
  if (g_ackWrite >= 0) ::close(g_ackWrite);
  g_ackRead = g_ackWrite = -1;
}

void installThreadDumpHandler() {
  struct sigaction dump {};
  dump.sa_sigaction = threadDumpHandler;
  dump.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&dump.sa_mask);
  const int dumpSignal = SIGRTMAX - 3;
  if (::sigaction(dumpSignal, &dump, nullptr) == 0) g_threadDumpSignal = dumpSignal;
}

void forgetThreadDumpRequest() { g_dumpState.store(0); }

void writeThreads(RawWriter& w, pid_t self, void* ucontext, MinidumpWriter* minidump,
                  const ThreadCapture* selfCapture) {
  constinit static pid_t tids[kMaxThreads];
  constinit static std::uint64_t frames[kMaxFrames];
  g_captureStacks.store(minidump != nullptr);
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
      if (minidump) minidump->addThread(tid, selfCapture, true);
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

}  // namespace zeplog::detail
