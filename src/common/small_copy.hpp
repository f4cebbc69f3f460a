// Copying the short byte strings of a log call.
#pragma once

#include <cstddef>
#include <cstring>

namespace zeplog::detail {

// Copies n bytes from `from` to `to` (not overlapping) and returns to + n. The parts of a log
// call are mostly short (a handle id, a level, a key, a line of text): up to 64 bytes they are
// copied inline with overlapping fixed-size moves, a few instructions instead of a call into
// memcpy; longer ones go to memcpy.
inline char* copyBytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 64) return static_cast<char*>(std::memcpy(to, from, n)) + n;
  auto move = [&]<std::size_t kChunk>(std::size_t offset) {
    char chunk[kChunk];
    std::memcpy(chunk, from + offset, kChunk);
    std::memcpy(to + offset, chunk, kChunk);
  };
  if (n >= 16) {
    // The 16-byte chunks from the start, and the last 16 bytes: they may overlap.
    for (std::size_t i = 0; i + 16 < n; i += 16) move.template operator()<16>(i);
    move.template operator()<16>(n - 16);
  } else if (n >= 8) {
    move.template operator()<8>(0);
    move.template operator()<8>(n - 8);
  } else if (n >= 4) {
    move.template operator()<4>(0);
    move.template operator()<4>(n - 4);
  } else if (n != 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
  return to + n;
}

}  // namespace zeplog::detail
