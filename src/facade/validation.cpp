// Argument checks of initialisation and the custom-field calls.

#include "common/ascii.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/url.hpp"
#include "common/uuid.hpp"
#include "event/text_rules.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

bool isAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameChar(char c) { return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '_'; }

// Whole-text match of: one character accepted by `first`, then any number accepted by
// `rest`. Hand-written rather than a regular expression: linear, no recursion, and a
// trailing line break is not quietly accepted.
template <typename First, typename Rest>
bool matchesWhole(std::string_view s, First first, Rest rest) {
  if (s.empty() || !first(s[0])) return false;
  for (std::size_t i = 1; i < s.size(); ++i)
    if (!rest(s[i])) return false;
  return true;
}

// The checks of check_params, in order; the first that fails writes its line.
bool checkParams(Text url, std::int32_t protocol, Text appKey, Text version) {
  if (url.absent() || appKey.absent() || version.absent()) {
    ZEP_CONSOLE("invalid parameters");
    return false;
  }
  if (static_cast<std::uint32_t>(protocol) >= 2) {
    ZEP_CONSOLE("unsupported protocol");
    return false;
  }
  if (!ZEPLog::isValidAppKey(appKey)) {
    ZEP_CONSOLE("invalid appkey");
    return false;
  }
  if (!ZEPLog::isValidVersion(version)) {
    ZEP_CONSOLE("invalid version");
    return false;
  }
  return true;
}

}  // namespace

bool ZEPLog::isValidAppKey(Text appKey) noexcept {
  bool ok = matchesWhole(
      appKey.view(), [](char c) { return isAsciiAlpha(c) || isAsciiDigit(c); }, isNameChar);
  if (!ok) {
    detail::guarded("isValid", [&] {
      ZEP_CONSOLE(detail::consoleText(appKey) +
                  " is invalid, only allow to include a-z,A-Z,0-9, and start with alphabet");
    });
  }
  return ok;
}

bool ZEPLog::isValidVersion(Text version) noexcept {
  bool ok = matchesWhole(
      version.view(), [](char c) { return isAsciiAlpha(c) || isAsciiDigit(c); },
      [](char c) { return isNameChar(c) || c == '.'; });
  if (!ok) {
    detail::guarded("isValid", [&] {
      ZEP_CONSOLE(detail::consoleText(version) +
                  " is invalid, only allow to include a-z,A-Z,0-9 . and start with alphabet");
    });
  }
  return ok;
}

bool ZEPLog::isValidField(Text field) noexcept {
  bool ok = matchesWhole(field.view(), isAsciiAlpha, isNameChar);
  if (!ok) {
    detail::guarded("isValid", [&] {
      ZEP_CONSOLE(detail::consoleText(field) +
                  " is invalid, only allow to include a-z,A-Z,0-9, and start with alphabet");
    });
  }
  return ok;
}

bool ZEPLog::isStringEmpty(Text text) noexcept { return text.emptyOrAbsent(); }

std::int32_t ZEPLog::getDefaultPortFromURL(Text url) noexcept {
  return detail::defaultPortByPrefix(url.view());
}

std::string ZEPLog::removeURLPrefix(Text url) noexcept {
  return detail::guarded<std::string>("removeURLPrefix", std::string(), [&] {
    // Without "://" there is nothing to cut: the whole text is the collector address.
    return detail::toValidUtf8(detail::withoutScheme(url.view()));
  });
}

std::string ZEPLog::generateUUID() noexcept {
  return detail::guarded<std::string>("generateUUID", std::string(),
                                      [] { return detail::generateUUID(); });
}

bool ZEPLog::check_params(Text url, std::int32_t /*port*/, std::int32_t protocol, Text appKey,
                          Text version) noexcept {
  return detail::guarded<bool>("check_params", false,
                               [&] { return checkParams(url, protocol, appKey, version); });
}

}  // namespace zeplog
