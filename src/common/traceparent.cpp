// Reading a W3C traceparent header.
#include <optional>
#include <string_view>

#include "zeplog/trace_context.hpp"

namespace zeplog {
namespace {

// The value of a lower-case hex digit; -1 for anything else (upper case is refused).
int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads 2 * out.size() lower-case hex digits from text into out.
template <std::size_t N>
bool readHex(std::string_view text, std::array<std::uint8_t, N>& out) {
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const int high = hexDigit(text[2 * i]);
    const int low = hexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace

// version "-" trace-id "-" parent-id "-" flags, 2 + 1 + 32 + 1 + 16 + 1 + 2 = 55 characters.
std::optional<TraceContext> TraceContext::fromTraceparent(std::string_view header) noexcept {
  constexpr std::size_t kLength = 55;
  if (header.size() < kLength) return std::nullopt;
  std::array<std::uint8_t, 1> version{};
  if (!readHex(header.substr(0, 2), version) || version[0] == 0xff) return std::nullopt;
  // Version 00 has exactly these fields; a later version may add "-..." after them.
  if (version[0] == 0 ? header.size() != kLength
                      : header.size() > kLength && header[kLength] != '-')
    return std::nullopt;
  if (header[2] != '-' || header[35] != '-' || header[52] != '-') return std::nullopt;
  TraceContext context;
  std::array<std::uint8_t, 1> flags{};
  if (!readHex(header.substr(3, 32), context.traceId) ||
      !readHex(header.substr(36, 16), context.spanId) || !readHex(header.substr(53, 2), flags))
    return std::nullopt;
  context.flags = flags[0];
  if (!context.valid()) return std::nullopt;
  return context;
}

}  // namespace zeplog
