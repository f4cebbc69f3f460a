// The reader's numbers: integers, doubles by exact fast paths or from_chars, and Decimals
// for what fits neither.
#include <charconv>
#include <cmath>
#include <system_error>

#include "event/json/json_reader_rep.hpp"
#include "zeplog/decimal.hpp"

namespace zeplog {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};

// A number token as the grammar reads it: sign, digits before and after the point, and the
// exponent, each as a 64-bit integer while it fits.
struct NumberParts {
  bool negative = false;
  bool anyDigit = false;
  bool overflow = false;  // a part does not fit 64 bits: the number is read as a Decimal
  std::uint64_t integer = 0, fraction = 0, exponent = 0;
  int fractionDigits = 0;
  bool exponentNegative = false;
  const char* exponentMark = nullptr;  // the 'e' or 'E', when there is one
};

// Reads decimal digits from p into value until a non-digit or the end; `overflow` when the
// next digit would not fit. Up to 19 digits cannot overflow; only then is the bound checked.
const char* readDigits(const char* p, const char* end, std::uint64_t& value, bool& overflow) {
  const char* const first = p;
  for (; p < end && isDigit(*p); ++p) {
    const auto d = static_cast<std::uint64_t>(*p - '0');
    if (p - first >= 19 && value > (kMax - d) / 10) {
      overflow = true;
      break;
    }
    value = value * 10 + d;
  }
  return p;
}

// The fraction's digits after the point; stops (overflow) before the fraction would not fit.
const char* readFraction(const char* p, const char* end, NumberParts& n) {
  for (; p < end && isDigit(*p); ++p) {
    if (n.fraction > 1844674407370955160ULL) {
      n.overflow = true;
      break;
    }
    n.fraction = n.fraction * 10 + static_cast<std::uint64_t>(*p - '0');
    ++n.fractionDigits;
    n.anyDigit = true;
  }
  return p;
}

// Reads what the number grammar accepts from p on into n; returns where it stopped.
const char* readNumberParts(const char* p, const char* end, NumberParts& n) {
  if (p < end && *p == '-') {
    n.negative = true;
    ++p;
  }
  const char* const digits = p;
  p = readDigits(p, end, n.integer, n.overflow);
  n.anyDigit = p != digits;
  if (!n.overflow && p < end && *p == '.') p = readFraction(p + 1, end, n);
  if (!n.overflow && p < end && (*p == 'e' || *p == 'E')) {
    n.exponentMark = p++;
    if (p < end && (*p == '+' || *p == '-')) n.exponentNegative = *p++ == '-';
    p = readDigits(p, end, n.exponent, n.overflow);
  }
  return p;
}

// The nearest double to the token when no exact fast path applies. An exponent without
// digits counts as none; text from_chars refuses is approximated from its parts.
double nearestDouble(const NumberParts& n, const char* token, const char* grammarEnd,
                     const char* tokenEnd) {
  const char* numberEnd =
      n.exponentMark && (grammarEnd == n.exponentMark + 1 || !isDigit(grammarEnd[-1]))
          ? n.exponentMark
          : tokenEnd;
  double v = 0.0;
  auto r = std::from_chars(token, numberEnd, v);
  if (r.ec == std::errc() && r.ptr == numberEnd) return v;
  v = static_cast<double>(n.integer);
  if (n.fractionDigits > 0) v += static_cast<double>(n.fraction) / std::pow(10.0, n.fractionDigits);
  if (n.negative) v = -v;
  if (n.exponent != 0 && v != 0.0) {
    const double x = static_cast<double>(n.exponent);
    v *= std::pow(10.0, n.exponentNegative ? -x : x);
  }
  return v;
}

}  // namespace

bool kstCJSONDeserializer::Rep::parseNumber(json::Value& out) {
  const char* const token = current_;
  NumberParts n;
  const char* const p = readNumberParts(token, end_, n);
  // The token is every number byte from its start; the grammar above must consume it all.
  const char* tokenEnd = p;
  while (tokenEnd < end_ && isNumberByte(*tokenEnd)) ++tokenEnd;
  current_ = tokenEnd;
  if (token == tokenEnd) return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
  if (n.overflow) return parseDecimal(token, tokenEnd, out);
  if (!n.anyDigit || p != tokenEnd) {
    return fail(kJSONDeserializerErrorCode_NumberNotScannable, kNumberMessage);
  }
  if (n.fraction == 0 && n.exponent == 0) {
    if (!n.negative) {
      buildValue(out, n.integer);
      return true;
    }
    if (n.integer <= 9223372036854775806ULL) {
      buildValue(out, -static_cast<std::int64_t>(n.integer));
      return true;
    }
    return parseDecimal(token, tokenEnd, out);
  }
  double v = 0.0;
  if (!exactDouble(n.integer, n.fraction, n.fractionDigits, n.exponent, n.exponentNegative, v)) {
    v = nearestDouble(n, token, p, tokenEnd);
  } else if (n.negative) {
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
