// Arbitrary-precision decimal numbers read from JSON.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "zeplog/export.hpp"

namespace zeplog {

// An exact decimal number: sign, significand digits and a base-10 exponent, as read from a
// JSON number token that fits neither a 64-bit integer nor a finite double (or that
// overflowed while being read). It keeps the token's digits exactly, prints exactly and
// converts to double only on request. Range and rounding: see docs/api.md.
class ZEPLOG_API Decimal {
 public:
  Decimal() = default;  // zero

  // Parses a number text as the JSON number reader hands it over ("-1.5e+300", "1e");
  // nothing when the text is not a number this type can hold.
  static std::optional<Decimal> parse(std::string_view text);

  bool negative() const noexcept { return negative_; }
  bool isZero() const noexcept { return digits_.empty(); }
  // Significand digits without leading or trailing zeros ("" for zero).
  const std::string& digits() const noexcept { return digits_; }
  // Value = (-1)^negative * digits * 10^exponent.
  int exponent() const noexcept { return exponent_; }

  // Shortest exact decimal text: "12345678901234567890123", "-1.5", "1E+300".
  std::string toString() const;
  double toDouble() const;

  friend bool operator==(const Decimal&, const Decimal&) = default;
  friend ZEPLOG_API std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);

 private:
  std::string digits_;
  int exponent_ = 0;
  bool negative_ = false;
};

}  // namespace zeplog
