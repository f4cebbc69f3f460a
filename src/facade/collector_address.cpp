#include "facade/collector_address.hpp"

#include "common/ascii.hpp"

namespace zeplog::detail {

std::string collectorHost(std::string_view address) {
  std::string_view s = address;
  // Authority ends at the first path, query or fragment character.
  std::size_t end = s.find_first_of("/?#");
  if (end != std::string_view::npos) s = s.substr(0, end);
  std::size_t at = s.rfind('@');
  if (at != std::string_view::npos) s = s.substr(at + 1);
  if (!s.empty() && s.front() == '[') {
    std::size_t close = s.find(']');
    return std::string(close == std::string_view::npos ? s.substr(1) : s.substr(1, close - 1));
  }
  std::size_t colon = s.find(':');
  if (colon != std::string_view::npos) s = s.substr(0, colon);
  return std::string(s);
}

bool isCollectorUrlUsable(std::string_view url) {
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) {
    // No "://": the whole text is the address, unless it is only a scheme ("https",
    // "http:", "HTTPS:/x"), which a caller meant as a URL and left without a host.
    std::string_view head = url.substr(0, url.find(':'));
    if (equalsNoCase(head, "http") || equalsNoCase(head, "https")) return false;
    return !collectorHost(url).empty();
  }
  return !collectorHost(url.substr(sep + 3)).empty();
}

}  // namespace zeplog::detail
