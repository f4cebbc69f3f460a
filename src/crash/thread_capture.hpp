// What the crash path keeps of one thread for the minidump: its CPU state and a copy of the
// top of its stack, taken inside a signal handler.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace zeplog::detail {

// Minidumps are written on x86-64 only; elsewhere the crash path writes the text report alone.
#if defined(__x86_64__)
inline constexpr bool kMinidumpSupported = true;
#else
inline constexpr bool kMinidumpSupported = false;
#endif

// The most stack copied per thread, from the stack pointer (less the red zone) rounded down
// to its page, upwards.
inline constexpr std::size_t kStackCopyCap = 32 * 1024;

// One thread's state at a signal. Filled by captureThread in the thread's own handler (a
// thread's stack is stable only while that thread is stopped there).
struct ThreadCapture {
  bool hasRegisters = false;
  bool hasFloatingPoint = false;
#if defined(__x86_64__)
  std::uint64_t gregs[NGREG] = {};
  unsigned char fxsave[512] = {};
#endif
  std::uint64_t stackStart = 0;
  std::size_t stackSize = 0;
  alignas(16) unsigned char stack[kStackCopyCap];
};

// Copies the registers of the interrupted code (uc) and the top of its stack into out.
// Async-signal-safe; unreadable stack pages are skipped or cut off, never touched.
void captureThread(const ucontext_t* uc, ThreadCapture& out);
// The thread's instruction pointer, 0 without registers.
std::uint64_t instructionPointer(const ThreadCapture& capture);

// Copies n bytes of this process's memory at address into dst without touching the memory
// directly (process_vm_readv): a page that is gone gives false instead of a second fault.
bool copyOwnMemory(void* dst, std::uint64_t address, std::size_t n);

}  // namespace zeplog::detail
