// The JSON writer's string rule.
#pragma once

#include <string>
#include <string_view>

namespace zeplog::detail {

// Appends s to out as a quoted JSON string: '"' and '\\' escaped, the control bytes as
// \b \t \n \f \r or \u00xx, "/" as "\/" only when escapeSolidus, every other byte as it is
// (non-ASCII text is not escaped). Text that is not valid UTF-8 is written repaired, each
// ill-formed sequence as U+FFFD, so the result is always valid JSON.
void appendJSONString(std::string& out, std::string_view s, bool escapeSolidus);

}  // namespace zeplog::detail
