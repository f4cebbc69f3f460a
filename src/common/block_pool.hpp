// Reused memory blocks for the objects a log call makes, so a steady stream of calls does
// not allocate.
#pragma once

#include <cstddef>

namespace zeplog::detail {

// Blocks up to kMaxPooledBytes come from size classes of kPoolClassBytes: each thread keeps
// a small cache per class, and exchanges half-caches with a process-wide depot (one lock,
// taken once per kPoolCacheBlocks / 2 blocks), so blocks freed on one thread (the send
// thread, say) serve the allocations of another (the logging threads). Larger blocks, and
// blocks beyond the depot's room, go to and come from operator new / delete.
//
// poolFree must be given the size poolAllocate was given. Safe from any thread, also
// during the thread's exit and in a forked child.
constexpr std::size_t kPoolClassBytes = 128;
constexpr std::size_t kMaxPooledBytes = 5 * kPoolClassBytes;
constexpr std::size_t kPoolCacheBlocks = 32;
constexpr std::size_t kPoolDepotBlocks = 2048;  // per class

void* poolAllocate(std::size_t bytes);
void poolFree(void* p, std::size_t bytes) noexcept;

}  // namespace zeplog::detail
