// ASCII letter case for protocol text (URL schemes, header names), whatever the locale.
#pragma once

#include <cstddef>
#include <string_view>

namespace zeplog::detail {

constexpr char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when s begins with lowerPrefix (written in lower case), in any letter case.
constexpr bool startsWithNoCase(std::string_view s, std::string_view lowerPrefix) {
  if (s.size() < lowerPrefix.size()) return false;
  for (std::size_t i = 0; i < lowerPrefix.size(); ++i)
    if (asciiLower(s[i]) != lowerPrefix[i]) return false;
  return true;
}

// True when s is lowerText (written in lower case), in any letter case.
constexpr bool equalsNoCase(std::string_view s, std::string_view lowerText) {
  return s.size() == lowerText.size() && startsWithNoCase(s, lowerText);
}

static_assert(startsWithNoCase("HTTPS://host", "https://") && startsWithNoCase("http", "http"));
static_assert(!startsWithNoCase("http", "https") && !startsWithNoCase("httpx://", "https"));
static_assert(equalsNoCase("HtTp", "http") && !equalsNoCase("https", "http"));
// Only ASCII letters fold: a byte above 0x7F never matches a letter.
static_assert(!startsWithNoCase("\xC4", "\xE4") && asciiLower('\xC4') == '\xC4');

}  // namespace zeplog::detail
