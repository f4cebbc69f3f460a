// The loaded images of the process, as a crash handler can list them.
#pragma once

#include "crash/signal_safe_io.hpp"

namespace zeplog::detail {

// Writes one "image" line per mapped ELF file (and the vDSO): base, size, load bias, ELF
// machine, GNU build id and path, from /proc/self/maps and the mapped headers. Async-signal-
// safe: raw reads only, and the process's memory is read with process_vm_readv, so a mapping
// cut short gives no second fault.
void writeLoadedImages(RawWriter& w);

}  // namespace zeplog::detail
