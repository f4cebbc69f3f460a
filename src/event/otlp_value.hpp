// An attribute value as the OTLP encodings write it (an AnyValue).
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "zeplog/attribute.hpp"
#include "zeplog/otlp_exporter.hpp"

namespace zeplog::detail {

// A non-owning AnyValue of one of the kinds the library writes: text (string_value), byte
// data (bytes_value), a 64-bit integer, a double or a bool. Lives as long as what it views.
struct OtlpValue {
  enum class Kind : std::uint8_t { Text, Bytes, Int, Double, Bool };

  Kind kind = Kind::Text;
  std::string_view text;  // Text and Bytes
  std::int64_t integer = 0;
  double number = 0;
  bool boolean = false;

  static OtlpValue ofText(std::string_view s) { return {Kind::Text, s}; }
  static OtlpValue ofBytes(std::string_view s) { return {Kind::Bytes, s}; }
  static OtlpValue of(const ResourceValue& v) {
    return std::visit(
        [](const auto& x) -> OtlpValue {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::string>) return ofText(x);
          if constexpr (std::is_same_v<T, std::int64_t>) return {Kind::Int, {}, x};
          if constexpr (std::is_same_v<T, double>) return {Kind::Double, {}, 0, x};
          if constexpr (std::is_same_v<T, bool>) return {Kind::Bool, {}, 0, 0, x};
        },
        v);
  }
  // A log call's typed attribute value.
  static OtlpValue of(const AttributeValue& v) {
    switch (v.type()) {
      case AttributeValue::Type::Int:
        return {Kind::Int, {}, v.integer()};
      case AttributeValue::Type::Double:
        return {Kind::Double, {}, 0, v.number()};
      case AttributeValue::Type::Bool:
        return {Kind::Bool, {}, 0, 0, v.boolean()};
      case AttributeValue::Type::Text:
        break;
    }
    return ofText(v.text());
  }
};

}  // namespace zeplog::detail
