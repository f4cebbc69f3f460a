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

// How a text value appears in a console line: "(null)" when absent.
inline std::string consoleText(Text t) { return t.present() ? toValidUtf8(t.view()) : "(null)"; }
inline std::string consoleText(const OptText& t) { return t ? *t : "(null)"; }

}  // namespace zeplog::detail
