// ZEPLog: the library's one public facade.
//
// An application talks to the library only through the static functions of ZEPLog: it
// initialises one or more handles, logs through them, sets their attributes and custom
// fields, and reports handled exceptions. Nothing here ever throws to the caller; failures
// are a false (or absent) result and a console line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "zeplog/switches.hpp"
#include "zeplog/text.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog {

class kstVelaReachability;

class ZEPLog {
 public:
  ZEPLog() = delete;

  // ---- Initialisation ---------------------------------------------------------------------
  // Each form registers one handle and returns true, or returns false with a console line.
  // The forms without a port take it from the URL's scheme (https: 443, http: 80); the
  // forms without a protocol use HTTP for port 80 and HTTPS otherwise. See docs/api.md.
  static bool init(Text url, Text appKey, Text version);
  static bool init(Text url, Text appKey, Text version, SyncStart syncStart);
  static bool init(Text url, Text appKey, Text version, Text userId);
  static bool init(Text url, Text appKey, Text version, Text userId, SyncStart syncStart);
  static bool init(Text url, Text appKey, Text version, Text userId, Text handleId);
  static bool init(Text url, Text appKey, Text version, Text userId, Text handleId,
                   SyncStart syncStart);
  static bool init(Text url, std::int32_t port, Text appKey, Text version);
  static bool init(Text url, std::int32_t port, Text appKey, Text version, SyncStart syncStart);
  static bool init(Text url, std::int32_t port, Text appKey, Text version, Text userId);
  static bool init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                   SyncStart syncStart);
  static bool init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                   Text handleId);
  static bool init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                   Text handleId, SyncStart syncStart);
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId);
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId, CrashCapture crashCapture);
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId, CrashCapture crashCapture, SyncStart syncStart);
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId, CrashCapture crashCapture, SyncStart syncStart,
                   Text unityVersion);
  // The full form: every other form ends here.
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId, CrashCapture crashCapture, SyncStart syncStart,
                   Text unityVersion, Text handleId);

  // ---- Argument checks and small helpers -------------------------------------------------
  static bool check_params(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                           Text version);
  static bool isValidAppKey(Text appKey);
  static bool isValidVersion(Text version);
  static bool isValidField(Text field);
  // True when the text is absent or "".
  static bool isStringEmpty(Text text);
  // 443 for a URL beginning "https", 80 for "http" (any letter case), else -1.
  static std::int32_t getDefaultPortFromURL(Text url);
  // The part after the first "://"; the whole text when there is none.
  static std::string removeURLPrefix(Text url);
  // A new random UUID in canonical upper-case form.
  static std::string generateUUID();

  // ---- Handle registry --------------------------------------------------------------------
  // Registers a new record with defaults under the id, replacing any record there.
  static void kst_setHandler(Text handleId);
  // The handle's record, or none before initialisation or for an unknown id.
  static std::shared_ptr<kstVelaHandle> kst_getHandler(Text handleId);

  // ---- Process-wide switches ----------------------------------------------------------------
  static void setDebugMode(bool enabled);  // accepted and ignored
  // While true (the default) events carry no host value; while false, "-".
  static void enableHost(bool enabled);
  // Releases the sending hold that SyncStart::On set.
  static void startSendThread();

  // ---- Device and network -----------------------------------------------------------------
  // Path of the device-id file.
  static std::string dataFilePath();
  // The persistent device id, minted and stored on first use; none when it can't be had.
  static std::optional<std::string> getDeviceID();
  // "NONE", "Cellular" or "Wi-Fi" from the monitor's status.
  static std::string getNetworkString(const kstVelaReachability* reachability);

  // ---- Host integration -------------------------------------------------------------------
  // Receives every console line instead of stderr; an empty function restores stderr.
  using ConsoleHandler = std::function<void(std::string_view line)>;
  static void setConsoleHandler(ConsoleHandler handler);
  // Directory for the library's files; call before the first initialisation.
  static void setDataDirectory(std::string path);
};

}  // namespace zeplog
