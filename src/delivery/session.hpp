// Session events.
#pragma once

#include "zeplog/text.hpp"

namespace zeplog::detail {

// Queues the handle's session event (level "INFO", message "SESSION").
void createSession(Text handleId);

}  // namespace zeplog::detail
