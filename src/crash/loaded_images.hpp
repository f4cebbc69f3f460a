// The loaded images of the process, as a crash handler can list them.
#pragma once

#include <cstdint>

#include "crash/signal_safe_io.hpp"

namespace zeplog::detail {

// One mapped ELF file (or the vDSO): valid only during the visitor's call.
struct LoadedImage {
  std::uint64_t start = 0;  // the mapping at file offset 0
  std::uint64_t size = 0;   // to the end of the last mapping of the same path
  std::uint64_t bias = 0;   // load bias: run-time address minus the file's virtual address
  int machine = 0;          // ELF e_machine
  unsigned char buildId[64] = {};
  unsigned buildIdSize = 0;  // 0: none
  const char* path = "";
};

// Receives the images one by one; called inside a signal handler, so it must be async-signal-
// safe too.
class LoadedImageVisitor {
 public:
  virtual void image(const LoadedImage& image) = 0;

 protected:
  ~LoadedImageVisitor() = default;
};

// Visits every mapped ELF file (and the vDSO) in /proc/self/maps order, from the maps and the
// mapped headers. Async-signal-safe: raw reads only, and the process's memory is read with
// process_vm_readv, so a mapping cut short gives no second fault.
void forEachLoadedImage(LoadedImageVisitor& visitor);

// Writes one "image" line per loaded image: base, size, load bias, ELF machine, GNU build id
// and path.
void writeLoadedImages(RawWriter& w);

}  // namespace zeplog::detail
