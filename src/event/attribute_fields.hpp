// A log call's attributes and trace ids as text: the fields of its event.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "zeplog/attribute.hpp"
#include "zeplog/trace_context.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// Room for any value's text but a text value's own: an int64, a double in its shortest
// round-trip form, "true" or "false".
using ValueTextBuffer = std::array<char, 32>;

// The value as text: a text as it is, an integer in decimal, a double in its shortest form
// that reads back the same ("NaN", "Infinity", "-Infinity" where JSON has no number), a bool
// as "true" or "false". The result may point into buffer.
std::string_view attributeValueText(const AttributeValue& value, ValueTextBuffer& buffer);
// True when the value is written as a bare JSON number or literal, not a string: integers,
// finite doubles, bools.
bool isBareJsonValue(const AttributeValue& value);

// Lower-case hex of the ids: 32 and 16 characters.
std::array<char, 32> traceIdHex(const TraceContext& trace);
std::array<char, 16> spanIdHex(const TraceContext& trace);

// The typed attribute a field stands for: the packed attribute of that key when the field's
// text is still its value's text (a hook may have changed it); none otherwise.
std::optional<AttributeValue> unchangedAttribute(std::string_view packedAttributes,
                                                 std::string_view key, std::string_view fieldText);

// Adds "traceId" and "spanId" (when trace is given) and each packed attribute as a field,
// its value as text; a key already in fields keeps its value.
void addAttributeFields(Fields& fields, std::string_view packedAttributes,
                        const TraceContext* trace);

}  // namespace zeplog::detail
