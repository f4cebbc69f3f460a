// Turning one log call into one event on the main queue.
#pragma once

#include <string_view>

#include "zeplog/text.hpp"

namespace zeplog::detail {

// Builds one event of the handle with the level text, error code and message, and puts it
// on the main queue. An absent or unknown handle id gives a console line and no event.
// A call whose level ranks below the local minimum level returns first (counted); a
// session start (message "SESSION") is never held back.
void sendLog(Text level, Text errorCode, Text message, Text handleId);

// The local minimum level: "DEBUG" (the default: every call passes), "INFO", "WARN",
// "ERROR" or "FATAL". False, changing nothing, for any other text.
bool setMinimumLevel(std::string_view level);
// The rank of a level text: DEBUG 0, INFO 1, WARN 2, ERROR 3, FATAL 4; -1 for any other
// text (never held back by the minimum level).
int levelRank(std::string_view level);

}  // namespace zeplog::detail
