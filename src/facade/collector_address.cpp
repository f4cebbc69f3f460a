#include "facade/collector_address.hpp"

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

}  // namespace zeplog::detail
