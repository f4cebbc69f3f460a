// The URL a batch or a crash event is posted to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeplog::detail {

// "https" for protocol 0, "http" for any other value.
std::string_view collectorScheme(std::int64_t protocol);

// The collector's ingestion URL: scheme "://" host [":" port] [path] "/v2/log".
// The address is the handle's collector address without its scheme ("logs.example.com",
// "logs.example.com:8443", "logs.example.com/ingest/", "[::1]:8080", "::1"):
//  - a port written in the address as a number wins over the handle's port; otherwise the
//    handle's port is used;
//  - a path in the address is kept in front of "v2/log", joined by exactly one "/";
//  - a query or fragment in the address is dropped;
//  - a bare IPv6 address is put in brackets.
std::string collectorLogURL(std::int64_t protocol, std::string_view address, std::int64_t port);

// The same URL without "/v2/log": scheme "://" host [":" port] [path], by the same rules.
// Other services of the collector are addressed below it.
std::string collectorBaseURL(std::int64_t protocol, std::string_view address, std::int64_t port);

}  // namespace zeplog::detail
