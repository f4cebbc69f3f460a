#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace zeplog::detail {
namespace {

// Length of the well-formed sequence at p (1 to 4), or 0 when the bytes there start no
// well-formed sequence. `left` is at least 1.
std::size_t sequenceLength(const unsigned char* p, std::size_t left) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  if (c < 0xC2) return 0;
  if (c < 0xE0) return (left >= 2 && (p[1] & 0xC0) == 0x80) ? 2 : 0;
  if (c < 0xF0) {
    if (left < 3) return 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
    return (p[1] >= lo && p[1] <= hi && (p[2] & 0xC0) == 0x80) ? 3 : 0;
  }
  if (c < 0xF5) {
    if (left < 4) return 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    return (p[1] >= lo && p[1] <= hi && (p[2] & 0xC0) == 0x80 && (p[3] & 0xC0) == 0x80) ? 4 : 0;
  }
  return 0;
}

// Length of the maximal invalid subpart at p: the lead byte plus the continuation bytes
// that could still have belonged to a well-formed sequence.
std::size_t invalidLength(const unsigned char* p, std::size_t left) noexcept {
  unsigned char c = p[0];
  std::size_t want = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
  if (want == 1) return 1;
  std::size_t n = 1;
  for (; n < want && n < left; ++n) {
    unsigned char lo = 0x80, hi = 0xBF;
    if (n == 1) {
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (p[n] < lo || p[n] > hi) break;
  }
  return n;
}

}  // namespace

bool isValidUtf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    // Fast path: eight ASCII bytes at a time.
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    std::size_t len = sequenceLength(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string repairUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  std::string out;
  out.reserve(n + 8);
  while (i < n) {
    std::size_t len = sequenceLength(p + i, n - i);
    if (len) {
      out.append(s.data() + i, len);
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += invalidLength(p + i, n - i);
    }
  }
  return out;
}

std::string toValidUtf8(std::string_view s) {
  return isValidUtf8(s) ? std::string(s) : repairUtf8(s);
}

}  // namespace zeplog::detail
