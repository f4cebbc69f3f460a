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
                   Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion);
  // The full form: every other form ends here.
  static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                   Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion,
                   Text handleId);

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
  template <NotBool T>
  static void setDebugMode(T) = delete;  // only a bool reaches a switch
  // While true (the default) events carry no host value; while false, "-".
  static void enableHost(bool enabled);
  template <NotBool T>
  static void enableHost(T) = delete;
  // Releases the sending hold that SyncStart::On set.
  static void startSendThread();

  // ---- Device and network -----------------------------------------------------------------
  // Path of the device-id file.
  static std::string dataFilePath();
  // The persistent device id, minted and stored on first use; none when it can't be had.
  static std::optional<std::string> getDeviceID();
  // "NONE", "Cellular" or "Wi-Fi" from the monitor's status.
  static std::string getNetworkString(const kstVelaReachability* reachability);

  // ---- Log calls --------------------------------------------------------------------------
  // Five forms per level: on handle "0" (with and without a source location), on handle
  // "WardKit" (the _Wardkit forms), and on a named handle. The location is accepted and not
  // used. Each queues one event; nothing is sent on the caller's thread.
#define ZEPLOG_LEVEL_FORMS(level)                                           \
  static void level(Text errorCode, Text message);                          \
  static void level(Text errorCode, Text message, Text location);           \
  static void level##_Wardkit(Text errorCode, Text message);                \
  static void level##_Wardkit(Text errorCode, Text message, Text location); \
  static void level(Text errorCode, Text message, Text location, Text handleId);
  ZEPLOG_LEVEL_FORMS(debug)
  ZEPLOG_LEVEL_FORMS(info)
  ZEPLOG_LEVEL_FORMS(warn)
  ZEPLOG_LEVEL_FORMS(error)
  ZEPLOG_LEVEL_FORMS(fatal)
#undef ZEPLOG_LEVEL_FORMS

  // Builds one event with the given level text and queues it for the handle ("0" in the
  // short form).
  static void sendLog(Text level, Text errorCode, Text message, Text location, Text handleId);
  static void sendLog(Text level, Text errorCode, Text message, Text location);

  // Handled exceptions, reported as crash events of handle "0".
  static void handledDebug(Text message, Text exception);
  static void handledInfo(Text message, Text exception);
  static void handledWarn(Text message, Text exception);
  static void handledError(Text message, Text exception);
  static void handledFatal(Text message, Text exception);

  // Events in the main queue and in the failed-send queue; -1 before the first
  // initialisation.
  static std::int32_t queueSize();
  static std::int32_t fileQueueSize();

  // ---- Handle attributes and custom fields -------------------------------------------------
  static void setUserId(Text userId, Text handleId);
  static void setUserId(Text userId);
  static void setUserId_WardKit(Text userId);
  static void setLogType(Text logType, Text handleId);
  static void setLogType(Text logType);
  static void setLogType_WardKit(Text logType);
  static void setLogSource(Text logSource, Text handleId);
  static void setLogSource(Text logSource);
  static void setLogSource_WardKit(Text logSource);
  static void setLogDeduplicate(bool enabled, Text handleId);
  static void setLogDeduplicate(bool enabled);
  static void setLogDeduplicate_WardKit(bool enabled);
  template <NotBool T>
  static void setLogDeduplicate(T, Text) = delete;  // only a bool reaches the switch
  template <NotBool T>
  static void setLogDeduplicate(T) = delete;
  template <NotBool T>
  static void setLogDeduplicate_WardKit(T) = delete;
  static void setCustomField(Text value, Text key, Text handleId);
  static void setCustomField(Text value, Text key);
  static void setCustomField_WardKit(Text value, Text key);
  static void removeCustomFieldForKey(Text key, Text handleId);
  static void removeCustomFieldForKey(Text key);
  static void removeCustomFieldForKey_WardKit(Text key);
  static void removeAllCustomFields(Text handleId);
  static void removeAllCustomFields();
  static void removeAllCustomFields_WardKit();

  // ---- Sessions ---------------------------------------------------------------------------
  // Queues the handle's session event (level "INFO", message "SESSION").
  static void createSession(Text handleId);

  // ---- Unity crashes ----------------------------------------------------------------------
  // Queues a crash event for handle "0"; level and type are accepted and not used.
  static void sendUnityCrash(Text level, Text type, Text message, Text exception);
  // The crash duplicate check of the send filter: true = send.
  static bool checkUnityCrash(const VelaEventPtr& event,
                              const std::shared_ptr<kstVelaHandle>& handle);
  // Stores a count in the crash duplicate table, making room first when it is full.
  static void InsertCrashQueue(Text key, std::int32_t value);

  // ---- Native crashes ---------------------------------------------------------------------
  // Arms crash capture once per process (initialisation calls it for the first ordinary
  // handle that asks for it). After a crash the report is sent at once, while the process is
  // still alive, as one crash event of handle "0"; a report that can't be sent then is sent
  // by the next run that arms capture.
  static void enableSendCrashReport();
  // A block run once after a crash, before the report is sent; an empty function clears it.
  // It runs on the library's crash-upload thread while the crashed thread waits.
  static void setCrashBlock(std::function<void()> block);
  // The crash hand-off: runs the crash block, then sendCrashReport(). The context is ignored.
  static void velaSendCrash(void* context);
  // Sends this process's pending crash report, if there is one.
  static void sendCrashReport();
  // Builds the crash event of handle "0" from crash text (fileData, fileSize bytes) and
  // POSTs it at once. The file name is accepted and not used.
  static void transportFile(Text fileName, const void* fileData, std::uint32_t fileSize,
                            Text errorCode, Text logBody);

  // ---- Event JSON and common fields --------------------------------------------------------
  // The collector's JSON object of the event (UTF-8 bytes); "{}" for no event.
  static std::string getJsonFromVelaEvent(const VelaEventPtr& event);
  // The same with "kstBulkIndex" = index, as written into a batch.
  static std::string getJsonFromVelaEvent(const VelaEventPtr& event, std::int32_t kstBulkIndex);
  // Adds the handle's common fields to fields; false (fields untouched) for an unknown handle.
  static bool copyCommonFields(Fields& fields, Text handleId);
  static bool copyCommonFields(Fields& fields);
  // "-" while host reporting is off, none while it is on.
  static OptText getHost();
  // The UTF-8 text of a byte-data value; "" for text or no value; none for invalid UTF-8.
  static OptText idToNSString(const FieldValue* value);
  // The device's IPv4 address, preferring the wireless or wired interface; "0.0.0.0" if none.
  static std::string getIPAddress();

  // ---- Host integration -------------------------------------------------------------------
  // Receives every console line instead of stderr; an empty function restores stderr. Lines
  // come from any thread, and a call already running on another thread may still be inside
  // the previous handler when this returns: keep what a handler uses alive for the process.
  using ConsoleHandler = std::function<void(std::string_view line)>;
  static void setConsoleHandler(ConsoleHandler handler);
  // Directory for the library's files; call before the first initialisation.
  static void setDataDirectory(std::string path);
};

}  // namespace zeplog
