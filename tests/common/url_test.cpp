// The URL module: how text splits into parts, is written back, and is normalised.
#include "common/url.hpp"

#include <gtest/gtest.h>

namespace zeplog::detail {
namespace {

TEST(Url, SplitsIntoPartsAndBuildsBackAsWritten) {
  struct Case {
    std::string_view url, scheme, userInfo, host;
    bool ipv6;
    std::string_view port, path, query, fragment;
  };
  const Case cases[] = {
      {"HTTP://u:pw@h:8080/p?q=a/b:c#f:1", "HTTP", "u:pw@", "h", false, "8080", "/p", "?q=a/b:c",
       "#f:1"},
      {"http://h?x=1", "http", "", "h", false, "", "", "?x=1", ""},
      {"http://[::1]:8080/x", "http", "", "::1", true, "8080", "/x", "", ""},
      {"http://[::1]x/y", "http", "", "::1", true, "", "/y", "", ""},  // junk after "]" dropped
      {"http://[fe80::1/x", "http", "", "fe80::1", true, "", "/x", "", ""},  // "]" missing
      {"http://::1/x", "http", "", "::1", true, "", "/x", "", ""},           // bare: no port
      {"http://a@b@h:/", "http", "a@b@", "h", false, "", "/", "", ""},
      {"https://a/b://c", "https", "", "a", false, "", "/b://c", "", ""},
      {"h.example:9/in?x", "", "", "h.example", false, "9", "/in", "?x", ""},  // no scheme
      {"https:///p", "https", "", "", false, "", "/p", "", ""},
  };
  for (const Case& c : cases) {
    const UrlParts u = parseUrl(c.url);
    EXPECT_EQ(u.hasScheme, c.url.find("://") != std::string_view::npos) << c.url;
    EXPECT_EQ(u.scheme, c.scheme) << c.url;
    EXPECT_EQ(u.userInfo, c.userInfo) << c.url;
    EXPECT_EQ(u.host, c.host) << c.url;
    EXPECT_EQ(u.ipv6, c.ipv6) << c.url;
    EXPECT_EQ(u.port, c.port) << c.url;
    EXPECT_EQ(u.path, c.path) << c.url;
    EXPECT_EQ(u.query, c.query) << c.url;
    EXPECT_EQ(u.fragment, c.fragment) << c.url;
    // Written back, a URL with its host in the usual form comes out as it went in.
    const bool usualForm = c.url.find_first_of("[]") == std::string_view::npos && !c.ipv6;
    if (usualForm) {
      EXPECT_EQ(buildUrl(u), c.url);
    }
  }
  EXPECT_EQ(buildUrl(parseUrl("http://::1/x")), "http://[::1]/x");
  EXPECT_EQ(withoutScheme("https://a/b://c"), "a/b://c");
  EXPECT_EQ(withoutScheme("h:9/x"), "h:9/x");
}

// Which URLs the library requests at all, and in what normal form.
TEST(Url, HttpSchemesWithAHostAreNormalisedAndNothingElseIs) {
  struct Case {
    std::string_view url;
    bool http, withHost;
    std::optional<std::string> normal;
  };
  const Case cases[] = {
      {"HTTPS://x", true, true, "https://x:443"},
      {"http://x", true, true, "http://x:80"},
      {"httpx://x", false, false, std::nullopt},
      {"http:/x", false, false, std::nullopt},
      {"http://", true, false, std::nullopt},
      {"https://?x", true, false, std::nullopt},
      {"http://u@/x", true, false, std::nullopt},
      {"http://:80/x", true, false, std::nullopt},
      // The port goes after the host, not after a ":" in the user information or query.
      {"https://u:pw@h/x", true, true, "https://u:pw@h:443/x"},
      {"https://h?a:b/c", true, true, "https://h:443?a:b/c"},
      {"http://h:/x", true, true, "http://h:/x"},  // names a port, though an empty one
      {"http://::1/x", true, true, "http://[::1]/x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isHttpUrl(c.url), c.http) << c.url;
    EXPECT_EQ(isHttpUrlWithHost(c.url), c.withHost) << c.url;
    EXPECT_EQ(normaliseHttpUrl(c.url), c.normal) << c.url;
  }
}

}  // namespace
}  // namespace zeplog::detail
