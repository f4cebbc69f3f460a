// The host part of a collector address.
#pragma once

#include <string>
#include <string_view>

namespace zeplog::detail {

// The host name or address literal of a collector address such as "logs.example.com",
// "host:8080", "host/ingest", "user@host:443/x", "[::1]:8080" or "::1" (both "::1"). The
// reachability monitor watches this, so a collector address with a port or path still resolves.
std::string collectorHost(std::string_view address);

// False for a collector URL that names no host: one whose address (the part after "://")
// has an empty host, or a bare scheme such as "https" or "http:" without "://". Such an
// address can never be reached, so initialisation refuses it instead of failing forever.
bool isCollectorUrlUsable(std::string_view url);

}  // namespace zeplog::detail
