// Turning one log call into one event on the main queue.
#pragma once

#include "zeplog/text.hpp"

namespace zeplog::detail {

// Builds one event of the handle with the level text, error code and message, and puts it
// on the main queue. An absent or unknown handle id gives a console line and no event.
void sendLog(Text level, Text errorCode, Text message, Text handleId);

}  // namespace zeplog::detail
