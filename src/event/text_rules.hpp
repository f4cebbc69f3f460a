// Text conversions at the API boundary.
#pragma once

#include <string>

#include "common/utf8.hpp"
#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The argument as library text: absent stays absent; bytes that are not UTF-8 are repaired,
// so every event made from it can be written as JSON.
inline OptText apiText(Text t) {
  if (t.absent()) return std::nullopt;
  return toValidUtf8(t.view());
}

// The most of one application text that a console line shows.
inline constexpr std::size_t kConsoleTextLimit = 1024;

// How a text value appears in a console line: "(null)" when absent; repaired to UTF-8; cut
// to kConsoleTextLimit bytes (at a character boundary) and then followed by its length, so
// a huge rejected value is never echoed whole. The console escapes control characters.
std::string consoleText(std::string_view t);
inline std::string consoleText(Text t) { return t.present() ? consoleText(t.view()) : "(null)"; }
inline std::string consoleText(const OptText& t) {
  return t ? consoleText(std::string_view(*t)) : "(null)";
}
inline std::string consoleText(const std::string& t) { return consoleText(std::string_view(t)); }

}  // namespace zeplog::detail
