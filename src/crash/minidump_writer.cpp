// The minidump writer of the crash handler.
//
// The file is written front to back with pwrite at a running offset: contexts and stack
// copies as the threads come, then the lists that point at them, the other streams, and last
// the directory (right after the header) and the header itself. Nothing is allocated; the
// lists live in the writer, which the handler keeps in static storage.
#include "crash/minidump_writer.hpp"

#include <fcntl.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash/loaded_images.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <elf.h>
#endif

namespace zeplog::detail {
namespace {

using namespace minidump;

// The machine as the system stream tells it, read while capture is armed.
struct SystemFacts {
  SystemInfo info{};
  char csd[512] = {};  // "Linux <release> <version> <machine>", as uname gives them
};
SystemFacts g_facts;

std::uint32_t parseNumber(const char*& p) {
  std::uint32_t v = 0;
  while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<std::uint32_t>(*p++ - '0');
  return v;
}

void appendText(char* dst, std::size_t size, const char* src) {
  std::size_t n = std::strlen(dst);
  while (*src && n + 1 < size) dst[n++] = *src++;
  dst[n] = '\0';
}

// UTF-8 to UTF-16LE code units; a byte that starts no valid sequence becomes U+FFFD.
std::size_t toUtf16(const char* text, std::uint16_t* out, std::size_t max) {
  std::size_t n = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p && n + 2 <= max) {
    std::uint32_t c = *p;
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra > 0) c &= 0x3Fu >> extra;
    int i = 1;
    for (; extra > 0 && i <= extra && (p[i] & 0xC0) == 0x80; ++i) c = (c << 6) | (p[i] & 0x3F);
    if (extra < 0 || i <= extra) {
      c = 0xFFFD;
      i = 1;
    }
    p += i;
    if (c >= 0x10000) {
      c -= 0x10000;
      out[n++] = static_cast<std::uint16_t>(0xD800 | (c >> 10));
      out[n++] = static_cast<std::uint16_t>(0xDC00 | (c & 0x3FF));
    } else {
      out[n++] = static_cast<std::uint16_t>(c);
    }
  }
  return n;
}

}  // namespace

void prepareMinidumpSystemFacts() {
  SystemInfo& s = g_facts.info;
  s = {};
  s.platformId = kPlatformLinux;
  const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  s.numberOfProcessors = static_cast<std::uint8_t>(processors > 255 ? 255
                                                   : processors < 1 ? 1
                                                                    : processors);
  struct utsname u {};
  g_facts.csd[0] = '\0';
  if (::uname(&u) == 0) {
    const char* p = u.release;
    s.majorVersion = parseNumber(p);
    if (*p == '.') s.minorVersion = parseNumber(++p);
    if (*p == '.') s.buildNumber = parseNumber(++p);
    const char* const parts[] = {u.sysname, " ", u.release, " ", u.version, " ", u.machine};
    for (const char* part : parts) appendText(g_facts.csd, sizeof g_facts.csd, part);
  }
#if defined(__x86_64__)
  s.processorArchitecture = kArchitectureAmd64;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    s.vendorId[0] = b;
    s.vendorId[1] = d;
    s.vendorId[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    s.versionInformation = a;
    s.featureInformation = d;
    unsigned family = (a >> 8) & 0xF;
    unsigned model = (a >> 4) & 0xF;
    if (family == 6 || family == 15) model |= ((a >> 16) & 0xF) << 4;
    if (family == 15) family += (a >> 20) & 0xFF;
    s.processorLevel = static_cast<std::uint16_t>(family);
    s.processorRevision = static_cast<std::uint16_t>((model << 8) | (a & 0xF));
  }
  if (__get_cpuid(0x80000001, &a, &b, &c, &d)) s.amdExtendedCpuFeatures = d;
#endif
}

std::uint32_t MinidumpWriter::append(const void* data, std::size_t n) {
  const std::uint32_t at = offset_;
  std::size_t done = 0;
  while (done < n && !failed_) {
    const ssize_t w = ::pwrite(fd_, static_cast<const char*>(data) + done, n - done,
                               static_cast<off_t>(at + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) failed_ = true;  // a full disk: the header is never written
    if (w > 0) done += static_cast<std::size_t>(w);
  }
  offset_ = static_cast<std::uint32_t>(at + n);
  offset_ = (offset_ + 7) & ~7u;  // the next block starts 8-aligned
  return at;
}

std::uint32_t MinidumpWriter::appendString(const char* text) {
  // Length (bytes, without the terminator), the UTF-16LE text, a 0 unit.
  constinit static std::uint16_t units[2 + 4096 + 1];
  const std::size_t n = toUtf16(text, units + 2, 4096);
  const auto bytes = static_cast<std::uint32_t>(n * 2);
  std::memcpy(units, &bytes, sizeof bytes);
  units[2 + n] = 0;
  return append(units, 4 + n * 2 + 2);
}

Location MinidumpWriter::appendContext(const ThreadCapture* capture) {
#if defined(__x86_64__)
  constinit static ContextAmd64 c;
  c = {};
  c.contextFlags = kContextAmd64;
  if (capture && capture->hasRegisters) {
    const std::uint64_t* g = capture->gregs;
    c.contextFlags |= kContextControl | kContextInteger | kContextSegments;
    c.rax = g[REG_RAX], c.rcx = g[REG_RCX], c.rdx = g[REG_RDX], c.rbx = g[REG_RBX];
    c.rsp = g[REG_RSP], c.rbp = g[REG_RBP], c.rsi = g[REG_RSI], c.rdi = g[REG_RDI];
    c.r8 = g[REG_R8], c.r9 = g[REG_R9], c.r10 = g[REG_R10], c.r11 = g[REG_R11];
    c.r12 = g[REG_R12], c.r13 = g[REG_R13], c.r14 = g[REG_R14], c.r15 = g[REG_R15];
    c.rip = g[REG_RIP];
    c.eFlags = static_cast<std::uint32_t>(g[REG_EFL]);
    // cs, gs, fs, and (kernels since 4.8) ss, 16 bits each.
    const std::uint64_t segments = g[REG_CSGSFS];
    c.segCs = static_cast<std::uint16_t>(segments);
    c.segGs = static_cast<std::uint16_t>(segments >> 16);
    c.segFs = static_cast<std::uint16_t>(segments >> 32);
    c.segSs = static_cast<std::uint16_t>(segments >> 48);
  }
  if (capture && capture->hasFloatingPoint) {
    c.contextFlags |= kContextFloatingPoint;
    std::memcpy(c.fxsave, capture->fxsave, sizeof c.fxsave);
    std::memcpy(&c.mxCsr, capture->fxsave + 24, sizeof c.mxCsr);
  }
  offset_ = (offset_ + 15) & ~15u;
  return {sizeof c, append(&c, sizeof c)};
#else
  (void)capture;
  return {};
#endif
}

void MinidumpWriter::begin(int fd) {
  fd_ = fd;
  failed_ = false;
  streamCount_ = threadCount_ = memoryCount_ = moduleCount_ = 0;
  offset_ = sizeof(Header) + sizeof directory_;
}

void MinidumpWriter::addThread(pid_t tid, const ThreadCapture* capture, bool crashed) {
  if (threadCount_ >= kMinidumpMaxThreads) return;
  Thread& t = threads_[threadCount_++];
  t = {};
  t.threadId = static_cast<std::uint32_t>(tid);
  t.threadContext = appendContext(capture);
  if (crashed) crashedContext_ = t.threadContext;
  if (capture && capture->stackSize > 0) {
    const std::uint32_t rva = append(capture->stack, capture->stackSize);
    t.stack = {capture->stackStart, {static_cast<std::uint32_t>(capture->stackSize), rva}};
    memory_[memoryCount_++] = t.stack;
  }
  if (crashed && capture) addCodeAroundPc(instructionPointer(*capture));
}

void MinidumpWriter::addCodeAroundPc(std::uint64_t pc) {
  static unsigned char code[kMinidumpCodeAroundPc];
  constexpr std::uint64_t kHalf = kMinidumpCodeAroundPc / 2;
  if (pc < kHalf || !copyOwnMemory(code, pc - kHalf, sizeof code)) return;
  memory_[memoryCount_++] = {pc - kHalf, {sizeof code, append(code, sizeof code)}};
}

void MinidumpWriter::addStream(std::uint32_t type, Location where) {
  if (streamCount_ < static_cast<int>(sizeof directory_ / sizeof directory_[0]))
    directory_[streamCount_++] = {type, where};
}

// A list stream: a u32 count, then the entries right after it.
template <typename Entry>
Location MinidumpWriter::appendList(const Entry* entries, int count) {
  const auto n = static_cast<std::uint32_t>(count);
  const std::uint32_t at = append(&n, sizeof n);
  offset_ = at + sizeof n;  // the entries follow the count with no gap
  append(entries, sizeof(Entry) * n);
  return {static_cast<std::uint32_t>(sizeof n + sizeof(Entry) * n), at};
}

Location MinidumpWriter::appendFile(const char* path, std::size_t cap) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  static char chunk[4096];
  const std::uint32_t start = offset_;
  std::size_t total = 0;
  while (total < cap) {
    const std::size_t want = cap - total < sizeof chunk ? cap - total : sizeof chunk;
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Back to back: the stream is one run of bytes.
    offset_ = static_cast<std::uint32_t>(start + total);
    append(chunk, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
  ::close(fd);
  offset_ = static_cast<std::uint32_t>(start + total);
  offset_ = (offset_ + 7) & ~7u;
  return {static_cast<std::uint32_t>(total), start};
}

void MinidumpWriter::addRawStream(std::uint32_t type, const char* path, std::size_t cap) {
  const Location where = appendFile(path, cap);
  if (where.dataSize > 0) addStream(type, where);
}

// Adds each loaded image of the crash's machine to the writer's module list.
class ModuleCollector final : public LoadedImageVisitor {
 public:
  explicit ModuleCollector(MinidumpWriter& w) : w_(w) {}
  void image(const LoadedImage& image) override {
#if defined(__x86_64__)
    if (image.machine != EM_X86_64 || w_.moduleCount_ >= kMinidumpMaxModules) return;
#endif
    Module m{};
    m.baseOfImage = image.start;
    m.sizeOfImage = static_cast<std::uint32_t>(image.size);
    m.moduleNameRva = w_.appendString(image.path);
    if (image.buildIdSize > 0) {
      // The ELF CodeView record: its signature, then the build id as it is.
      unsigned char cv[4 + sizeof image.buildId];
      std::memcpy(cv, &kCvSignatureElf, 4);
      std::memcpy(cv + 4, image.buildId, image.buildIdSize);
      m.cvRecord = {4 + image.buildIdSize, w_.append(cv, 4 + image.buildIdSize)};
    }
    w_.modules_[w_.moduleCount_++] = m;
  }

 private:
  MinidumpWriter& w_;
};

void MinidumpWriter::finish(const MinidumpCrash& crash) {
  addStream(kThreadList, appendList(threads_, threadCount_));
  addStream(kMemoryList, appendList(memory_, memoryCount_));

  Exception e{};
  e.threadId = static_cast<std::uint32_t>(crash.threadId);
  e.exceptionCode = static_cast<std::uint32_t>(crash.signal);
  e.exceptionFlags = static_cast<std::uint32_t>(crash.code);
  e.exceptionAddress = crash.address;
  e.threadContext = crashedContext_;
  addStream(kException, {sizeof e, append(&e, sizeof e)});

  SystemInfo system = g_facts.info;
  system.csdVersionRva = appendString(g_facts.csd);
  addStream(kSystemInfo, {sizeof system, append(&system, sizeof system)});

  const MiscInfo misc{
      sizeof(MiscInfo), kMiscInfoProcessId, static_cast<std::uint32_t>(::getpid()), 0, 0, 0};
  addStream(kMiscInfo, {sizeof misc, append(&misc, sizeof misc)});
  const BreakpadInfo breakpad{kBreakpadInfoValid, e.threadId, e.threadId};
  addStream(kBreakpadInfo, {sizeof breakpad, append(&breakpad, sizeof breakpad)});

  ModuleCollector modules(*this);
  forEachLoadedImage(modules);
  addStream(kModuleList, appendList(modules_, moduleCount_));

  addRawStream(kLinuxCpuInfo, "/proc/cpuinfo", kMinidumpTextStreamCap);
  addRawStream(kLinuxProcStatus, "/proc/self/status", kMinidumpTextStreamCap);
  // The distribution: lsb-release where there is one, else os-release (Debian has no other).
  Location release = appendFile("/etc/lsb-release", kMinidumpTextStreamCap);
  if (release.dataSize == 0) release = appendFile("/etc/os-release", kMinidumpTextStreamCap);
  if (release.dataSize > 0) addStream(kLinuxLsbRelease, release);
  addRawStream(kLinuxCmdLine, "/proc/self/cmdline", kMinidumpTextStreamCap);
  addRawStream(kLinuxAuxv, "/proc/self/auxv", kMinidumpTextStreamCap);
  addRawStream(kLinuxMaps, "/proc/self/maps", kMinidumpMapsCap);

  // Last the directory and the header: only a complete file carries the signature.
  const std::uint32_t end = offset_;
  offset_ = sizeof(Header);
  append(directory_, sizeof(Directory) * static_cast<std::size_t>(streamCount_));
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const Header header{kSignature,
                      kVersion,
                      static_cast<std::uint32_t>(streamCount_),
                      sizeof(Header),
                      0,
                      static_cast<std::uint32_t>(now.tv_sec),
                      0};
  if (!failed_) {
    offset_ = 0;
    append(&header, sizeof header);
  }
  offset_ = end;
}

}  // namespace zeplog::detail
