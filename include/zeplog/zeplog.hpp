// ZEPLog: the library's one public facade.
//
// An application talks to the library only through the static functions of ZEPLog: it
// initialises one or more handles, logs through them, sets their attributes and custom
// fields, and reports handled exceptions. Nothing here ever throws to the caller; failures
// are a false (or absent) result and a console line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/attribute.hpp"
#include "zeplog/consent.hpp"
#include "zeplog/counters.hpp"
#include "zeplog/durable_delivery.hpp"
#include "zeplog/export.hpp"
#include "zeplog/level.hpp"
#include "zeplog/minidump_options.hpp"
#include "zeplog/otlp_exporter.hpp"
#include "zeplog/switches.hpp"
#include "zeplog/text.hpp"
#include "zeplog/trace_context.hpp"
#include "zeplog/vela_event.hpp"
#include "zeplog/vela_handle.hpp"

namespace zeplog {

class kstVelaReachability;

class ZEPLOG_API ZEPLog {
 public:
  ZEPLog() = delete;

  // ---- Initialisation ---------------------------------------------------------------------
  // Each form registers one handle and returns true, or returns false with a console line.
  // The forms without a port take it from the URL's scheme (https: 443, http: 80); the
  // forms without a protocol use HTTP for port 80 and HTTPS otherwise. See docs/api.md.
  [[nodiscard]] static bool init(Text url, Text appKey, Text version) noexcept;
  [[nodiscard]] static bool init(Text url, Text appKey, Text version, SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, Text appKey, Text version, Text userId) noexcept;
  [[nodiscard]] static bool init(Text url, Text appKey, Text version, Text userId,
                                 SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, Text appKey, Text version, Text userId,
                                 Text handleId) noexcept;
  [[nodiscard]] static bool init(Text url, Text appKey, Text version, Text userId, Text handleId,
                                 SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version,
                                 SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version,
                                 Text userId) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version,
                                 Text userId, SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version,
                                 Text userId, Text handleId) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, Text appKey, Text version,
                                 Text userId, Text handleId, SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                                 Text version, Text userId) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                                 Text version, Text userId, CrashCapture crashCapture) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                                 Text version, Text userId, CrashCapture crashCapture,
                                 SyncStart syncStart) noexcept;
  [[nodiscard]] static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                                 Text version, Text userId, CrashCapture crashCapture,
                                 SyncStart syncStart, Text unityVersion) noexcept;
  // The full form: every other form ends here.
  [[nodiscard]] static bool init(Text url, std::int32_t port, std::int32_t protocol, Text appKey,
                                 Text version, Text userId, CrashCapture crashCapture,
                                 SyncStart syncStart, Text unityVersion, Text handleId) noexcept;

  // ---- Argument checks and small helpers -------------------------------------------------
  [[nodiscard]] static bool check_params(Text url, std::int32_t port, std::int32_t protocol,
                                         Text appKey, Text version) noexcept;
  [[nodiscard]] static bool isValidAppKey(Text appKey) noexcept;
  [[nodiscard]] static bool isValidVersion(Text version) noexcept;
  [[nodiscard]] static bool isValidField(Text field) noexcept;
  // True when the text is absent or "".
  static bool isStringEmpty(Text text) noexcept;
  // 443 for a URL beginning "https", 80 for "http" (any letter case), else -1.
  static std::int32_t getDefaultPortFromURL(Text url) noexcept;
  // The part after the first "://"; the whole text when there is none.
  static std::string removeURLPrefix(Text url) noexcept;
  // A new random UUID in canonical upper-case form.
  static std::string generateUUID() noexcept;

  // ---- Handle registry --------------------------------------------------------------------
  // Registers a new record with defaults under the id, replacing any record there.
  static void kst_setHandler(Text handleId) noexcept;
  // A copy of the handle's record as it is now, owned by the caller (later changes to the
  // handle do not show in it), or none before initialisation or for an unknown id.
  [[nodiscard]] static std::shared_ptr<const kstVelaHandle> kst_getHandler(Text handleId) noexcept;

  // ---- Process-wide switches ----------------------------------------------------------------
  static void setDebugMode(bool enabled) noexcept;  // accepted and ignored
  template <NotBool T>
  static void setDebugMode(T) = delete;  // only a bool reaches a switch
  // While true (the default) events carry no host value; while false, "-".
  static void enableHost(bool enabled) noexcept;
  template <NotBool T>
  static void enableHost(T) = delete;
  // Releases the sending hold that SyncStart::On set.
  static void startSendThread() noexcept;

  // ---- Device and network -----------------------------------------------------------------
  // Path of the device-id file.
  static std::string dataFilePath() noexcept;
  // The persistent device id, minted and stored on first use; none when it can't be had.
  [[nodiscard]] static std::optional<std::string> getDeviceID() noexcept;
  // "NONE", "Cellular" or "Wi-Fi" from the monitor's status.
  static std::string getNetworkString(const kstVelaReachability* reachability) noexcept;

  // ---- Log calls --------------------------------------------------------------------------
  // Five forms per level: on handle "0" (with and without a source location), on handle
  // "WardKit" (the _Wardkit forms), and on a named handle. The location is accepted and not
  // used. Each queues one event; nothing is sent on the caller's thread.
#define ZEPLOG_LEVEL_FORMS(level)                                                    \
  static void level(Text errorCode, Text message) noexcept;                          \
  static void level(Text errorCode, Text message, Text location) noexcept;           \
  static void level##_Wardkit(Text errorCode, Text message) noexcept;                \
  static void level##_Wardkit(Text errorCode, Text message, Text location) noexcept; \
  static void level(Text errorCode, Text message, Text location, Text handleId) noexcept;
  ZEPLOG_LEVEL_FORMS(debug)
  ZEPLOG_LEVEL_FORMS(info)
  ZEPLOG_LEVEL_FORMS(warn)
  ZEPLOG_LEVEL_FORMS(error)
  ZEPLOG_LEVEL_FORMS(fatal)
#undef ZEPLOG_LEVEL_FORMS

  // ---- Structured log calls --------------------------------------------------------------
  // One event at the level with typed attributes, on handle "0" or a named one:
  //   ZEPLog::log(Level::Info, "served", {{"http.route", "/users"}, {"bytes", n}});
  // Each attribute is a field of the collector's event (text as a string, numbers and bools
  // as JSON numbers and booleans) and a typed attribute of an OTLP record. An attribute named
  // like a field the library writes is left out (Counter::AttributeClashes); the limits are
  // in attribute.hpp (Counter::AttributesCut). The calling thread's trace context, when set, goes
  // along. The call copies what it keeps into its thread's staging ring and returns: the event is
  // made on the send thread.
  static void log(Level level, std::string_view message,
                  std::initializer_list<Attribute> attributes = {}) noexcept;
  static void log(Level level, std::string_view message, std::span<const Attribute> attributes,
                  Text handleId) noexcept;
  // The same with an "errorCode" field, as the level forms have (the logger sinks use it).
  static void log(Level level, std::string_view message, std::span<const Attribute> attributes,
                  Text handleId, Text errorCode) noexcept;

  // The trace context of the calling thread's later log calls, until cleared or replaced.
  static void setThreadTraceContext(const TraceContext& context) noexcept;
  static void clearThreadTraceContext() noexcept;
  // The calling thread's context; none when cleared.
  [[nodiscard]] static std::optional<TraceContext> threadTraceContext() noexcept;

  // Builds one event with the given level text and queues it for the handle ("0" in the
  // short form).
  static void sendLog(Text level, Text errorCode, Text message, Text location,
                      Text handleId) noexcept;
  static void sendLog(Text level, Text errorCode, Text message, Text location) noexcept;

  // Handled exceptions, reported as crash events of handle "0".
  static void handledDebug(Text message, Text exception) noexcept;
  static void handledInfo(Text message, Text exception) noexcept;
  static void handledWarn(Text message, Text exception) noexcept;
  static void handledError(Text message, Text exception) noexcept;
  static void handledFatal(Text message, Text exception) noexcept;

  // Events in the main queue and in the failed-send queue; -1 before the first
  // initialisation.
  static std::int32_t queueSize() noexcept;
  static std::int32_t fileQueueSize() noexcept;

  // ---- Handle attributes and custom fields -------------------------------------------------
  static void setUserId(Text userId, Text handleId) noexcept;
  static void setUserId(Text userId) noexcept;
  static void setUserId_WardKit(Text userId) noexcept;
  static void setLogType(Text logType, Text handleId) noexcept;
  static void setLogType(Text logType) noexcept;
  static void setLogType_WardKit(Text logType) noexcept;
  static void setLogSource(Text logSource, Text handleId) noexcept;
  static void setLogSource(Text logSource) noexcept;
  static void setLogSource_WardKit(Text logSource) noexcept;
  static void setLogDeduplicate(bool enabled, Text handleId) noexcept;
  static void setLogDeduplicate(bool enabled) noexcept;
  static void setLogDeduplicate_WardKit(bool enabled) noexcept;
  template <NotBool T>
  static void setLogDeduplicate(T, Text) = delete;  // only a bool reaches the switch
  template <NotBool T>
  static void setLogDeduplicate(T) = delete;
  template <NotBool T>
  static void setLogDeduplicate_WardKit(T) = delete;
  static void setCustomField(Text value, Text key, Text handleId) noexcept;
  static void setCustomField(Text value, Text key) noexcept;
  static void setCustomField_WardKit(Text value, Text key) noexcept;
  static void removeCustomFieldForKey(Text key, Text handleId) noexcept;
  static void removeCustomFieldForKey(Text key) noexcept;
  static void removeCustomFieldForKey_WardKit(Text key) noexcept;
  static void removeAllCustomFields(Text handleId) noexcept;
  static void removeAllCustomFields() noexcept;
  static void removeAllCustomFields_WardKit() noexcept;

  // ---- Sessions ---------------------------------------------------------------------------
  // Queues the handle's session event (level "INFO", message "SESSION").
  static void createSession(Text handleId) noexcept;

  // Ends the handle's session after a Unity crash event was appended to the batch: a new
  // session id, and a session event appended right after the crash event.
  static void regenerateSession(const VelaEventPtr& crashEvent, std::vector<VelaEventPtr>& batch,
                                const std::shared_ptr<kstVelaHandle>& handle) noexcept;

  // ---- Delivery ---------------------------------------------------------------------------
  // Starts the send thread once per process; false when it runs already.
  static bool createLogSendThread() noexcept;
  // The send filter: true when the event joins its project's batch.
  static bool checkSendStatus(const VelaEventPtr& event,
                              const std::shared_ptr<kstVelaHandle>& handle) noexcept;
  // Stores a count in the duplicate table of ordinary events, trimming it first when full.
  static void InsertQueue(Text key, std::int32_t value) noexcept;
  // Sends every gathered batch, one request per project; returns when all have ended.
  static void sendVelaEventByRestAPI() noexcept;
  // Posts one JSON array text to the handle's collector and returns when the request has
  // ended. Anything but status 200 writes its events back to the failed-send queue.
  static void sendVelaEventByRestAPI(Text json, Text handleId) noexcept;

  // ---- Remote settings --------------------------------------------------------------------
  // Starts the settings thread and the latency-probe thread once per process (initialisation
  // does it); false when they run already or before the first initialisation.
  static bool createPerformanceThread() noexcept;
  // Applies a settings answer's text to the handle's switches and, when NetworkPulse is then
  // on, queues its probe URLs for handleId. Returns the handle.
  static std::shared_ptr<kstVelaHandle> Fill_Handler_by_SettingsAPI(
      std::shared_ptr<kstVelaHandle> handle, Text loadData, Text handerId) noexcept;
  // Replaces the settings base URL built into the library (http or https; the project name
  // and "/logsconf" are appended). Only before the first initialisation; false otherwise.
  static bool setSettingsBaseURL(Text url) noexcept;

  // ---- Unity crashes ----------------------------------------------------------------------
  // Queues a crash event for handle "0"; level and type are accepted and not used.
  static void sendUnityCrash(Text level, Text type, Text message, Text exception) noexcept;
  // The crash duplicate check of the send filter: true = send.
  static bool checkUnityCrash(const VelaEventPtr& event,
                              const std::shared_ptr<const kstVelaHandle>& handle) noexcept;
  // Stores a count in the crash duplicate table, making room first when it is full.
  static void InsertCrashQueue(Text key, std::int32_t value) noexcept;

  // ---- Native crashes ---------------------------------------------------------------------
  // Arms crash capture once per process (initialisation calls it for the first ordinary
  // handle that asks for it). After a crash the report is sent at once, while the process is
  // still alive, as one crash event of handle "0"; a report that can't be sent then is sent
  // by the next run that arms capture.
  static void enableSendCrashReport() noexcept;
  // A block run once after a crash, before the report is sent; an empty function clears it.
  // It runs on the library's crash-upload thread while the crashed thread waits.
  static void setCrashBlock(std::function<void()> block) noexcept;
  // The crash hand-off: runs the crash block, then sendCrashReport(). The context is ignored.
  static void velaSendCrash(void* context) noexcept;
  // Sends this process's pending crash report, if there is one.
  static void sendCrashReport() noexcept;
  // Builds the crash event of handle "0" from crash text (fileData, fileSize bytes) and
  // POSTs it at once. The file name is accepted and not used.
  static void transportFile(Text fileName, const void* fileData, std::uint32_t fileSize,
                            Text errorCode, Text logBody) noexcept;

  // ---- Event JSON and common fields --------------------------------------------------------
  // The collector's JSON object of the event (UTF-8 bytes); "{}" for no event.
  static std::string getJsonFromVelaEvent(const VelaEventPtr& event) noexcept;
  // The same with "kstBulkIndex" = index, as written into a batch.
  static std::string getJsonFromVelaEvent(const VelaEventPtr& event,
                                          std::int32_t kstBulkIndex) noexcept;
  // Adds the handle's common fields to fields; false (fields untouched) for an unknown handle.
  [[nodiscard]] static bool copyCommonFields(Fields& fields, Text handleId) noexcept;
  [[nodiscard]] static bool copyCommonFields(Fields& fields) noexcept;
  // "-" while host reporting is off, none while it is on.
  static OptText getHost() noexcept;
  // The UTF-8 text of a byte-data value; "" for text or no value; none for invalid UTF-8.
  static OptText idToNSString(const FieldValue* value) noexcept;
  // The device's IPv4 address, preferring the wireless or wired interface; "0.0.0.0" if none.
  static std::string getIPAddress() noexcept;

  // ---- Application lifecycle -------------------------------------------------------------
  // The application calls these from its own lifecycle handling; the library watches no
  // lifecycle events itself. Entering the background writes the queued and the failed events
  // to the data directory (a queue whose file can't be written keeps its events); returning
  // to the foreground puts them back into the queues they came from. Both do nothing before
  // the first initialisation. They read and write files: call them from a thread that may
  // wait for the disk.
  static void applicationDidEnterBackground() noexcept;
  static void applicationWillEnterForeground() noexcept;
  // For a normal exit: sends what is queued (waiting up to 2 seconds), cuts off a request
  // that is still running after that (waiting up to 1 more second for its events to come
  // back), then saves what is left as applicationDidEnterBackground does, for the next run
  // to send. Takes about 3 seconds at most, plus the disk, even with an unreachable
  // collector. Nothing before the first initialisation.
  static void applicationWillTerminate() noexcept;

  // ---- Flush and counters ------------------------------------------------------------------
  // Sends what is queued now without waiting for the next send cycle, and waits up to
  // `timeout` for that send to end. True when everything queued at the call was delivered
  // (the collector answered 200) and no event waits in the failed-send queue; false when a
  // send failed, the time ran out, or failed events wait for the next run. Returns at once
  // with true when nothing is queued and before the first initialisation. Right after an
  // initialisation it waits for the send thread to start (after the first settings fetch);
  // a send held by sync start is waited for until the bound. Called on the library's own
  // send thread (from a console handler), it does not wait and is true only when nothing is
  // queued. Call it from a thread that may wait.
  [[nodiscard]] static bool flush(std::chrono::milliseconds timeout) noexcept;
  // What has become of the events so far (see Counters).
  [[nodiscard]] static Counters counters() noexcept;
  // What sampling, the rate limit and a revoked upload consent held back so far.
  [[nodiscard]] static ControlCounters controlCounters() noexcept;
  // Any counter by name, those added after the two structs included; 0 for a value outside
  // the enumeration.
  [[nodiscard]] static std::uint64_t counter(Counter which) noexcept;
  // Bounds the bytes of queued events in each event queue (the main and the failed-send
  // queue; default 64 MiB); past it the oldest events go, as at the 2000-event bound. Only
  // before the first initialisation, and not 0: false with a console line otherwise.
  static bool setQueueByteLimit(std::size_t bytes) noexcept;

  // ---- Integrations (each off until the application turns it on; see docs/api.md) ---------
  // Local minimum level: "DEBUG" (the default), "INFO", "WARN", "ERROR" or "FATAL". Log calls
  // below it return before making an event and are counted (Counters::belowMinimumLevel);
  // crash, session and probe events are not affected. Anything else: false with a console
  // line, and the threshold stays as it was.
  static bool setMinimumLevel(Text level) noexcept;
  // Before-send hook: called on the send thread for each event once its common fields are
  // added and before the send filter, never under a library lock. It may change or remove
  // fields and the body; false drops the event, and so does an exception it throws (with a
  // console line); both are counted (Counters::droppedByBeforeSend). An empty function
  // removes it. Crash reports sent at crash time do not pass through it.
  static void setBeforeSend(std::function<bool(VelaEvent&)> hook) noexcept;
  // Gives these fields the value "[redacted]" in every event sent from now on (after the
  // before-send hook), crash events included; an empty list turns redaction off.
  static void redactFields(std::vector<std::string> keys) noexcept;
  // Breadcrumbs: keeps the last n log calls of the process (time, level, error code, message
  // cut at 256 bytes) for crash reports: a native crash's event and a Unity crash's carry
  // them in the text field "Breadcrumbs", one line per call, oldest first. 0 (the default)
  // turns them off; at most 1000 (a larger n is taken as 1000, with a console line).
  static void setBreadcrumbs(std::uint32_t n) noexcept;

  // ---- What leaves the machine (see docs/api.md) -------------------------------------------
  // Asks for upload consent: until setUploadConsent(Consent::Given), nothing is sent (no
  // event, crash report, settings fetch or probe); events and crash reports are kept on disk.
  // The answer is recorded in the data directory and holds for later runs. Only before the
  // first initialisation: false with a console line otherwise.
  static bool requireUploadConsent() noexcept;
  // At any time. Given sends what was kept, then everything; Revoked deletes what was kept
  // (queued events, queue files, spool, crash reports) and keeps and sends nothing more;
  // Unknown holds everything again. Recorded in the data directory (before the first
  // initialisation: at it, winning over an earlier run's record).
  static void setUploadConsent(Consent consent) noexcept;
  // The state now; Given when consent was never asked for (everything flows).
  [[nodiscard]] static Consent uploadConsent() noexcept;
  // Keeps this share (0 to 1, the default 1) of the log calls at this level; the others are
  // counted (ControlCounters::sampledOut). Crash, session and probe events are never sampled. NaN:
  // false with a console line; other values are clamped into [0, 1].
  static bool setSampleRate(Level level, double rate) noexcept;
  // Limits each handle's log calls to eventsPerSecond on average, with bursts of up to burst
  // calls (a token bucket per handle); the others are counted (ControlCounters::rateLimited), with
  // a console line a minute at most. The rate is clamped to [0.001, 1e9] (above 1e9, infinity
  // included, turns the limit off: the default), burst to [1, 1000000]; NaN: false with a
  // console line. Session and crash events are never limited.
  static bool setRateLimit(double eventsPerSecond, std::uint32_t burst) noexcept;

  // ---- Host integration -------------------------------------------------------------------
  // Receives every console line instead of stderr; an empty function restores stderr. Lines
  // come from any thread, and a call already running on another thread may still be inside
  // the previous handler when this returns: keep what a handler uses alive for the process.
  using ConsoleHandler = std::function<void(std::string_view line)>;
  static void setConsoleHandler(ConsoleHandler handler) noexcept;
  // Drops every console line, those already made and not yet delivered included, without
  // formatting it: the cheapest console when nobody reads it. The next setConsoleHandler
  // (an empty function included) turns the console back on.
  static void silenceConsole() noexcept;
  // Directory for the library's files; call before the first initialisation.
  static void setDataDirectory(std::string path) noexcept;
  // Trusts the CA certificates in a PEM file (or a directory of hashed certificates) in
  // addition to the system's store, for a collector with a private CA; "" forgets it.
  // Certificates are always verified.
  static void setTrustedCertificates(std::string path) noexcept;
  // Sends request bodies gzip-compressed ("Content-Encoding: gzip"). Only before the first
  // initialisation: false with a console line otherwise.
  static bool setRequestCompression(bool on) noexcept;
  // The same with a choice of compression: none, gzip or zstd ("Content-Encoding: zstd").
  static bool setRequestCompression(Compression compression) noexcept;
  // Sends every request (collector, settings, probes, crash upload) through an http or https
  // proxy; "" (the default) leaves it to the environment (http_proxy, https_proxy, no_proxy).
  // Only before the first initialisation: false with a console line otherwise, or for a URL
  // that is not http or https with a host.
  static bool setProxy(Text url) noexcept;
  // Exports every event over OTLP/HTTP as well (or instead, with alsoToCollector false) to
  // the exporter's endpoint; each call adds one exporter. Only before the first
  // initialisation: false with a console line otherwise, or for an endpoint that is not an
  // http or https URL with a host, or a header that is not allowed (see OtlpExporter).
  static bool addOtlpExporter(const OtlpExporter& options) noexcept;
  // The same with every setting: the encoding (protobuf by default), the compression, the
  // resource's attributes and the request timeout (see OtlpExporterOptions). A name of its
  // own, so that addOtlpExporter({endpoint, headers}) stays unambiguous. Exporters may also
  // come from the OTEL_EXPORTER_OTLP_* environment (docs/api.md); one added here wins.
  static bool addOtlpExporterWith(const OtlpExporterOptions& options) noexcept;
  // Durable delivery (see DurableDelivery and docs/api.md): request bodies are spooled on
  // disk until the collector takes them, sent again in this run with backoff (obeying
  // "Retry-After") and by the next run after a kill. Only before the first initialisation,
  // and with a maxBytes and maxBackoff above 0: false with a console line otherwise.
  static bool enableDurableDelivery(const DurableDelivery& options = {}) noexcept;
  // Minidumps at native crashes (see MinidumpOptions and docs/api.md): written beside the text
  // report, and uploaded when an upload URL is given. Only before the first initialisation
  // and before crash capture is armed, with an upload URL that is "" or an http or https URL
  // with a host: false with a console line otherwise. Fields past the bounds are left out or
  // cut, with a console line.
  static bool enableMinidumps(const MinidumpOptions& options) noexcept;
};

// Sets the calling thread's trace context for the scope's life and puts back the one it
// replaced (or none) at its end; scopes nest. Made and ended on the same thread.
//   zeplog::TraceScope scope(*zeplog::TraceContext::fromTraceparent(header));
class TraceScope {
 public:
  explicit TraceScope(const TraceContext& context) noexcept
      : previous_(ZEPLog::threadTraceContext()) {
    ZEPLog::setThreadTraceContext(context);
  }
  ~TraceScope() {
    if (previous_) {
      ZEPLog::setThreadTraceContext(*previous_);
    } else {
      ZEPLog::clearThreadTraceContext();
    }
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  std::optional<TraceContext> previous_;
};

}  // namespace zeplog
