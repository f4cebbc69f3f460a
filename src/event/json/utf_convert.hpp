// Detection of UTF-16 and UTF-32 JSON input and its conversion to UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

// The encoding of a JSON input as its first four bytes show it.
enum class JSONInputEncoding { kUtf8, kUtf16BE, kUtf16LE, kUtf32BE, kUtf32LE };

struct DetectedEncoding {
  JSONInputEncoding encoding = JSONInputEncoding::kUtf8;
  std::size_t bomLength = 0;  // bytes of byte-order mark to skip before converting
};

// Looks at the first four bytes: zero bytes in the positions a UTF-16 or UTF-32 text of
// ASCII JSON would have them, or a UTF-16/UTF-32 byte-order mark. Inputs shorter than four
// bytes, and everything else, are UTF-8 (a UTF-8 byte-order mark is left in place).
DetectedEncoding detectJSONInputEncoding(std::string_view input) noexcept;

// Converts input (after its byte-order mark) to UTF-8. Nothing when the input is not
// well-formed in that encoding: a length that is not a whole number of code units, an
// unpaired surrogate, or a UTF-32 value above U+10FFFF.
std::optional<std::string> convertToUtf8(std::string_view input, DetectedEncoding detected);

// Appends code point cp (at most U+10FFFF) to out as UTF-8.
void appendUtf8(std::string& out, char32_t cp);

}  // namespace zeplog::detail
