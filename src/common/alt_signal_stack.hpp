// Alternate signal stacks, so that a crash handler can run on a thread whose stack is full.
#pragma once

namespace zeplog::detail {

// Gives the calling thread an alternate signal stack (kept for the thread's lifetime), so
// that a stack overflow on it can still be reported. Every thread the library creates calls
// this first; a thread that has one already keeps it.
void installAltSignalStack();

}  // namespace zeplog::detail
