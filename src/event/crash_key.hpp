// The key under which a crash event is counted in the crash duplicate table.
#pragma once

#include <string>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The texts of the event's body, "logLevel" field, log type and "DmpData" field, joined in
// this order. Only byte data contributes text (a value that is not UTF-8 contributes
// nothing), so the log type, which is text, adds nothing.
std::string crashKey(const VelaEvent& event);

}  // namespace zeplog::detail
