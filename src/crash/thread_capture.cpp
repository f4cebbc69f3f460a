// A thread's registers and stack top, copied inside a signal handler.
#include "crash/thread_capture.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

namespace zeplog::detail {
namespace {

constexpr std::uint64_t kPage = 4096;
// Below the stack pointer, leaf code may keep data it has not pushed (the x86-64 red zone).
constexpr std::uint64_t kRedZone = 128;
// A stack overflow leaves the stack pointer in the guard page: that many unreadable pages at
// the bottom are stepped over before the copy gives up.
constexpr int kUnreadablePagesSkipped = 2;

// Copies whole pages from `from` upwards into dst until one is unreadable or cap is reached.
std::size_t copyReadablePages(std::uint64_t from, unsigned char* dst, std::size_t cap) {
  std::size_t done = 0;
  while (done < cap) {
    const std::size_t take = cap - done < kPage ? cap - done : kPage;
    if (!copyOwnMemory(dst + done, from + done, take)) break;
    done += take;
  }
  return done;
}

}  // namespace

bool copyOwnMemory(void* dst, std::uint64_t address, std::size_t n) {
  struct iovec local {
    dst, n
  };
  struct iovec remote {
    reinterpret_cast<void*>(address), n
  };
  return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

void captureThread(const ucontext_t* uc, ThreadCapture& out) {
  out.hasRegisters = false;
  out.hasFloatingPoint = false;
  out.stackStart = 0;
  out.stackSize = 0;
#if defined(__x86_64__)
  for (int i = 0; i < NGREG; ++i)
    out.gregs[i] = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[i]);
  out.hasRegisters = true;
  if (uc->uc_mcontext.fpregs &&
      copyOwnMemory(out.fxsave, reinterpret_cast<std::uint64_t>(uc->uc_mcontext.fpregs),
                    sizeof out.fxsave))
    out.hasFloatingPoint = true;
  const std::uint64_t sp = out.gregs[REG_RSP];
  std::uint64_t from = (sp > kRedZone ? sp - kRedZone : 0) & ~(kPage - 1);
  for (int skipped = 0; skipped <= kUnreadablePagesSkipped; ++skipped, from += kPage) {
    const std::size_t n = copyReadablePages(from, out.stack, kStackCopyCap);
    if (n > 0) {
      out.stackStart = from;
      out.stackSize = n;
      return;
    }
  }
#else
  (void)uc;
  (void)copyReadablePages;
#endif
}

std::uint64_t instructionPointer(const ThreadCapture& capture) {
#if defined(__x86_64__)
  return capture.hasRegisters ? capture.gregs[REG_RIP] : 0;
#else
  (void)capture;
  return 0;
#endif
}

}  // namespace zeplog::detail
