#include "common/collector_url.hpp"

#include <algorithm>

namespace zeplog::detail {
namespace {

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The authority with a port: its own when it names one, else `port`.
std::string authorityWithPort(std::string_view authority, std::int64_t port) {
  const std::string fallback = std::to_string(port);
  // The host part starts after any user information.
  const std::size_t at = authority.rfind('@');
  const std::string_view user = at == std::string_view::npos ? "" : authority.substr(0, at + 1);
  std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);

  std::string out(user);
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close != std::string_view::npos) {
      const std::string_view rest = host.substr(close + 1);
      out.append(host.substr(0, close + 1));
      if (rest.size() > 1 && rest.front() == ':') {
        out.append(rest);
      } else {
        out.append(":").append(fallback);
      }
      return out;
    }
  }
  const std::size_t firstColon = host.find(':');
  if (firstColon != std::string_view::npos &&
      host.find(':', firstColon + 1) != std::string_view::npos) {
    // Two or more colons and no brackets: an IPv6 address written bare.
    out.append("[").append(host).append("]:").append(fallback);
    return out;
  }
  if (firstColon != std::string_view::npos && allDigits(host.substr(firstColon + 1))) {
    out.append(host);
    return out;
  }
  // "host:" has an empty port: the handle's port fills it in.
  out.append(host.substr(0, firstColon)).append(":").append(fallback);
  return out;
}

}  // namespace

std::string_view collectorScheme(std::int64_t protocol) { return protocol == 0 ? "https" : "http"; }

std::string collectorBaseURL(std::int64_t protocol, std::string_view address, std::int64_t port) {
  const std::size_t cut = address.find_first_of("?#");
  if (cut != std::string_view::npos) address = address.substr(0, cut);
  const std::size_t slash = address.find('/');
  const std::string_view authority = address.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "" : address.substr(slash);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);

  std::string url(collectorScheme(protocol));
  url.append("://").append(authorityWithPort(authority, port)).append(path);
  return url;
}

std::string collectorLogURL(std::int64_t protocol, std::string_view address, std::int64_t port) {
  return collectorBaseURL(protocol, address, port) + "/v2/log";
}

}  // namespace zeplog::detail
