// Initialisation: the seventeen forms, the full form and the process-wide state it builds.
#include <atomic>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/guard.hpp"
#include "common/utf8.hpp"
#include "crash/crash_capture.hpp"
#include "crash/unity_crash.hpp"
#include "delivery/send_filter.hpp"
#include "delivery/send_thread.hpp"
#include "event/device_id.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "facade/collector_address.hpp"
#include "facade/environment_config.hpp"
#include "facade/forked_child.hpp"
#include "facade/upload_controls.hpp"
#include "net/network_name.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_files.hpp"
#include "transport/http_client.hpp"
#include "zeplog/reachability.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

constexpr const char* kWardKit = "WardKit";

// Protocol for the forms that take no protocol: HTTP on port 80, HTTPS elsewhere.
std::int32_t protocolFromPort(std::int32_t port) { return port == 80 ? 1 : 0; }

// The forms that take no port read it from the URL's scheme; false when there is none.
bool portFromURL(Text url, std::int32_t& port) {
  port = ZEPLog::getDefaultPortFromURL(url);
  if (port == -1) {
    detail::guarded("init", [] { ZEP_CONSOLE("server url is invalid"); });
    return false;
  }
  return true;
}

// What an initialisation finds out before it takes global_resource_lock: name lookups and
// file I/O may block for long (a slow resolver, a FIFO in place of a file), and no log call
// on another thread may wait for them.
struct Lookups {
  // The collector's monitor, made and started by this call when the process-wide state is
  // not built yet; none when it could not be made or started.
  std::shared_ptr<kstVelaReachability> newMonitor;
  bool isReachable = false;
  std::string networkType;
  std::optional<std::string> deviceId;
};

// Builds the monitor of the collector host; false when it can't be made or started (the
// next initialisation tries again).
bool prepareCommonState(const std::string& collectorAddress, Lookups& out) {
  // The monitor watches the host only: a port or path in the address is not part of the
  // name to resolve.
  auto monitor =
      kstVelaReachability::reachabilityWithHostname(detail::collectorHost(collectorAddress));
  if (!monitor || !monitor->startNotifier()) return false;
  out.newMonitor = std::move(monitor);
  return true;
}

// Everything of an initialisation that can block, done before the lock is taken. The
// monitor to query is the process-wide one when it exists, else the one made here. False
// when the process-wide state is missing and its monitor can't be made or started.
bool lookUp(const std::string& collectorAddress, Lookups& out) {
  std::shared_ptr<kstVelaReachability> monitor;
  bool built = false;
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    const detail::GlobalState& g = detail::globals();
    built = g.gs_commonInit;
    if (built) monitor = g.gs_network_handle->reachability;
  }
  if (!built) {
    if (!prepareCommonState(collectorAddress, out)) return false;
    monitor = out.newMonitor;
  }
  out.isReachable = monitor && monitor->isReachable();
  out.networkType = detail::getNetworkString(monitor.get());
  out.deviceId = detail::getDeviceID();
  (void)detail::prepareHttpClient();  // a failure is reported by the first request
  return true;
}

// Builds the tables every later call shares, once per process, around the monitor that
// lookUp() made. Caller holds global_resource_lock; nothing here blocks.
void buildCommonStateLocked(detail::GlobalState& g, std::shared_ptr<kstVelaReachability> monitor) {
  g.gs_handle_table.emplace();
  g.gs_handle_table->reserve(5);
  g.deDuplicateQueue.emplace();
  g.deDuplicateQueue->reserve(10);
  g.deDuplicateCrashQueue.emplace();
  g.deDuplicateCrashQueue->reserve(10);
  g.gs_bulkObjectManager.emplace();
  g.gs_bulkObjectManager->reserve(2);
  g.gs_network_handle = std::make_shared<kstVelaHandle>();
  g.gs_network_handle->reachability = std::move(monitor);
  // The send filter asks the crash path about Unity crash repeats.
  detail::setUnityCrashCheck(&detail::checkUnityCrash);
  // A forked child's first call starts the library's threads again in the child.
  detail::setForkedChildRestart(&detail::restartLibraryInForkedChild);
  g.gs_commonInit = true;
}

// The system custom fields every handle starts with.
void putSystemFields(kstVelaHandle& handle, bool unityMode, const OptText& unityVersion,
                     const std::optional<std::string>& deviceId) {
  Fields& f = *handle.customFields;
  f.set("logVersion", Bytes("v2"));
  f.set("SymMethod", Bytes("dwarf-apple"));
  f.set("CrashStyle", Bytes("ios-objc"));
  f.set("SdkVersion", Bytes("brisk-kestrel-iOS-sdk-2.6.9"));
  f.set("SessionID", Bytes(ZEPLog::generateUUID()));
  if (unityMode && unityVersion && !unityVersion->empty()) f.set("Unity", Bytes(*unityVersion));
  if (!deviceId) ZEP_CONSOLE("Get deviceID failed");
  if (deviceId && !deviceId->empty()) f.set("DeviceID", *deviceId);
}

// The next automatic handle id. The counter stops at its largest value instead of
// overflowing: that id is then taken, and later id-less initialisations are refused as
// duplicates.
std::string nextAutomaticIdLocked(detail::GlobalState& g) {
  std::string id = std::to_string(g.gs_current_index);
  if (g.gs_current_index < std::numeric_limits<std::int32_t>::max()) ++g.gs_current_index;
  return id;
}

// The arguments of the full form.
struct InitRequest {
  Text url;
  std::int32_t port;
  std::int32_t protocol;
  Text appKey;
  Text version;
  Text userId;
  CrashCapture crashCapture;
  SyncStart syncStart;
  Text unityVersion;
  Text handleId;
};

// Step 1: the arguments alone, before anything changes; false (with its console line) for
// arguments that can't initialise.
bool validate(const InitRequest& r) {
  if (!ZEPLog::check_params(r.url, r.port, r.protocol, r.appKey, r.version)) return false;
  if (!detail::isCollectorUrlUsable(r.url.view())) {
    ZEP_CONSOLE("server url is invalid");
    return false;
  }
  if (r.handleId.present() && !detail::isValidUtf8(r.handleId.view())) {
    ZEP_CONSOLE("invalid handleId : " + detail::consoleText(r.handleId));
    return false;
  }
  return true;
}

// Step 2: everything that can block, before the lock that registers the handle: the queue
// and an earlier run's events (file I/O), the sync-start hold and the Unity switch, then the
// name lookups. False when the process-wide monitor can't be made.
bool prepare(const InitRequest& r, const std::string& collectorAddress, Lookups& lookups) {
  detail::createQueueAndRestoreSavedEvents();
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::GlobalState& g = detail::globals();
    g.gs_SyncSend.store(r.syncStart == SyncStart::On);
    if (!ZEPLog::isStringEmpty(r.unityVersion)) {
      g.gs_isUnity = true;
    } else {
      ZEP_CONSOLE("unity not falg");
    }
  }
  return lookUp(collectorAddress, lookups);
}

// Step 3: registers the handle and its record; the id, or none when the id is taken or the
// handle can't be made. Caller holds global_resource_lock.
std::optional<std::string> registerHandleLocked(const InitRequest& r,
                                                const std::string& collectorAddress,
                                                Lookups& lookups) {
  detail::GlobalState& g = detail::globals();
  // Another initialisation may have built the state while this one looked up; its monitor
  // is kept and this one's is dropped once the lock is released.
  if (!g.gs_commonInit) buildCommonStateLocked(g, lookups.newMonitor);

  // A project keeps its batch: replacing it would drop what the send thread gathered into
  // it this cycle, also for an initialisation that is then refused.
  if (!g.gs_bulkObjectManager->contains(r.appKey.view())) {
    auto batch = std::make_shared<detail::Batch>();
    batch->events.reserve(10);
    batch->common.reserve(10);
    g.gs_bulkObjectManager->set(r.appKey.view(), std::move(batch));
  }

  kstVelaHandle& net = *g.gs_network_handle;
  net.isReachable = lookups.isReachable;
  net.networkType = lookups.networkType;

  std::string id = r.handleId.present() ? std::string(r.handleId.view()) : nextAutomaticIdLocked(g);
  if (g.gs_handle_table->count(id)) {
    ZEP_CONSOLE("init failed. already exists handleId : " + detail::consoleText(id));
    return std::nullopt;
  }

  detail::setHandler(id);
  std::shared_ptr<kstVelaHandle> handle = detail::getHandler(id);
  if (!handle) {
    ZEP_CONSOLE("get handle failed");
    return std::nullopt;
  }
  handle->isDeduplicate = true;
  handle->collectorUrl = collectorAddress;
  handle->collectorPort = r.port;
  handle->projectName = std::string(r.appKey.view());
  handle->projectVersion = std::string(r.version.view());
  detail::refreshIdentityLocked(id);
  handle->userId = detail::apiText(r.userId);
  handle->protocol = r.protocol;
  handle->customFields = std::make_shared<Fields>();
  handle->customFields->reserve(10);
  putSystemFields(*handle, g.gs_isUnity, detail::apiText(r.unityVersion), lookups.deviceId);

  g.gs_isInit.store(true);
  return id;
}

// Step 4: starts what serves the handle: the send thread for "WardKit"; otherwise its
// settings fetch, the settings and probe threads and its session. True when crash capture
// is to be armed, which the caller does once the lock is released (arming creates files and
// threads). Caller holds global_resource_lock.
bool startHandleLocked(const InitRequest& r, const std::string& id) {
  detail::GlobalState& g = detail::globals();
  if (id == kWardKit) {
    detail::getHandler(id)->isSettings = true;
    if (!g.gs_crashReporterFlag) detail::createLogSendThread();
    return false;
  }
  bool armCrashCapture = false;
  if (!g.gs_crashReporterFlag) {
    armCrashCapture = r.crashCapture == CrashCapture::On;
    g.gs_crashReporterFlag = true;
  }
  detail::blockQueue()->enqueue_handler(id);
  ZEPLog::createPerformanceThread();
  ZEPLog::createSession(id);
  return armCrashCapture;
}

}  // namespace

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion,
                  Text handleId) noexcept {
  const InitRequest request{url,    port,         protocol,  appKey,       version,
                            userId, crashCapture, syncStart, unityVersion, handleId};
  // Released after the lock, so a monitor that loses a race to another initialisation
  // stops its notifier (which waits for its thread) without the lock held.
  Lookups lookups;
  return detail::guarded<bool>("init", false, [&]() -> bool {
    detail::applyEnvironmentOnce();  // ZEPLOG_* variables, once, before anything else
    if (!validate(request)) return false;
    detail::loadUploadConsentAtFirstInit();  // before the saved events are restored
    const std::string collectorAddress = removeURLPrefix(url);
    if (!prepare(request, collectorAddress, lookups)) return false;
    detail::GlobalUniqueLock lock(detail::global_resource_lock());
    const std::optional<std::string> id = registerHandleLocked(request, collectorAddress, lookups);
    if (!id) return false;
    const bool armCrashCapture = startHandleLocked(request, *id);
    lock.unlock();
    if (armCrashCapture) detail::enableSendCrashReport();
    ZEP_CONSOLE("init done");
    return detail::globals().gs_isInit.load();
  });
}

// ---- The shorter forms: each fills in its defaults and calls the full form ----------------

bool ZEPLog::init(Text url, Text appKey, Text version) noexcept {
  return init(url, appKey, version, Text(), Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, SyncStart syncStart) noexcept {
  return init(url, appKey, version, Text(), Text(), syncStart);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId) noexcept {
  return init(url, appKey, version, userId, Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, SyncStart syncStart) noexcept {
  return init(url, appKey, version, userId, Text(), syncStart);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, Text handleId) noexcept {
  return init(url, appKey, version, userId, handleId, SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, Text handleId,
                  SyncStart syncStart) noexcept {
  std::int32_t port = 0;
  if (!portFromURL(url, port)) return false;
  return init(url, port, protocolFromPort(port), appKey, version, userId, CrashCapture::On,
              syncStart, Text(), handleId);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version) noexcept {
  return init(url, port, appKey, version, Text(), Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version,
                  SyncStart syncStart) noexcept {
  return init(url, port, appKey, version, Text(), Text(), syncStart);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId) noexcept {
  return init(url, port, appKey, version, userId, Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  SyncStart syncStart) noexcept {
  return init(url, port, appKey, version, userId, Text(), syncStart);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  Text handleId) noexcept {
  return init(url, port, appKey, version, userId, handleId, SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  Text handleId, SyncStart syncStart) noexcept {
  return init(url, port, protocolFromPort(port), appKey, version, userId, CrashCapture::On,
              syncStart, Text(), handleId);
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId) noexcept {
  return init(url, port, protocol, appKey, version, userId, CrashCapture::On, SyncStart::Off,
              Text(), Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture) noexcept {
  return init(url, port, protocol, appKey, version, userId, crashCapture, SyncStart::Off, Text(),
              Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart) noexcept {
  return init(url, port, protocol, appKey, version, userId, crashCapture, syncStart, Text(),
              Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart,
                  Text unityVersion) noexcept {
  return init(url, port, protocol, appKey, version, userId, crashCapture, syncStart, unityVersion,
              Text());
}

}  // namespace zeplog
