// The collector's JSON object of one event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zeplog/json_value.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The event's JSON object (UTF-8 bytes); "{}" for no event.
std::string getJsonFromVelaEvent(const VelaEventPtr& event);
// The same with "kstBulkIndex" = index, as written into a batch.
std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex);
// Appends what getJsonFromVelaEvent(event, kstBulkIndex) returns to out, without making the
// object or the text on their own first: a batch body is written event by event.
void appendJsonOfVelaEvent(std::string& out, const VelaEventPtr& event, std::int32_t kstBulkIndex);
// The size in bytes of what getJsonFromVelaEvent(event) would return now, found without
// writing it and without changing the event.
std::size_t jsonSizeOfVelaEvent(const VelaEventPtr& event);

// The event that an object of a sent body stands for: every text member comes back as
// text (levels included), other values are skipped; the handle id is the one given. Used
// for events written back after a failed send and for saved crash events.
VelaEventPtr eventFromJsonObject(const json::Object& o, const std::string& handleId);

}  // namespace zeplog::detail
