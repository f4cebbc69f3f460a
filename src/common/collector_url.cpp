#include "common/collector_url.hpp"

#include "common/url.hpp"

namespace zeplog::detail {

std::string_view collectorScheme(std::int64_t protocol) { return protocol == 0 ? "https" : "http"; }

std::string collectorBaseURL(std::int64_t protocol, std::string_view address, std::int64_t port) {
  UrlParts parts = parseAddress(address);
  parts.hasScheme = true;
  parts.scheme = collectorScheme(protocol);
  // A port the address does not name as a number ("host", "host:") is the handle's.
  const std::string fallback = std::to_string(port);
  if (!isPortNumber(parts.port)) parts.port = fallback;
  parts.hasPort = true;
  while (parts.path.ends_with('/')) parts.path.remove_suffix(1);
  parts.query = parts.fragment = {};
  return buildUrl(parts);
}

std::string collectorLogURL(std::int64_t protocol, std::string_view address, std::int64_t port) {
  return collectorBaseURL(protocol, address, port) + "/v2/log";
}

}  // namespace zeplog::detail
