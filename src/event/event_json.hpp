// The collector's JSON object of one event.
#pragma once

#include <cstdint>
#include <string>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The event's JSON object (UTF-8 bytes); "{}" for no event.
std::string getJsonFromVelaEvent(const VelaEventPtr& event);
// The same with "kstBulkIndex" = index, as written into a batch.
std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex);

}  // namespace zeplog::detail
