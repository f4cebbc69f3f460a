// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

inline std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t left = bytes.size() - i; left > 0) {
    const unsigned v = byte(i) << 16 | (left == 2 ? byte(i + 1) << 8 : 0u);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The bytes of a base64 text as base64Encode writes it (length a multiple of 4, "=" only at
// the end); none for anything else.
inline std::optional<std::string> base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && text.size() > padding && text[text.size() - 1 - padding] == '=') ++padding;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned v = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int d = value(text[i]);
    if (d < 0) return std::nullopt;
    v = v << 6 | static_cast<unsigned>(d);
    if (i % 4 == 3) {
      out += static_cast<char>(v >> 16);
      out += static_cast<char>(v >> 8);
      out += static_cast<char>(v);
      v = 0;
    }
  }
  if (padding == 2) out += static_cast<char>(v >> 4);
  if (padding == 1) {
    out += static_cast<char>(v >> 10);
    out += static_cast<char>(v >> 2);
  }
  return out;
}

}  // namespace zeplog::detail
