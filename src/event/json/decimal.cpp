#include "zeplog/decimal.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace zeplog {
namespace {

// Largest magnitude of the adjusted exponent (the power of ten of the leading digit). Far
// beyond any double, small enough that exponent arithmetic never overflows.
constexpr std::int64_t kMaxAdjustedExponent = 999'999'999;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<Decimal> Decimal::parse(std::string_view text) {
  std::size_t i = 0, n = text.size();
  bool negative = false;
  if (i < n && text[i] == '-') {
    negative = true;
    ++i;
  }
  std::string digits;
  std::int64_t exponent = 0;
  bool anyDigit = false;
  for (; i < n && isDigit(text[i]); ++i) {
    anyDigit = true;
    if (!digits.empty() || text[i] != '0') digits.push_back(text[i]);
  }
  if (i < n && text[i] == '.') {
    for (++i; i < n && isDigit(text[i]); ++i) {
      anyDigit = true;
      --exponent;  // every fraction digit is one power of ten further down
      if (!digits.empty() || text[i] != '0') digits.push_back(text[i]);
    }
  }
  if (!anyDigit) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    // An exponent with no digits counts as 0, as the JSON number reader treats it.
    std::int64_t x = 0;
    for (; i < n && isDigit(text[i]); ++i) {
      // Saturate: anything this large is out of range whatever the significand.
      if (x < 4 * kMaxAdjustedExponent) x = x * 10 + (text[i] - '0');
    }
    exponent += expNegative ? -x : x;
  }
  if (i != n) return std::nullopt;

  Decimal d;
  if (digits.empty()) return d;  // zero, whatever its sign and exponent
  std::size_t trailing = digits.size() - 1 - digits.find_last_not_of('0');
  digits.resize(digits.size() - trailing);
  exponent += static_cast<std::int64_t>(trailing);
  std::int64_t adjusted = exponent + static_cast<std::int64_t>(digits.size()) - 1;
  if (adjusted > kMaxAdjustedExponent || adjusted < -kMaxAdjustedExponent) return std::nullopt;
  if (exponent < std::numeric_limits<int>::min() || exponent > std::numeric_limits<int>::max())
    return std::nullopt;
  d.digits_ = std::move(digits);
  d.exponent_ = static_cast<int>(exponent);
  d.negative_ = negative;
  return d;
}

std::string Decimal::toString() const {
  if (digits_.empty()) return "0";
  const std::int64_t n = static_cast<std::int64_t>(digits_.size());
  const std::int64_t e = exponent_;
  const std::int64_t adjusted = e + n - 1;

  // Scientific form: d[.ddd]E+x
  std::string sci;
  sci.push_back(digits_[0]);
  if (n > 1) {
    sci.push_back('.');
    sci.append(digits_, 1);
  }
  sci.push_back('E');
  sci.push_back(adjusted < 0 ? '-' : '+');
  sci += std::to_string(adjusted < 0 ? -adjusted : adjusted);

  // Plain form, only when it could be as short as the scientific one.
  std::int64_t plainLength = e >= 0 ? n + e : (adjusted >= 0 ? n + 1 : 2 - adjusted - 1 + n);
  std::string out = negative_ ? "-" : "";
  if (plainLength > static_cast<std::int64_t>(sci.size())) return out + sci;
  if (e >= 0) {
    out += digits_;
    out.append(static_cast<std::size_t>(e), '0');
  } else if (adjusted >= 0) {
    out.append(digits_, 0, static_cast<std::size_t>(adjusted + 1));
    out.push_back('.');
    out.append(digits_, static_cast<std::size_t>(adjusted + 1));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-adjusted - 1), '0');
    out += digits_;
  }
  return out;
}

double Decimal::toDouble() const {
  if (digits_.empty()) return 0.0;
  // digits "e" exponent: no decimal point, so the conversion is independent of any locale,
  // and from_chars rounds to nearest.
  std::string text = digits_ + "e" + std::to_string(exponent_);
  double v = 0.0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    std::int64_t adjusted = std::int64_t{exponent_} + static_cast<std::int64_t>(digits_.size());
    v = adjusted > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative_ ? -v : v;
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) {
  // Sign: negative < zero < positive.
  auto signOf = [](const Decimal& d) { return d.isZero() ? 0 : d.negative_ ? -1 : 1; };
  int sa = signOf(a), sb = signOf(b);
  if (sa != sb) return sa <=> sb;
  if (sa == 0) return std::strong_ordering::equal;
  // Same sign: compare magnitudes, then flip for negatives.
  std::int64_t adjA = std::int64_t{a.exponent_} + static_cast<std::int64_t>(a.digits_.size());
  std::int64_t adjB = std::int64_t{b.exponent_} + static_cast<std::int64_t>(b.digits_.size());
  std::strong_ordering mag = adjA <=> adjB;
  if (mag == std::strong_ordering::equal) {
    // Equal leading power: the digit strings compare as fractions 0.ddd; neither has
    // trailing zeros, so a longer string with an equal prefix is the larger.
    int c = a.digits_.compare(b.digits_);
    mag = c < 0   ? std::strong_ordering::less
          : c > 0 ? std::strong_ordering::greater
                  : std::strong_ordering::equal;
  }
  return sa > 0 ? mag : 0 <=> mag;
}

}  // namespace zeplog
