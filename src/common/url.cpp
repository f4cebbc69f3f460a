#include "common/url.hpp"

#include <algorithm>

namespace zeplog::detail {
namespace {

constexpr std::string_view kSchemeEnd = "://";

// The part of `text` before the first of `stops`, and `text` cut to what follows it.
std::string_view takeUntil(std::string_view& text, std::string_view stops) {
  const std::size_t end = std::min(text.find_first_of(stops), text.size());
  const std::string_view head = text.substr(0, end);
  text.remove_prefix(end);
  return head;
}

// Host and port of an authority without its user information.
void splitHostPort(std::string_view hostPort, UrlParts& parts) {
  if (!hostPort.empty() && hostPort.front() == '[') {
    const std::size_t close = hostPort.find(']');
    parts.ipv6 = true;
    parts.host = hostPort.substr(1, close == std::string_view::npos ? close : close - 1);
    // Only ":" right after "]" starts a port; anything else after the literal is ignored.
    if (close != std::string_view::npos && close + 1 < hostPort.size() &&
        hostPort[close + 1] == ':') {
      parts.hasPort = true;
      parts.port = hostPort.substr(close + 2);
    }
    return;
  }
  const std::size_t colon = hostPort.find(':');
  if (colon == std::string_view::npos) {
    parts.host = hostPort;
  } else if (hostPort.find(':', colon + 1) != std::string_view::npos) {
    parts.ipv6 = true;  // written bare: every ":" belongs to the address
    parts.host = hostPort;
  } else {
    parts.host = hostPort.substr(0, colon);
    parts.hasPort = true;
    parts.port = hostPort.substr(colon + 1);
  }
}

}  // namespace

std::string_view withoutScheme(std::string_view url) {
  const std::size_t end = url.find(kSchemeEnd);
  return end == std::string_view::npos ? url : url.substr(end + kSchemeEnd.size());
}

UrlParts parseAddress(std::string_view address) {
  UrlParts parts;
  const std::string_view authority = takeUntil(address, "/?#");
  parts.path = takeUntil(address, "?#");
  parts.query = takeUntil(address, "#");
  parts.fragment = address;
  const std::size_t hostStart = authority.rfind('@') + 1;  // 0 without user information
  parts.userInfo = authority.substr(0, hostStart);
  splitHostPort(authority.substr(hostStart), parts);
  return parts;
}

UrlParts parseUrl(std::string_view url) {
  const std::size_t end = url.find(kSchemeEnd);
  UrlParts parts = parseAddress(withoutScheme(url));
  if (end != std::string_view::npos) {
    parts.hasScheme = true;
    parts.scheme = url.substr(0, end);
  }
  return parts;
}

std::string buildUrl(const UrlParts& parts) {
  std::string out;
  if (parts.hasScheme) out.append(parts.scheme).append(kSchemeEnd);
  out.append(parts.userInfo);
  if (parts.ipv6) {
    out.append("[").append(parts.host).append("]");
  } else {
    out.append(parts.host);
  }
  if (parts.hasPort) out.append(":").append(parts.port);
  out.append(parts.path).append(parts.query).append(parts.fragment);
  return out;
}

bool isPortNumber(std::string_view port) {
  return !port.empty() &&
         std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHttpUrl(std::string_view url) {
  return startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://");
}

int defaultPortByPrefix(std::string_view url) {
  if (startsWithNoCase(url, "https")) return 443;
  if (startsWithNoCase(url, "http")) return 80;
  return -1;
}

bool isHttpUrlWithHost(std::string_view url) {
  return isHttpUrl(url) && !parseUrl(url).host.empty();
}

std::optional<std::string> normaliseHttpUrl(std::string_view url) {
  if (!isHttpUrl(url)) return std::nullopt;
  UrlParts parts = parseUrl(url);
  if (parts.host.empty()) return std::nullopt;
  const bool secure = equalsNoCase(parts.scheme, "https");
  parts.scheme = secure ? "https" : "http";
  if (!parts.hasPort && !parts.ipv6) {
    parts.hasPort = true;
    parts.port = secure ? "443" : "80";
  }
  return buildUrl(parts);
}

}  // namespace zeplog::detail
