#include "delivery/retry_policy.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <string>

namespace zeplog::detail {

std::optional<std::chrono::seconds> retryAfterDelay(std::string_view value, std::time_t now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r' ||
                            value.back() == '\n'))
    value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (value.front() >= '0' && value.front() <= '9') {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (end != value.data() + value.size()) return std::nullopt;
    // Too large to count is as good as "very long": the cap applies anyway.
    if (ec == std::errc::result_out_of_range || n > 100'000'000)
      return std::chrono::seconds(100'000'000);
    return std::chrono::seconds(n);
  }
  // libcurl reads the three date forms HTTP allows (RFC 1123, RFC 850, asctime).
  const std::time_t at = curl_getdate(std::string(value).c_str(), nullptr);
  if (at == -1) return std::nullopt;
  return std::chrono::seconds(std::max<std::int64_t>(0, at - now));
}

std::chrono::milliseconds RetryPolicy::failed(std::optional<std::chrono::seconds> retryAfter,
                                              std::uint64_t random) {
  using ms = std::chrono::milliseconds;
  failures_ = failures_ < 64 ? failures_ + 1 : failures_;
  // The cap in milliseconds; a product too large to hold is as good as the largest wait.
  ms::rep capCount = 0;
  if (__builtin_mul_overflow(cap_.count(), unit_.count(), &capCount)) capCount = ms::max().count();
  const ms cap(capCount);
  // unit * 2^(k-1), stopped at the cap before it can overflow.
  ms ceiling = unit_;
  for (std::uint32_t k = 1; k < failures_ && ceiling < cap && ceiling <= ms::max() / 2; ++k)
    ceiling *= 2;
  ceiling = std::min(ceiling, cap);
  const auto span = static_cast<std::uint64_t>(ceiling.count());
  ms delay(span > 0 ? static_cast<ms::rep>(span == UINT64_MAX ? random : random % (span + 1)) : 0);
  if (retryAfter) {
    ms::rep asked = 0;
    if (__builtin_mul_overflow(retryAfter->count(), unit_.count(), &asked))
      asked = ms::max().count();
    delay = std::max(delay, std::min(cap, ms(asked)));
  }
  return delay;
}

}  // namespace zeplog::detail
