// The reader's strings: scanning, escapes, and the UTF-8 check with its interning table.
#include "common/utf8.hpp"
#include "event/json/json_reader_rep.hpp"
#include "event/json/key_hash.hpp"
#include "event/json/utf_convert.hpp"

namespace zeplog {
namespace {

// Strings shorter than this are looked up in the interning table.
constexpr std::size_t kInternLimit = 80;
// Room the scratch buffer is made with.
constexpr std::size_t kScratchInitialSize = 8192;

inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four bytes of a u escape. A zero byte ends the digits early; any other byte that
// is not a hex digit fails.
bool readHex4(const char* p, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == '\0') break;
    int d = hexValue(p[i]);
    if (d < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

// Position of the first quotation mark or backslash in [p, end), or end. high collects the
// top bits of the bytes passed over, so that ASCII-only strings can skip the UTF-8 check.
// Never reads at or beyond end.
inline const char* findQuoteOrBackslash(const char* p, const char* end, unsigned& high) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
    unsigned tops = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (hits != 0) {
      unsigned i = static_cast<unsigned>(__builtin_ctz(hits));
      high |= tops & ((1u << i) - 1u);
      return p + i;
    }
    high |= tops;
    p += 16;
  }
#endif
  while (p < end && *p != '"' && *p != '\\') {
    high |= static_cast<unsigned char>(*p) & 0x80u;
    ++p;
  }
  return p;
}

std::uint64_t hashBytes(std::string_view s) { return detail::hashKeyBytesInline(s); }

}  // namespace

bool kstCJSONDeserializer::Rep::parseStringValue(json::Value& out) {
  ScannedString s;
  if (!scanString(s) || !validString(s)) return false;
  buildValue(out, s.bytes);
  return true;
}

bool kstCJSONDeserializer::Rep::scanString(ScannedString& out) {
  if (!atByte('"')) {
    return fail(kJSONDeserializerErrorCode_StringNotStartedWithBackslash, kStringStartMessage);
  }
  const char* open = current_;
  const char* run = ++current_;
  unsigned high = 0;
  const char* p = findQuoteOrBackslash(run, end_, high);
  if (p < end_ && *p == '"') {
    out.bytes = std::string_view(run, static_cast<std::size_t>(p - run));
    out.ascii = high == 0;
    current_ = p + 1;
    return true;
  }
  if (!scratchMade_) {
    scratch_.reserve(kScratchInitialSize);
    scratchMade_ = true;
  }
  scratch_.clear();
  for (;;) {
    scratch_.append(run, p);
    if (p == end_) {
      current_ = end_;
      return fail(kJSONDeserializerErrorCode_StringNotTerminated, kStringEndMessage);
    }
    if (*p == '"') break;
    current_ = p + 1;  // past the backslash
    if (current_ == end_) {
      return fail(kJSONDeserializerErrorCode_StringNotTerminated, kStringEndMessage);
    }
    char e = *current_++;
    switch (e) {
      case '"':
      case '/':
      case '\\':
        scratch_.push_back(e);
        break;
      case 'b':
        scratch_.push_back('\b');
        break;
      case 'f':
        scratch_.push_back('\f');
        break;
      case 'n':
        scratch_.push_back('\n');
        break;
      case 'r':
        scratch_.push_back('\r');
        break;
      case 't':
        scratch_.push_back('\t');
        break;
      case 'u':
        if (!appendUnicodeEscape()) return false;
        break;
      default:
        if (!(options_ & kJSONDeserializationOptions_LaxEscapeCodes)) {
          current_ = open;
          return fail(kJSONDeserializerErrorCode_StringUnknownEscapeCode, kStringEscapeMessage);
        }
        high |= static_cast<unsigned char>(e) & 0x80u;  // a raw byte: must be checked
        scratch_.push_back(e);
        break;
    }
    run = current_;
    p = findQuoteOrBackslash(run, end_, high);
  }
  current_ = p + 1;
  out.bytes = scratch_;
  out.ascii = high == 0;
  return true;
}

bool kstCJSONDeserializer::Rep::appendUnicodeEscape() {
  if (end_ - current_ < 4) {
    return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
  }
  std::uint32_t cp = 0;
  bool ok = readHex4(current_, cp);
  current_ += 4;
  if (!ok || (cp >= 0xDC00 && cp <= 0xDFFF)) {
    return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
  }
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (end_ - current_ < 6 || current_[0] != '\\' || current_[1] != 'u') {
      return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
    }
    current_ += 2;
    std::uint32_t low = 0;
    ok = readHex4(current_, low);
    current_ += 4;
    if (!ok || low < 0xDC00 || low > 0xDFFF) {
      return fail(kJSONDeserializerErrorCode_StringBadEscaping, kStringUnicodeMessage);
    }
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  detail::appendUtf8(scratch_, static_cast<char32_t>(cp));
  return true;
}

bool kstCJSONDeserializer::Rep::validString(const ScannedString& s) {
  if (s.ascii) return true;
  if (s.bytes.size() < kInternLimit) {
    std::uint64_t h = hashBytes(s.bytes);
    if (strings_.find(h, s.bytes)) return true;
    if (!detail::isValidUtf8(s.bytes)) {
      return fail(kJSONDeserializerErrorCode_StringCouldNotBeCreated, kStringCreateMessage);
    }
    strings_.store(h, s.bytes);
    return true;
  }
  if (!detail::isValidUtf8(s.bytes)) {
    return fail(kJSONDeserializerErrorCode_StringCouldNotBeCreated, kStringCreateMessage);
  }
  return true;
}

}  // namespace zeplog
