#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  std::size_t want = c >= 0xF5 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
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

namespace {

// Steps p past the well-formed sequences and ASCII bytes that start within the next 16 bytes
// (or up to end); false at the first ill-formed one. The second byte of a multi-byte
// sequence carries the range limits (no overlongs, no surrogates, nothing above U+10FFFF),
// every other continuation byte is 10xxxxxx.
inline bool checkSequences(const unsigned char*& p, const unsigned char* end) noexcept {
  const unsigned char* stop = end - p > 16 ? p + 16 : end;
  while (p < stop) {
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
    } else if (c < 0xE0) {
      if (c < 0xC2 || end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
      p += 2;
    } else if (c < 0xF0) {
      if (end - p < 3) return false;
      // E0: A0..BF (no overlongs); ED: 80..9F (no surrogates); others 80..BF.
      unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
      unsigned span = c == 0xED || c == 0xE0 ? 0x1F : 0x3F;
      if (static_cast<unsigned>(p[1]) - lo > span || (p[2] & 0xC0) != 0x80) return false;
      p += 3;
    } else {
      if (c > 0xF4 || end - p < 4) return false;
      // F0: 90..BF (no overlongs); F4: 80..8F (nothing above U+10FFFF); F1..F3: 80..BF.
      unsigned lo = c == 0xF0 ? 0x90 : 0x80;
      unsigned span = c == 0xF0 ? 0x2F : c == 0xF4 ? 0x0F : 0x3F;
      if (static_cast<unsigned>(p[1]) - lo > span || (p[2] & 0xC0) != 0x80 ||
          (p[3] & 0xC0) != 0x80) {
        return false;
      }
      p += 4;
    }
  }
  return true;
}

}  // namespace

bool isValidUtf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* const end = p + s.size();
  while (p < end) {
    // Skip ASCII a block at a time; at the first byte of 0x80 or above, check sequences for
    // the next 16 bytes before looking for an all-ASCII block again, so text that is mostly
    // non-ASCII stays in the sequence loop and mostly-ASCII text returns to the blocks soon.
#if defined(__SSE2__)
    if (end - p >= 16) {
      unsigned high = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
      if (high == 0) {
        p += 16;
        continue;
      }
      p += __builtin_ctz(high);
    }
#endif
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    if (!checkSequences(p, end)) return false;
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

std::string_view validUtf8View(std::string_view s, std::string& spare) {
  if (isValidUtf8(s)) return s;
  spare = repairUtf8(s);
  return spare;
}

}  // namespace zeplog::detail
