// The key hash of the ordered maps, inline for the library's own hot lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zeplog::detail {

// A short multiply-mix hash over 8-byte words for map keys and other short texts; std::hash's
// out-of-line byte loop costs more than the probing it serves. The last partial word is read
// with whole (possibly overlapping) loads: assembling it byte by byte and reading it back as
// a word stalls on store forwarding. The seed enters the starting state, so keys crafted to
// share one hash under one seed are spread under another. The same function as
// hashKeyBytes (zeplog/ordered_map.hpp), which applications' maps call out of line.
inline std::uint64_t hashKeyBytesInline(std::string_view key, std::uint64_t seed = 0) noexcept {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  auto mix = [](std::uint64_t h, std::uint64_t w) {
    h = (h ^ w) * k;
    return h ^ (h >> 29);
  };
  auto load64 = [](const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  auto load32 = [](const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return std::uint64_t{w};
  };
  const char* p = key.data();
  const std::size_t size = key.size();
  std::uint64_t h = (size * k) ^ seed;
  std::size_t n = size;
  for (; n >= 8; p += 8, n -= 8) h = mix(h, load64(p));
  if (n != 0) {
    std::uint64_t w;
    if (size >= 8) {
      w = load64(p + n - 8);  // overlaps bytes already mixed
    } else if (n >= 4) {
      w = load32(p) | (load32(p + n - 4) << 32);
    } else {
      w = std::uint64_t{static_cast<unsigned char>(p[0])} |
          (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
          (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
    }
    h = mix(h, w);
  }
  // A final multiply carries the high bits, where the last word's differences end up, into
  // the low bits that pick a slot.
  h ^= h >> 32;
  h *= 0xFF51AFD7ED558CCDULL;
  return h ^ (h >> 33);
}

}  // namespace zeplog::detail
