// The per-handle record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "zeplog/vela_event.hpp"

namespace zeplog {

class kstVelaReachability;

// One initialised handle: its project, collector, user, custom fields and remote-settings
// switches. Records are owned by the registry and never removed. Every field is read and
// written under the library's global resource lock, except by the thread that created the
// record before it was registered.
struct kstVelaHandle {
  OptText projectName;
  OptText projectVersion;
  OptText collectorUrl;
  std::int64_t collectorPort = 0;
  OptText userId;
  OptText logType = std::string("vela2-log");
  OptText logSource = std::string("mac-log");
  OptText networkType = std::string("Wi-Fi");
  FieldsPtr customFields = std::make_shared<Fields>();
  std::shared_ptr<kstVelaReachability> reachability;
  bool isReachable = false;
  bool isLog = true;
  bool isSession = true;
  bool isCrash = true;
  bool isNetworkPulse = false;
  bool isDeduplicate = true;
  bool isSettings = false;
  std::int64_t protocol = 0;  // 0 = HTTPS, 1 = HTTP
};

}  // namespace zeplog
