// The network name of a reachability monitor.
#pragma once

#include <string>

namespace zeplog {
class kstVelaReachability;
}

namespace zeplog::detail {

// "NONE", "Cellular" or "Wi-Fi" from the monitor's status.
std::string getNetworkString(const kstVelaReachability* reachability);

}  // namespace zeplog::detail
