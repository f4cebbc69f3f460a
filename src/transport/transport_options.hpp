// Options that apply to every request the library makes: compressed bodies and a proxy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeplog::detail {

// POST bodies go gzip-compressed, with "Content-Encoding: gzip", from the next request on.
void setRequestCompression(bool on);
bool requestCompression();

// The http or https proxy of every request from the next one on; "" leaves the choice to
// libcurl's environment rules (http_proxy, https_proxy, no_proxy).
void setProxyURL(std::string url);
std::string proxyURL();

// The body as a gzip member (RFC 1952), or nothing when zlib fails.
std::optional<std::string> gzipCompress(std::string_view body);

}  // namespace zeplog::detail
