#include "event/json/json_string_writer.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/utf8.hpp"

namespace zeplog::detail {
namespace {

// What the string rule does with a byte. kPass bytes are copied in runs.
enum ByteClass : unsigned char {
  kPass = 0,
  kHigh,     // part of a multi-byte UTF-8 sequence: copied, but the text must be validated
  kSolidus,  // "/": escaped only on request
  kShort,    // a two-byte escape: backslash and kShortEscape[byte]
  kUnicode,  // another control byte: \u00xx
};

constexpr std::array<ByteClass, 256> makeClasses() {
  std::array<ByteClass, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kUnicode;
  for (int c = 0x80; c < 0x100; ++c) t[c] = kHigh;
  for (int c : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) t[c] = kShort;
  t['/'] = kSolidus;
  return t;
}

constexpr std::array<char, 256> makeShortEscapes() {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}

constexpr std::array<ByteClass, 256> kClass = makeClasses();
// Up to this many bytes, appendJSONString looks for a text needing no escape first.
constexpr std::size_t kShortPlain = 64;
constexpr std::array<char, 256> kShortEscape = makeShortEscapes();

inline bool isSpecial(unsigned char c, bool escapeSolidus, bool checkHigh) {
  ByteClass k = kClass[c];
  return !(k == kPass || (k == kSolidus && !escapeSolidus) || (k == kHigh && !checkHigh));
}

#if defined(__SSE2__)
// Finds, sixteen bytes at a time, the bytes the string rule must look at: '"', '\\', the
// control bytes, "/" when it is escaped, and (when asked) the bytes of non-ASCII text.
class SpecialBytes {
 public:
  explicit SpecialBytes(bool escapeSolidus) : solidus_(_mm_set1_epi8(escapeSolidus ? '/' : '"')) {}
  // A bit per byte of v that the rule must look at.
  unsigned mask(__m128i v, bool checkHigh) const {
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote_), _mm_cmpeq_epi8(v, backslash_)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, solidus_),
                                  _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl_), v)));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (checkHigh) m |= static_cast<unsigned>(_mm_movemask_epi8(v));
    return m;
  }

 private:
  const __m128i quote_ = _mm_set1_epi8('"');
  const __m128i backslash_ = _mm_set1_epi8('\\');
  const __m128i solidus_;
  const __m128i lastControl_ = _mm_set1_epi8(0x1F);
};
#endif

// Copies the plain bytes of p[i, n) to dst until the first byte the rule must look at,
// and returns its index (n when there is none); dst advances by as many bytes. Sixteen
// bytes are examined, and stored, at a time: dst must have 16 bytes of room past n - i.
std::size_t copyPlain(const unsigned char* p, std::size_t i, std::size_t n, char*& dst,
                      bool escapeSolidus, bool checkHigh) {
#if defined(__SSE2__)
  const SpecialBytes special(escapeSolidus);
  while (n - i >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
    const unsigned mask = special.mask(v, checkHigh);
    if (mask != 0) {
      unsigned k = static_cast<unsigned>(std::countr_zero(mask));
      dst += k;
      return i + k;
    }
    dst += 16;
    i += 16;
  }
#endif
  for (; i < n && !isSpecial(p[i], escapeSolidus, checkHigh); ++i) *dst++ = static_cast<char>(p[i]);
  return i;
}

char* writeEscape(char* dst, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (kClass[c] == kShort) {
    dst[0] = '\\';
    dst[1] = kShortEscape[c];
    return dst + 2;
  }
  if (kClass[c] == kSolidus) {
    dst[0] = '\\';
    dst[1] = '/';
    return dst + 2;
  }
  const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
  std::memcpy(dst, esc, 6);
  return dst + 6;
}

// True when every byte of s is written as it is: printable ASCII with nothing to escape.
// Sixteen bytes are looked at a time (the last sixteen may overlap those before them).
bool needsNoEscape(std::string_view s, bool escapeSolidus) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
#if defined(__SSE2__)
  if (n >= 16) {
    const SpecialBytes bytes(escapeSolidus);
    const auto special = [&](std::size_t at) {
      return bytes.mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)), true) != 0;
    };
    for (std::size_t i = 0; i + 16 < n; i += 16)
      if (special(i)) return false;
    return !special(n - 16);
  }
#endif
  for (std::size_t i = 0; i < n; ++i)
    if (isSpecial(p[i], escapeSolidus, true)) return false;
  return true;
}

}  // namespace

void writeJSONString(JSONSink& sink, std::string_view s, bool escapeSolidus) {
  const std::size_t start = sink.position();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  bool checkHigh = true;  // until the first non-ASCII byte has settled the whole text
  char* dst = sink.room(n + 2);
  *dst++ = '"';
  std::size_t i = 0;
  for (;;) {
    i = copyPlain(p, i, n, dst, escapeSolidus, checkHigh);
    if (i == n) break;
    if (p[i] >= 0x80) {
      // The first non-ASCII byte: everything before it is ASCII, so i is a character
      // boundary and one check of the rest settles the whole text.
      if (!isValidUtf8(s.substr(i))) {
        sink.truncate(start);
        writeJSONString(sink, repairUtf8(s), escapeSolidus);
        return;
      }
      checkHigh = false;
      continue;
    }
    // An escape takes up to six bytes: make room for it and everything after it.
    sink.advance(dst);
    dst = sink.room(6 + (n - i));
    dst = writeEscape(dst, p[i]);
    ++i;
  }
  *dst++ = '"';
  sink.advance(dst);
}

void appendJSONString(std::string& out, std::string_view s, bool escapeSolidus) {
  // The usual short key or value needs no escape and no UTF-8 check: appended between its
  // quotes at once, without setting up a sink.
  if (s.size() <= kShortPlain && needsNoEscape(s, escapeSolidus)) {
    const std::size_t at = out.size();
    out.append(s.size() + 2, '"');
    if (!s.empty()) std::memcpy(out.data() + at + 1, s.data(), s.size());
    return;
  }
  JSONSink sink(out, s.size() + 2);
  writeJSONString(sink, s, escapeSolidus);
  sink.finish();
}

}  // namespace zeplog::detail
