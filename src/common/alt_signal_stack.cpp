#include "common/alt_signal_stack.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

namespace zeplog::detail {

void installAltSignalStack() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
  long minimum = ::sysconf(_SC_SIGSTKSZ);
  std::size_t size = 64 * 1024;
  if (minimum > 0 && static_cast<std::size_t>(minimum) * 4 > size)
    size = static_cast<std::size_t>(minimum) * 4;
  // One guard page below the stack, so an overflow of the handler itself faults cleanly.
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* memory = ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return;
  ::mprotect(memory, page, PROT_NONE);
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(memory) + page;
  stack.ss_size = size;
  if (::sigaltstack(&stack, nullptr) != 0) ::munmap(memory, size + page);
  // The stack stays for the thread's lifetime; library threads live as long as the process.
}

}  // namespace zeplog::detail
