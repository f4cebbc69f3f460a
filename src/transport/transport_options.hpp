// Options that apply to every request the library makes: compressed bodies and a proxy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "zeplog/otlp_exporter.hpp"

namespace zeplog::detail {

// POST bodies go compressed (gzip or zstd, with its "Content-Encoding") from the next request
// on, unless a request names its own compression.
void setRequestCompression(Compression compression);
inline void setRequestCompression(bool on) {
  setRequestCompression(on ? Compression::Gzip : Compression::None);
}
Compression requestCompression();

// The http or https proxy of every request from the next one on; "" leaves the choice to
// libcurl's environment rules (http_proxy, https_proxy, no_proxy).
void setProxyURL(std::string url);
std::string proxyURL();

// The body as a gzip member (RFC 1952), or nothing when zlib fails.
std::optional<std::string> gzipCompress(std::string_view body);
// The body as one zstd frame (RFC 8878) with its content size, or nothing when zstd fails.
std::optional<std::string> zstdCompress(std::string_view body);

}  // namespace zeplog::detail
