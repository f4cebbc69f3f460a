#include "event/attribute_fields.hpp"

#include <charconv>
#include <cmath>

#include "event/attribute_blob.hpp"
#include "event/event_kind.hpp"

namespace zeplog::detail {
namespace {

template <std::size_t N>
std::array<char, N * 2> hexOf(const std::array<std::uint8_t, N>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, N * 2> out{};
  for (std::size_t i = 0; i < N; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return out;
}

std::string_view viewOf(const auto& chars) { return std::string_view(chars.data(), chars.size()); }

}  // namespace

std::string_view attributeValueText(const AttributeValue& value, ValueTextBuffer& buffer) {
  char* const first = buffer.data();
  char* const last = buffer.data() + buffer.size();
  switch (value.type()) {
    case AttributeValue::Type::Text:
      return value.text();
    case AttributeValue::Type::Int:
      return std::string_view(first, std::to_chars(first, last, value.integer()).ptr - first);
    case AttributeValue::Type::Double: {
      const double x = value.number();
      if (std::isnan(x)) return "NaN";
      if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
      return std::string_view(first, std::to_chars(first, last, x).ptr - first);
    }
    case AttributeValue::Type::Bool:
      return value.boolean() ? "true" : "false";
  }
  return {};
}

bool isBareJsonValue(const AttributeValue& value) {
  switch (value.type()) {
    case AttributeValue::Type::Text:
      return false;
    case AttributeValue::Type::Double:
      return std::isfinite(value.number());
    default:
      return true;
  }
}

std::array<char, 32> traceIdHex(const TraceContext& trace) { return hexOf(trace.traceId); }
std::array<char, 16> spanIdHex(const TraceContext& trace) { return hexOf(trace.spanId); }

std::optional<AttributeValue> unchangedAttribute(std::string_view packedAttributes,
                                                 std::string_view key, std::string_view fieldText) {
  ValueTextBuffer buffer;
  for (const PackedAttribute& a : PackedAttributes(packedAttributes)) {
    if (a.key == key) {
      if (attributeValueText(a.value, buffer) != fieldText) return std::nullopt;
      return a.value;
    }
  }
  return std::nullopt;
}

void addAttributeFields(Fields& fields, std::string_view packedAttributes,
                        const TraceContext* trace) {
  if (trace) {
    fields.set(kTraceIdKey, Bytes(viewOf(traceIdHex(*trace))));
    fields.set(kSpanIdKey, Bytes(viewOf(spanIdHex(*trace))));
  }
  ValueTextBuffer buffer;
  for (const PackedAttribute& a : PackedAttributes(packedAttributes)) {
    if (fields.contains(a.key)) continue;
    fields.appendNew(std::string(a.key), Bytes(attributeValueText(a.value, buffer)));
  }
}

}  // namespace zeplog::detail
