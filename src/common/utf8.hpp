// UTF-8 validation and repair.
#pragma once

#include <string>
#include <string_view>

namespace zeplog::detail {

// True when s is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). The zero byte is valid.
bool isValidUtf8(std::string_view s) noexcept;
// s with every ill-formed sequence replaced by U+FFFD (one per maximal invalid subpart).
std::string repairUtf8(std::string_view s);
// s itself when valid, else its repair: the API boundary's text rule.
std::string toValidUtf8(std::string_view s);
// s itself when it is valid UTF-8 (no copy), else its repair, kept in spare.
std::string_view validUtf8View(std::string_view s, std::string& spare);

}  // namespace zeplog::detail
