// Initialisation: the seventeen forms, the full form and the process-wide state it builds.
#include <atomic>
#include <limits>
#include <mutex>

#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/guard.hpp"
#include "common/http_client.hpp"
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
#include "facade/forked_child.hpp"
#include "net/network_name.hpp"
#include "queue/block_queue.hpp"
#include "queue/queue_files.hpp"
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

}  // namespace

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion,
                  Text handleId) noexcept {
  // Released after the lock, so a monitor that loses a race to another initialisation
  // stops its notifier (which waits for its thread) without the lock held.
  Lookups lookups;
  return detail::guarded<bool>("init", false, [&]() -> bool {
    if (!check_params(url, port, protocol, appKey, version)) return false;
    if (!detail::isCollectorUrlUsable(url.view())) {
      ZEP_CONSOLE("server url is invalid");
      return false;
    }
    if (handleId.present() && !detail::isValidUtf8(handleId.view())) {
      ZEP_CONSOLE("invalid handleId : " + detail::consoleText(handleId));
      return false;
    }
    const std::string collectorAddress = removeURLPrefix(url);
    // Restoring an earlier run's events reads files, so it happens before the lock is taken.
    detail::createQueueAndRestoreSavedEvents();

    detail::GlobalState& g = detail::globals();
    {
      detail::GlobalLock lock(detail::global_resource_lock());
      g.gs_SyncSend.store(syncStart == SyncStart::On);
      if (!isStringEmpty(unityVersion)) {
        g.gs_isUnity = true;
      } else {
        ZEP_CONSOLE("unity not falg");
      }
    }

    if (!lookUp(collectorAddress, lookups)) return false;
    bool armCrashCapture = false;

    detail::GlobalUniqueLock lock(detail::global_resource_lock());
    // Another initialisation may have built the state while this one looked up; its monitor
    // is kept and this one's is dropped once the lock is released.
    if (!g.gs_commonInit) buildCommonStateLocked(g, lookups.newMonitor);

    // A project keeps its batch: replacing it would drop what the send thread gathered into
    // it this cycle, also for an initialisation that is then refused.
    if (!g.gs_bulkObjectManager->contains(appKey.view())) {
      auto batch = std::make_shared<detail::Batch>();
      batch->reserve(10);
      g.gs_bulkObjectManager->set(appKey.view(), std::move(batch));
    }

    kstVelaHandle& net = *g.gs_network_handle;
    net.isReachable = lookups.isReachable;
    net.networkType = lookups.networkType;

    std::string id = handleId.present() ? std::string(handleId.view()) : nextAutomaticIdLocked(g);
    if (g.gs_handle_table->count(id)) {
      ZEP_CONSOLE("init failed. already exists handleId : " + detail::consoleText(id));
      return false;
    }

    detail::setHandler(id);
    std::shared_ptr<kstVelaHandle> handle = detail::getHandler(id);
    if (!handle) {
      ZEP_CONSOLE("get handle failed");
      return false;
    }
    handle->isDeduplicate = true;
    handle->collectorUrl = collectorAddress;
    handle->collectorPort = port;
    handle->projectName = std::string(appKey.view());
    handle->projectVersion = std::string(version.view());
    detail::refreshIdentityLocked(id);
    handle->userId = detail::apiText(userId);
    handle->protocol = protocol;
    handle->customFields = std::make_shared<Fields>();
    handle->customFields->reserve(10);
    putSystemFields(*handle, g.gs_isUnity, detail::apiText(unityVersion), lookups.deviceId);

    g.gs_isInit.store(true);

    if (id == kWardKit) {
      handle->isSettings = true;
      if (!g.gs_crashReporterFlag) detail::createLogSendThread();
    } else {
      if (!g.gs_crashReporterFlag) {
        // Armed once the lock is released: arming creates files and threads.
        armCrashCapture = crashCapture == CrashCapture::On;
        g.gs_crashReporterFlag = true;
      }
      detail::blockQueue()->enqueue_handler(id);
      createPerformanceThread();
      createSession(id);
    }

    lock.unlock();
    if (armCrashCapture) detail::enableSendCrashReport();
    ZEP_CONSOLE("init done");
    return g.gs_isInit.load();
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
