#include "common/breadcrumbs.hpp"

#include <cstdio>
#include <ctime>

#include "common/utf8.hpp"

namespace zeplog::detail {
namespace {

constinit BreadcrumbRing g_ring;

void appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
}

}  // namespace

BreadcrumbRing& breadcrumbs() { return g_ring; }

std::string breadcrumbLine(std::int64_t timeMs, std::string_view level, std::string_view code,
                           std::string_view message) {
  const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char stamp[48];
  const int n = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                              utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                              utc.tm_min, utc.tm_sec, static_cast<int>(timeMs % 1000));
  std::string line(stamp, n > 0 ? static_cast<std::size_t>(n) : 0);
  line += ' ';
  appendEscaped(line, toValidUtf8(level));
  line += ' ';
  if (code.empty()) {
    line += '-';
  } else {
    appendEscaped(line, toValidUtf8(code));
  }
  line += ' ';
  appendEscaped(line, toValidUtf8(message));
  return line;
}

std::string breadcrumbsText() {
  std::string text;
  g_ring.forEach([&](const Breadcrumb& b) {
    text += breadcrumbLine(b.timeMs, b.level(), b.code(), b.message());
    text += '\n';
  });
  return text;
}

}  // namespace zeplog::detail
