#include "facade/collector_address.hpp"

#include "common/url.hpp"

namespace zeplog::detail {

std::string collectorHost(std::string_view address) {
  return std::string(parseAddress(address).host);
}

bool isCollectorUrlUsable(std::string_view url) {
  const UrlParts parts = parseUrl(url);
  if (!parts.hasScheme) {
    // No "://": the whole text is the address, unless it is only a scheme ("https",
    // "http:", "HTTPS:/x"), which a caller meant as a URL and left without a host.
    const std::string_view head = url.substr(0, url.find(':'));
    if (equalsNoCase(head, "http") || equalsNoCase(head, "https")) return false;
  }
  return !parts.host.empty();
}

}  // namespace zeplog::detail
