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
#include <elf.h>
#include <fcntl.h>
#include <libunwind.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
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
#include "common/global_lock.hpp"

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

pid_t sysGettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
int sysTgkill(pid_t pid, pid_t tid, int sig) {
  return static_cast<int>(::syscall(SYS_tgkill, pid, tid, sig));
}

// Copies src into a fixed buffer, cut to fit.
void copyText(char* dst, std::size_t size, const char* src) {
  std::size_t n = src ? std::strlen(src) : 0;
  if (n >= size) n = size - 1;
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// ---- Async-signal-safe output ---------------------------------------------------------------

// Buffered writes to one descriptor with number and text formatting of its own.
class RawWriter {
 public:
  explicit RawWriter(int fd) : fd_(fd) {}
  ~RawWriter() { flush(); }

  RawWriter& raw(const char* s, std::size_t n) {
    while (n > 0) {
      if (used_ == sizeof buffer_) flush();
      std::size_t take = sizeof buffer_ - used_;
      if (take > n) take = n;
      std::memcpy(buffer_ + used_, s, take);
      used_ += take;
      s += take;
      n -= take;
    }
    return *this;
  }
  RawWriter& str(const char* s) { return raw(s, std::strlen(s)); }
  RawWriter& ch(char c) { return raw(&c, 1); }
  RawWriter& dec(std::int64_t v) {
    char digits[24];
    int n = 0;
    std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) ch('-');
    while (n) ch(digits[--n]);
    return *this;
  }
  RawWriter& hex(std::uint64_t v) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v);
    while (n) ch(digits[--n]);
    return *this;
  }
  // Text on one line: line breaks and backslashes are escaped, the end of the line is the
  // end of the value.
  RawWriter& text(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      switch (s[i]) {
        case '\\':
          str("\\\\");
          break;
        case '\n':
          str("\\n");
          break;
        case '\r':
          str("\\r");
          break;
        default:
          ch(s[i]);
      }
    }
    return *this;
  }
  RawWriter& text(const char* s) { return text(s, std::strlen(s)); }

  void flush() {
    std::size_t done = 0;
    while (done < used_) {
      ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // a full disk loses the rest; the report's end marker is then absent
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[4096];
  std::size_t used_ = 0;
};

// A small path or number builder on the stack.
class PathBuilder {
 public:
  PathBuilder& add(const char* s) {
    while (*s && n_ + 1 < sizeof buf_) buf_[n_++] = *s++;
    buf_[n_] = '\0';
    return *this;
  }
  PathBuilder& add(std::int64_t v) {
    char digits[24];
    int n = 0;
    std::uint64_t u = static_cast<std::uint64_t>(v < 0 ? -v : v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    while (n && n_ + 1 < sizeof buf_) buf_[n_++] = digits[--n];
    buf_[n_] = '\0';
    return *this;
  }
  const char* c_str() const { return buf_; }

 private:
  char buf_[256] = {};
  std::size_t n_ = 0;
};

// Reads a small file (a /proc comm file) into buf without its trailing line break.
std::size_t readSmallFile(const char* path, char* buf, std::size_t size) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n;
  do {
    n = ::read(fd, buf, size - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return 0;
  std::size_t len = static_cast<std::size_t>(n);
  while (len && (buf[len - 1] == '\n' || buf[len - 1] == '\0')) --len;
  buf[len] = '\0';
  return len;
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
        g_dumpState.store(kDumpDone);
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

// Asks thread tid to record its own frames; the number of frames it gave (0 when it did not
// answer within the wait).
int requestThreadFrames(pid_t tid, int waitMs, std::uint64_t* out) {
  drainAcks();
  g_dumpCount = 0;
  g_dumpState.store(tid);
  if (sysTgkill(g_armPid, tid, g_threadDumpSignal) != 0) {
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
  }
  g_dumpState.store(0);
  return n;
}

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

void writeThreads(RawWriter& w, pid_t self, void* ucontext) {
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
    } else if (g_threadDumpSignal > 0) {
      std::int64_t leftMs = (dumpUntil - monotonicNs()) / 1'000'000;
      if (leftMs > 0)
        n = requestThreadFrames(
            tid, static_cast<int>(leftMs < kThreadDumpWaitMs ? leftMs : kThreadDumpWaitMs), frames);
    }
    writeFrames(w, frames, n);
  }
}

// ---- Loaded images -------------------------------------------------------------------------

// Reads a file line by line through a fixed buffer; a line longer than the buffer is cut.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next line without its break, or nullptr at the end.
  const char* next() {
    for (;;) {
      char* nl = static_cast<char*>(std::memchr(buf_ + start_, '\n', end_ - start_));
      if (nl) {
        *nl = '\0';
        const char* line = buf_ + start_;
        start_ = static_cast<std::size_t>(nl - buf_) + 1;
        return line;
      }
      if (start_ > 0) {
        std::memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      if (end_ == sizeof buf_ - 1) {  // no break in a full buffer: cut the line
        buf_[end_] = '\0';
        end_ = 0;
        return buf_;
      }
      ssize_t n = ::read(fd_, buf_ + end_, sizeof buf_ - 1 - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (end_ == 0) return nullptr;
        buf_[end_] = '\0';
        end_ = 0;
        return buf_;
      }
      end_ += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  char buf_[8192];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

std::uint64_t parseHex(const char*& p) {
  std::uint64_t v = 0;
  for (;; ++p) {
    char c = *p;
    if (c >= '0' && c <= '9')
      v = v * 16 + static_cast<std::uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v = v * 16 + static_cast<std::uint64_t>(c - 'a' + 10);
    else
      break;
  }
  return v;
}

const char* skipField(const char* p) {
  while (*p && *p != ' ') ++p;
  while (*p == ' ') ++p;
  return p;
}

struct ImageInProgress {
  bool open = false;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  char path[kPathMax];
};

// Copies n bytes of this process's memory at address into dst without touching the
// memory directly: a mapped file cut short, or a mapping gone, gives false instead of a
// second fault inside the handler.
bool safeRead(void* dst, std::uint64_t address, std::size_t n) {
  struct iovec local {
    dst, n
  };
  struct iovec remote {
    reinterpret_cast<void*>(address), n
  };
  return ::process_vm_readv(g_armPid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

// Writes one image: ELF machine, load bias and GNU build id read from the mapped headers,
// which lie in the image's first mapping.
void writeImage(RawWriter& w, const ImageInProgress& image) {
  Elf64_Ehdr eh;
  if (!safeRead(&eh, image.start, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64)
    return;
  std::uint64_t bias = image.start;
  char buildId[2 * 64 + 1] = "-";
  static Elf64_Phdr ph[64];
  const int phnum = eh.e_phnum < 64 ? eh.e_phnum : 64;
  if (eh.e_phentsize == sizeof(Elf64_Phdr) &&
      safeRead(ph, image.start + eh.e_phoff,
               sizeof(Elf64_Phdr) * static_cast<std::size_t>(phnum))) {
    for (int i = 0; i < phnum; ++i) {
      if (ph[i].p_type == PT_LOAD && ph[i].p_offset == 0) {
        bias = image.start - ph[i].p_vaddr;
        break;
      }
    }
    alignas(8) static unsigned char notes[4096];
    for (int i = 0; i < phnum && buildId[0] == '-'; ++i) {
      if (ph[i].p_type != PT_NOTE || ph[i].p_filesz > sizeof notes) continue;
      if (!safeRead(notes, bias + ph[i].p_vaddr, ph[i].p_filesz)) continue;
      const unsigned char* p = notes;
      const unsigned char* end = notes + ph[i].p_filesz;
      while (p + sizeof(Elf64_Nhdr) <= end) {
        const auto* note = reinterpret_cast<const Elf64_Nhdr*>(p);
        const unsigned char* name = p + sizeof(Elf64_Nhdr);
        const unsigned char* desc = name + ((note->n_namesz + 3) & ~3u);
        const unsigned char* next = desc + ((note->n_descsz + 3) & ~3u);
        if (next > end) break;
        if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
            std::memcmp(name, "GNU", 4) == 0 && note->n_descsz <= 64) {
          for (unsigned j = 0; j < note->n_descsz; ++j) {
            buildId[2 * j] = "0123456789abcdef"[desc[j] >> 4];
            buildId[2 * j + 1] = "0123456789abcdef"[desc[j] & 15];
          }
          buildId[2 * note->n_descsz] = '\0';
          break;
        }
        p = next;
      }
    }
  }
  w.str("image ").hex(image.start).ch(' ').hex(image.end - image.start).ch(' ').hex(bias);
  w.ch(' ').dec(eh.e_machine).ch(' ').str(buildId).ch(' ').text(image.path).ch('\n');
}

// Every mapped ELF file (and the vDSO) from /proc/self/maps: from the mapping at file offset
// 0 to the last mapping of the same path.
void writeImages(RawWriter& w) {
  int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  static LineReader* reader;
  alignas(LineReader) static unsigned char readerStorage[sizeof(LineReader)];
  reader = new (readerStorage) LineReader(fd);
  static ImageInProgress image;
  image.open = false;
  while (const char* line = reader->next()) {
    const char* p = line;
    std::uint64_t start = parseHex(p);
    if (*p++ != '-') continue;
    std::uint64_t end = parseHex(p);
    ++p;
    const bool readable = *p == 'r';
    p = skipField(p);
    std::uint64_t offset = parseHex(p);
    p = skipField(p);  // offset
    p = skipField(p);  // device
    p = skipField(p);  // inode
    const char* path = p;
    if (!*path) continue;  // anonymous memory belongs to no image
    if (image.open && std::strcmp(path, image.path) == 0) {
      image.end = end;
      continue;
    }
    if (image.open) writeImage(w, image);
    image.open = false;
    const bool candidate = path[0] == '/' || std::strcmp(path, "[vdso]") == 0;
    char magic[SELFMAG];
    if (candidate && offset == 0 && readable && safeRead(magic, start, SELFMAG) &&
        std::memcmp(magic, ELFMAG, SELFMAG) == 0) {
      image.open = true;
      image.start = start;
      image.end = end;
      copyText(image.path, sizeof image.path, path);
    }
  }
  if (image.open) writeImage(w, image);
  ::close(fd);
}

// ---- The report ----------------------------------------------------------------------------

void writeReport(int sig, const siginfo_t* info, void* ucontext, pid_t self) {
  (void)::mkdir(g_dataDirectory, 0700);
  int fd = ::open(g_tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
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
    w.flush();

    writeThreads(w, self, ucontext);
    w.flush();
    writeImages(w);
    w.str("end\n");
    w.flush();
    writer->~RawWriter();
  }
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
  writeReport(sig, info, ucontext, self);
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

bool installCrashHandlers(const CrashHandlerSetup& setup, std::string* error) {
  if (setup.reportPath.size() >= kPathMax || setup.tempPath.size() >= kPathMax ||
      setup.dataDirectory.size() >= kPathMax) {
    if (error) *error = "data directory path is too long";
    return false;
  }
  copyText(g_dataDirectory, sizeof g_dataDirectory, setup.dataDirectory.c_str());
  copyText(g_reportPath, sizeof g_reportPath, setup.reportPath.c_str());
  copyText(g_tempPath, sizeof g_tempPath, setup.tempPath.c_str());
  g_wakeFd = setup.wakeFd;
  g_doneFd = setup.doneFd;
  g_armPid = ::getpid();
  readArmTimeFacts();

  int ack[2];
  if (::pipe2(ack, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  g_ackRead = ack[0];
  g_ackWrite = ack[1];

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

void setCrashUploadThreadId(pid_t tid) { g_uploadTid.store(tid); }

const CrashHandOff& crashHandOff() { return g_handOff; }

}  // namespace zeplog::detail
