// The host part of a collector address.
#pragma once

#include <string>
#include <string_view>

namespace zeplog::detail {

// The host name or address literal of a collector address such as "logs.example.com",
// "host:8080", "host/ingest", "user@host:443/x" or "[::1]:8080" ("::1"). The reachability
// monitor watches this, so a collector address with a port or path still resolves.
std::string collectorHost(std::string_view address);

}  // namespace zeplog::detail
