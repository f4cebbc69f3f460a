// The network name of the process-wide network state.
#include "zeplog/reachability.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {

std::string ZEPLog::getNetworkString(const kstVelaReachability* reachability) {
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

}  // namespace zeplog
