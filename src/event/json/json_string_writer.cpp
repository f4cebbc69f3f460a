#include "event/json/json_string_writer.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

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
constexpr std::array<char, 256> kShortEscape = makeShortEscapes();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// High bit set in each byte of w that equals b. A false hit can only appear in a byte above
// a true one (a borrow runs upward), so the lowest hit is always a true one.
constexpr std::uint64_t bytesEqual(std::uint64_t w, unsigned char b) {
  std::uint64_t x = w ^ (kOnes * b);
  return (x - kOnes) & ~x & kHighBits;
}

// Index of the first byte at or after i that is not a plain run byte, or n. highMask is
// kHighBits while non-ASCII bytes still need validation, else 0.
std::size_t findSpecial(const unsigned char* p, std::size_t i, std::size_t n, bool escapeSolidus,
                        std::uint64_t highMask) {
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: control bytes, '"', '\\', optionally '/' and non-ASCII.
    while (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      std::uint64_t hit = ((w - kOnes * 0x20) & ~w & kHighBits) | bytesEqual(w, '"') |
                          bytesEqual(w, '\\') | (w & highMask);
      if (escapeSolidus) hit |= bytesEqual(w, '/');
      if (hit) return i + (static_cast<std::size_t>(std::countr_zero(hit)) >> 3);
      i += 8;
    }
  }
  for (; i < n; ++i) {
    ByteClass c = kClass[p[i]];
    if (c == kPass || (c == kSolidus && !escapeSolidus) || (c == kHigh && highMask == 0)) {
      continue;
    }
    return i;
  }
  return n;
}

void appendEscape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (kClass[c] == kShort) {
    const char esc[2] = {'\\', kShortEscape[c]};
    out.append(esc, 2);
  } else if (kClass[c] == kSolidus) {
    out.append("\\/", 2);
  } else {
    const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    out.append(esc, 6);
  }
}

}  // namespace

void appendJSONString(std::string& out, std::string_view s, bool escapeSolidus) {
  const std::size_t start = out.size();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::uint64_t highMask = kHighBits;
  std::size_t run = 0;  // first byte not yet copied
  out.push_back('"');
  for (std::size_t i = findSpecial(p, 0, n, escapeSolidus, highMask); i < n;
       i = findSpecial(p, i, n, escapeSolidus, highMask)) {
    if (p[i] >= 0x80) {
      // The first non-ASCII byte: everything before it is ASCII, so i is a character
      // boundary and one check of the rest settles the whole text.
      if (!isValidUtf8(s.substr(i))) {
        out.resize(start);
        appendJSONString(out, repairUtf8(s), escapeSolidus);
        return;
      }
      highMask = 0;
      continue;
    }
    out.append(s.data() + run, i - run);
    appendEscape(out, p[i]);
    run = ++i;
  }
  out.append(s.data() + run, n - run);
  out.push_back('"');
}

}  // namespace zeplog::detail
