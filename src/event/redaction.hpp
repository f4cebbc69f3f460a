// Redaction: fields whose values never leave the process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// The value a redacted field is given.
inline constexpr const char* kRedactedValue = "[redacted]";

// Replaces the set of redacted field keys; an empty list turns redaction off. Lock-free for
// readers: the list is swapped whole.
void setRedactedFields(std::vector<std::string> keys);
// True while some key is redacted.
bool redactionActive();
// Gives each redacted field present in fields the value "[redacted]" (text stays text, byte
// data stays byte data). Takes no lock: the crash upload calls it too.
void redactFieldsIn(Fields& fields);
// The value as a line may show it: "[redacted]" for a redacted key. Console lines that name
// a field's value go through it, so a secret kept from the collector stays off the console.
std::string_view shownValue(std::string_view key, std::string_view value);

}  // namespace zeplog::detail
