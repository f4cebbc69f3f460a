// The network name of the process-wide network state.
#include "net/network_name.hpp"

#include "zeplog/reachability.hpp"

namespace zeplog::detail {

std::string getNetworkString(const kstVelaReachability* reachability) {
  if (!reachability) return "NONE";
  switch (reachability->currentReachabilityStatus()) {
    case ReachableViaWWAN:
      return "Cellular";
    case ReachableViaWiFi:
      return "Wi-Fi";
    default:
      return "NONE";
  }
}

}  // namespace zeplog::detail
