// The reader's numbers: integers, doubles by exact fast paths or from_chars, and Decimals
// for what fits neither.
#include <charconv>
#include <cmath>
#include <system_error>

#include "event/json/json_reader_rep.hpp"
#include "zeplog/decimal.hpp"

namespace zeplog {

bool kstCJSONDeserializer::Rep::parseNumber(json::Value& out) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  const char* const token = current_;
  const char* p = token;
  bool negative = false;
  if (p < end_ && *p == '-') {
    negative = true;
    ++p;
  }
  bool anyDigit = false, overflow = false;
  std::uint64_t integer = 0, fraction = 0, exponent = 0;
  int fractionDigits = 0;
  bool exponentNegative = false;
  const char* exponentMark = nullptr;  // the 'e' or 'E', when there is one
  const char* digits = p;
  while (p < end_ && isDigit(*p)) {
    auto d = static_cast<std::uint64_t>(*p - '0');
    // Up to 19 digits cannot overflow; only then is the bound checked.
    if (p - digits >= 19 && integer > (kMax - d) / 10) {
      overflow = true;
      break;
    }
    integer = integer * 10 + d;
    ++p;
  }
  anyDigit = p != digits;
  if (!overflow && p < end_ && *p == '.') {
    for (++p; p < end_ && isDigit(*p); ++p) {
      if (fraction > 1844674407370955160ULL) {
        overflow = true;
        break;
      }
      fraction = fraction * 10 + static_cast<std::uint64_t>(*p - '0');
      ++fractionDigits;
      anyDigit = true;
    }
  }
  if (!overflow && p < end_ && (*p == 'e' || *p == 'E')) {
    exponentMark = p++;
    if (p < end_ && (*p == '+' || *p == '-')) exponentNegative = *p++ == '-';
    const char* exponentDigits = p;
    for (; p < end_ && isDigit(*p); ++p) {
      auto d = static_cast<std::uint64_t>(*p - '0');
      if (p - exponentDigits >= 19 && exponent > (kMax - d) / 10) {
        overflow = true;
        break;
      }
      exponent = exponent * 10 + d;
    }
  }
  // The token is every number byte from its start; the grammar above must consume it all.
  const char* tokenEnd = p;
  while (tokenEnd < end_ && isNumberByte(*tokenEnd)) ++tokenEnd;
  current_ = tokenEnd;
  if (token == tokenEnd) return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
  if (overflow) return parseDecimal(token, tokenEnd, out);
  if (!anyDigit || p != tokenEnd) {
    return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
  }
  if (fraction == 0 && exponent == 0) {
    if (!negative) {
      buildValue(out, integer);
      return true;
    }
    if (integer <= 9223372036854775806ULL) {
      buildValue(out, -static_cast<std::int64_t>(integer));
      return true;
    }
    return parseDecimal(token, tokenEnd, out);
  }
  double v = 0.0;
  if (!exactDouble(integer, fraction, fractionDigits, exponent, exponentNegative, v)) {
    // The nearest double to the text. An exponent without digits counts as none.
    const char* numberEnd =
        exponentMark && (p == exponentMark + 1 || !isDigit(p[-1])) ? exponentMark : tokenEnd;
    auto r = std::from_chars(token, numberEnd, v);
    if (r.ec != std::errc() || r.ptr != numberEnd) {
      v = static_cast<double>(integer);
      if (fractionDigits > 0) {
        v += static_cast<double>(fraction) / std::pow(10.0, fractionDigits);
      }
      if (negative) v = -v;
      if (exponent != 0 && v != 0.0) {
        double x = static_cast<double>(exponent);
        v *= std::pow(10.0, exponentNegative ? -x : x);
      }
    }
  } else if (negative) {
    v = -v;
  }
  if (!std::isfinite(v)) return parseDecimal(token, tokenEnd, out);
  buildValue(out, v);
  return true;
}

bool kstCJSONDeserializer::Rep::exactDouble(std::uint64_t integer, std::uint64_t fraction,
                                            int fractionDigits, std::uint64_t exponent,
                                            bool exponentNegative, double& v) {
  static constexpr std::uint64_t kPow10[20] = {1ULL,
                                               10ULL,
                                               100ULL,
                                               1000ULL,
                                               10000ULL,
                                               100000ULL,
                                               1000000ULL,
                                               10000000ULL,
                                               100000000ULL,
                                               1000000000ULL,
                                               10000000000ULL,
                                               100000000000ULL,
                                               1000000000000ULL,
                                               10000000000000ULL,
                                               100000000000000ULL,
                                               1000000000000000ULL,
                                               10000000000000000ULL,
                                               100000000000000000ULL,
                                               1000000000000000000ULL,
                                               10000000000000000000ULL};
  if (fractionDigits > 19 || exponent > 100) return false;
  std::uint64_t digits;
  if (__builtin_mul_overflow(integer, kPow10[fractionDigits], &digits) ||
      __builtin_add_overflow(digits, fraction, &digits)) {
    return false;
  }
  const std::int64_t e10 = (exponentNegative ? -static_cast<std::int64_t>(exponent)
                                             : static_cast<std::int64_t>(exponent)) -
                           fractionDigits;
  if (digits == 0) {
    v = 0.0;
    return true;
  }
  static constexpr double kExact10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (digits <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    double d = static_cast<double>(digits);
    v = e10 < 0 ? d / kExact10[-e10] : d * kExact10[e10];
    return true;
  }
#if (defined(__x86_64__) || defined(__i386__)) && __LDBL_MANT_DIG__ == 64
  if (digits < (std::uint64_t{1} << 63) && e10 >= -27 && e10 <= 27) {
    static constexpr long double kExact10L[28] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,
                                                  1e7L,  1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L,
                                                  1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L, 1e20L,
                                                  1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
    long double d = static_cast<long double>(static_cast<std::int64_t>(digits));
    long double r = e10 < 0 ? d / kExact10L[-e10] : d * kExact10L[e10];
    std::uint64_t significand;  // the 64-bit significand, explicit leading bit included
    std::memcpy(&significand, &r, sizeof significand);
    // The 11 bits below a double's 53: 0x400 is halfway; one unit either side of it
    // could be the wrong side.
    if ((significand & 0x7FF) - 0x3FF <= 2) return false;
    v = static_cast<double>(r);
    return true;
  }
#endif
  return false;
}

bool kstCJSONDeserializer::Rep::parseDecimal(const char* token, const char* tokenEnd,
                                             json::Value& out) {
  std::optional<Decimal> d =
      Decimal::parse(std::string_view(token, static_cast<std::size_t>(tokenEnd - token)));
  if (!d) return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
  buildValue(out, std::move(*d));
  return true;
}

}  // namespace zeplog
