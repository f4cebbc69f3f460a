#include "zeplog/decimal.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>

namespace zeplog {

std::optional<Decimal> Decimal::parse(std::string_view text) {
  std::size_t i = 0, n = text.size();
  Decimal d;
  if (i < n && text[i] == '-') {
    d.negative_ = true;
    ++i;
  }
  std::string digits;
  long long exponent = 0;
  bool anyDigit = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, anyDigit = true) digits += text[i];
  if (i < n && text[i] == '.') {
    for (++i; i < n && text[i] >= '0' && text[i] <= '9'; ++i, anyDigit = true) {
      digits += text[i];
      --exponent;
    }
  }
  if (!anyDigit) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    long long e = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
      e = e * 10 + (text[i] - '0');
      if (e > std::numeric_limits<int>::max()) return std::nullopt;
    }
    exponent += negativeExponent ? -e : e;
  }
  if (i != n) return std::nullopt;
  // Keep the significand free of leading and trailing zeros.
  std::size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return Decimal();
  std::size_t last = digits.find_last_not_of('0');
  exponent += static_cast<long long>(digits.size() - 1 - last);
  if (exponent > std::numeric_limits<int>::max() || exponent < std::numeric_limits<int>::min()) {
    return std::nullopt;
  }
  d.digits_ = digits.substr(lead, last + 1 - lead);
  d.exponent_ = static_cast<int>(exponent);
  return d;
}

std::string Decimal::toString() const {
  if (isZero()) return "0";
  std::string out = negative_ ? "-" : "";
  const long long length = static_cast<long long>(digits_.size());
  const long long adjusted = length - 1 + exponent_;  // exponent in scientific notation
  if (adjusted >= 21 || adjusted < -7) {
    out += digits_[0];
    if (length > 1) out += "." + digits_.substr(1);
    out += adjusted < 0 ? "E-" : "E+";
    out += std::to_string(adjusted < 0 ? -adjusted : adjusted);
  } else if (exponent_ >= 0) {
    out += digits_ + std::string(static_cast<std::size_t>(exponent_), '0');
  } else if (adjusted >= 0) {
    std::size_t point = static_cast<std::size_t>(adjusted + 1);
    out += digits_.substr(0, point) + "." + digits_.substr(point);
  } else {
    out += "0." + std::string(static_cast<std::size_t>(-adjusted - 1), '0') + digits_;
  }
  return out;
}

double Decimal::toDouble() const {
  std::string text = toString();
  double value = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large gives infinity, too small gives zero, each with its sign.
    bool huge = exponent_ > 0;
    value = huge ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative_) value = -value;
  }
  return value;
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) {
  if (a.negative_ != b.negative_ && !(a.isZero() && b.isZero())) {
    if (a.isZero()) return b.negative_ ? std::strong_ordering::greater : std::strong_ordering::less;
    if (b.isZero()) return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
    return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  if (a.isZero() || b.isZero()) {
    if (a.isZero() && b.isZero()) return std::strong_ordering::equal;
    bool aBigger = b.isZero() ? !a.negative_ : b.negative_;
    return aBigger ? std::strong_ordering::greater : std::strong_ordering::less;
  }
  // Same sign, both non-zero: compare magnitudes, then flip for negatives.
  long long ea = static_cast<long long>(a.digits_.size()) + a.exponent_;
  long long eb = static_cast<long long>(b.digits_.size()) + b.exponent_;
  std::strong_ordering m = ea <=> eb;
  if (m == std::strong_ordering::equal) {
    int c = a.digits_.compare(b.digits_);
    m = c <=> 0;
  }
  if (a.negative_) m = 0 <=> m;
  return m;
}

}  // namespace zeplog
