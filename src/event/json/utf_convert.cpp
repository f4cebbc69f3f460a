#include "event/json/utf_convert.hpp"

#include <cstdint>

namespace zeplog::detail {
namespace {

std::uint32_t load16(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (std::uint32_t{p[0]} << 8) | p[1] : (std::uint32_t{p[1]} << 8) | p[0];
}

std::uint32_t load32(const unsigned char* p, bool bigEndian) {
  if (bigEndian) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
  }
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) |
         p[0];
}

std::optional<std::string> fromUtf16(const unsigned char* p, std::size_t n, bool bigEndian) {
  if (n % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(n / 2 + n / 4);
  for (std::size_t i = 0; i < n; i += 2) {
    std::uint32_t u = load16(p + i, bigEndian);
    if (u >= 0xDC00 && u <= 0xDFFF) return std::nullopt;  // low surrogate without a high one
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (n - i < 4) return std::nullopt;
      std::uint32_t lo = load16(p + i + 2, bigEndian);
      if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    }
    appendUtf8(out, static_cast<char32_t>(u));
  }
  return out;
}

std::optional<std::string> fromUtf32(const unsigned char* p, std::size_t n, bool bigEndian) {
  if (n % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(n / 4 + n / 8);
  for (std::size_t i = 0; i < n; i += 4) {
    std::uint32_t u = load32(p + i, bigEndian);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return std::nullopt;
    appendUtf8(out, static_cast<char32_t>(u));
  }
  return out;
}

}  // namespace

DetectedEncoding detectJSONInputEncoding(std::string_view input) noexcept {
  using E = JSONInputEncoding;
  if (input.size() < 4) return {};
  const auto* b = reinterpret_cast<const unsigned char*>(input.data());
  bool z0 = b[0] == 0, z1 = b[1] == 0, z2 = b[2] == 0, z3 = b[3] == 0;
  if (z0 && z1 && z2 && !z3) return {E::kUtf32BE, 0};
  if (z0 && !z1 && z2 && !z3) return {E::kUtf16BE, 0};
  if (!z0 && z1 && z2 && z3) return {E::kUtf32LE, 0};
  if (!z0 && z1 && !z2 && z3) return {E::kUtf16LE, 0};
  if (z0 && z1 && b[2] == 0xFE && b[3] == 0xFF) return {E::kUtf32BE, 4};
  if (b[0] == 0xFF && b[1] == 0xFE && z2 && z3) return {E::kUtf32LE, 4};
  if (b[0] == 0xFE && b[1] == 0xFF) return {E::kUtf16BE, 2};
  if (b[0] == 0xFF && b[1] == 0xFE) return {E::kUtf16LE, 2};
  return {};
}

std::optional<std::string> convertToUtf8(std::string_view input, DetectedEncoding detected) {
  using E = JSONInputEncoding;
  const auto* p = reinterpret_cast<const unsigned char*>(input.data()) + detected.bomLength;
  std::size_t n = input.size() - detected.bomLength;
  switch (detected.encoding) {
    case E::kUtf16BE:
      return fromUtf16(p, n, true);
    case E::kUtf16LE:
      return fromUtf16(p, n, false);
    case E::kUtf32BE:
      return fromUtf32(p, n, true);
    case E::kUtf32LE:
      return fromUtf32(p, n, false);
    case E::kUtf8:
      break;
  }
  return std::string(input);
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace zeplog::detail
