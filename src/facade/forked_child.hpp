// What a forked child's first library call does before anything else.
#pragma once

namespace zeplog::detail {

// Brings a forked child's library back to life: the threads the parent ran (send,
// settings, probes, crash upload) are started again in the child, and the events and probe
// requests inherited from the parent are dropped, since the parent delivers those itself.
// Registered by the first initialisation; runs once per child, on the thread of its first
// call.
void restartLibraryInForkedChild();

}  // namespace zeplog::detail
