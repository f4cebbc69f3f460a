// The minidump the crash handler writes beside its text report.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "crash/minidump_format.hpp"
#include "crash/thread_capture.hpp"

namespace zeplog::detail {

// The bounds of one minidump: threads and modules past these are left out, and each raw
// /proc or /etc stream is cut at its cap. With kStackCopyCap per thread the file stays
// below about 19 MiB whatever the process.
inline constexpr int kMinidumpMaxThreads = 512;
inline constexpr int kMinidumpMaxModules = 1024;
inline constexpr std::size_t kMinidumpMapsCap = 1024 * 1024;
inline constexpr std::size_t kMinidumpTextStreamCap = 128 * 1024;
// Code around the crashing instruction, kept for a disassembler.
inline constexpr std::size_t kMinidumpCodeAroundPc = 256;

// The crash a minidump describes.
struct MinidumpCrash {
  int signal = 0;
  int code = 0;  // si_code
  std::uint64_t address = 0;
  pid_t threadId = 0;
};

// Writes one minidump file, async-signal-safe (write, pwrite, open, read, process_vm_readv):
// begin, a thread at a time as the handler gathers them, then finish, which adds the
// exception, system, module and Linux streams and last the header, so a file cut short by a
// second crash is not taken for a whole minidump. Lives in static storage; one at a time.
class MinidumpWriter {
 public:
  // Takes fd (opened for writing, empty) and reserves the header and directory.
  void begin(int fd);
  // One thread: its captured state, or nullptr when it did not answer (registers zero). The
  // crashed thread's context also goes to the exception stream, with the code around its
  // instruction pointer.
  void addThread(pid_t tid, const ThreadCapture* capture, bool crashed);
  // Completes the file. The thread crash.threadId must have been added.
  void finish(const MinidumpCrash& crash);

 private:
  std::uint32_t append(const void* data, std::size_t n);
  std::uint32_t appendString(const char* text);
  minidump::Location appendContext(const ThreadCapture* capture);
  minidump::Location appendFile(const char* path, std::size_t cap);
  void addStream(std::uint32_t type, minidump::Location where);
  template <typename Entry>
  minidump::Location appendList(const Entry* entries, int count);
  void addRawStream(std::uint32_t type, const char* path, std::size_t cap);
  void addCodeAroundPc(std::uint64_t pc);

  friend class ModuleCollector;

  int fd_ = -1;
  std::uint32_t offset_ = 0;
  bool failed_ = false;
  int streamCount_ = 0;
  minidump::Directory directory_[16] = {};
  minidump::Location crashedContext_ = {};
  int threadCount_ = 0;
  minidump::Thread threads_[kMinidumpMaxThreads] = {};
  int memoryCount_ = 0;
  minidump::MemoryDescriptor memory_[kMinidumpMaxThreads + 1] = {};
  int moduleCount_ = 0;
  minidump::Module modules_[kMinidumpMaxModules] = {};
};

// Reads what the minidump's system stream says about the machine (CPU, processors, kernel)
// while capture is armed, so the handler only copies it.
void prepareMinidumpSystemFacts();

}  // namespace zeplog::detail
