// The collector's JSON object of one event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "zeplog/json_value.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The event's JSON object (UTF-8 bytes); "{}" for no event.
std::string getJsonFromVelaEvent(const VelaEventPtr& event);
// The same with "kstBulkIndex" = index, as written into a batch.
std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex);
// Appends what getJsonFromVelaEvent(event, kstBulkIndex) returns to out, without making the
// object or the text on their own first: a batch body is written event by event. common,
// when not empty, is members written by jsonMembersOf that go after the event's fields, as
// if the event held those fields after its own; their keys must be UTF-8, none of the
// event's own and none that the object treats specially (see CommonFragment).
void appendJsonOfVelaEvent(std::string& out, const VelaEventPtr& event, std::int32_t kstBulkIndex,
                           std::string_view common = {});
// The size in bytes of what getJsonFromVelaEvent(event) would return now (with the common
// members, as appendJsonOfVelaEvent writes them), found without writing it and without
// changing the event.
std::size_t jsonSizeOfVelaEvent(const VelaEventPtr& event, std::string_view common = {});
// The fields as the members of an event object write them, in order and comma-separated,
// without braces: "key":"value",...
std::string jsonMembersOf(const Fields& fields);

// The event that an object of a sent body stands for: every text member comes back as
// text (levels included), other values are skipped; the handle id is the one given. Used
// for events written back after a failed send and for saved crash events.
VelaEventPtr eventFromJsonObject(const json::Object& o, const std::string& handleId);

}  // namespace zeplog::detail
