// Initialisation: the seventeen forms, the full form and the process-wide state it builds.
#include <mutex>

#include "common/console.hpp"
#include "common/guard.hpp"
#include "crash/crash_capture.hpp"
#include "delivery/https_delegate.hpp"
#include "delivery/send_thread.hpp"
#include "event/device_id.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "event/text_rules.hpp"
#include "facade/collector_address.hpp"
#include "queue/block_queue.hpp"
#include "settings/settings_thread.hpp"
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
    ZEP_CONSOLE("server url is invalid");
    return false;
  }
  return true;
}

// Builds the objects every later call shares, once per process. Returns false when
// the collector's reachability monitor can't be made or started; the caller then fails and
// the next initialisation builds everything again.
bool buildCommonState(detail::GlobalState& g, const std::string& collectorAddress) {
  g.gs_handle_table.emplace();
  g.gs_handle_table->reserve(5);
  g.deDuplicateQueue.emplace();
  g.deDuplicateQueue->reserve(10);
  g.deDuplicateCrashQueue.emplace();
  g.deDuplicateCrashQueue->reserve(10);
  g.gs_bulkObjectManager.emplace();
  g.gs_bulkObjectManager->reserve(2);
  g.gs_network_handle = std::make_shared<kstVelaHandle>();
  // The queue is made once and kept: a rebuild after a failed first attempt reuses it, so
  // the lock-free counters never see it replaced.
  if (!detail::blockQueue()) {
    g.gs_blockQueue.store(new kstVelaBlockQueue, std::memory_order_release);
  }
  g.gs_httpsDelegate = std::make_shared<kstVelaHttpsDelegate>();

  // The monitor watches the host only: a port or path in the address is not part of the
  // name to resolve.
  auto monitor =
      kstVelaReachability::reachabilityWithHostname(detail::collectorHost(collectorAddress));
  g.gs_network_handle->reachability = monitor;
  if (!monitor) return false;
  if (!monitor->startNotifier()) return false;

  detail::blockQueue()->loadFromFile();
  g.gs_commonInit = true;
  return true;
}

// The system custom fields every handle starts with.
void putSystemFields(kstVelaHandle& handle, bool unityMode, const OptText& unityVersion) {
  Fields& f = *handle.customFields;
  f.set("logVersion", Bytes("v2"));
  f.set("SymMethod", Bytes("dwarf-apple"));
  f.set("CrashStyle", Bytes("ios-objc"));
  f.set("SdkVersion", Bytes("brisk-kestrel-iOS-sdk-2.6.9"));
  f.set("SessionID", Bytes(ZEPLog::generateUUID()));
  if (unityMode && unityVersion && !unityVersion->empty()) f.set("Unity", Bytes(*unityVersion));
  std::optional<std::string> deviceId = detail::getDeviceID();
  if (!deviceId) ZEP_CONSOLE("Get deviceID failed");
  if (deviceId && !deviceId->empty()) f.set("DeviceID", *deviceId);
}

}  // namespace

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion,
                  Text handleId) {
  return detail::guarded<bool>("init", false, [&]() -> bool {
    if (!check_params(url, port, protocol, appKey, version)) return false;
    const std::string collectorAddress = removeURLPrefix(url);

    detail::GlobalState& g = detail::globals();
    detail::GlobalUniqueLock lock(detail::global_resource_lock());

    g.gs_SyncSend.store(syncStart == SyncStart::On);
    if (!isStringEmpty(unityVersion)) {
      g.gs_isUnity = true;
    } else {
      ZEP_CONSOLE("unity not falg");
    }

    if (!g.gs_commonInit && !buildCommonState(g, collectorAddress)) return false;
    bool armCrashCapture = false;

    auto batch = std::make_shared<detail::Batch>();
    batch->reserve(10);
    g.gs_bulkObjectManager->set(appKey.view(), std::move(batch));

    kstVelaHandle& net = *g.gs_network_handle;
    net.isReachable = net.reachability && net.reachability->isReachable();
    net.networkType = getNetworkString(net.reachability.get());

    std::string id;
    if (handleId.present()) {
      id = detail::toValidUtf8(handleId.view());
    } else {
      id = std::to_string(g.gs_current_index);
      ++g.gs_current_index;
    }
    if (g.gs_handle_table->count(id)) {
      ZEP_CONSOLE("init failed. already exists handleId : " + id);
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
    handle->userId = detail::apiText(userId);
    handle->protocol = protocol;
    handle->customFields = std::make_shared<Fields>();
    handle->customFields->reserve(10);
    putSystemFields(*handle, g.gs_isUnity, detail::apiText(unityVersion));

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
      detail::createPerformanceThread();
      createSession(id);
    }

    lock.unlock();
    if (armCrashCapture) detail::enableSendCrashReport();
    ZEP_CONSOLE("init done");
    return g.gs_isInit.load();
  });
}

// ---- The shorter forms: each fills in its defaults and calls the full form ----------------

bool ZEPLog::init(Text url, Text appKey, Text version) {
  return init(url, appKey, version, Text(), Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, SyncStart syncStart) {
  return init(url, appKey, version, Text(), Text(), syncStart);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId) {
  return init(url, appKey, version, userId, Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, SyncStart syncStart) {
  return init(url, appKey, version, userId, Text(), syncStart);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, Text handleId) {
  return init(url, appKey, version, userId, handleId, SyncStart::Off);
}

bool ZEPLog::init(Text url, Text appKey, Text version, Text userId, Text handleId,
                  SyncStart syncStart) {
  std::int32_t port = 0;
  if (!portFromURL(url, port)) return false;
  return init(url, port, protocolFromPort(port), appKey, version, userId, CrashCapture::On,
              syncStart, Text(), handleId);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version) {
  return init(url, port, appKey, version, Text(), Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, SyncStart syncStart) {
  return init(url, port, appKey, version, Text(), Text(), syncStart);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId) {
  return init(url, port, appKey, version, userId, Text(), SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  SyncStart syncStart) {
  return init(url, port, appKey, version, userId, Text(), syncStart);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  Text handleId) {
  return init(url, port, appKey, version, userId, handleId, SyncStart::Off);
}

bool ZEPLog::init(Text url, std::int32_t port, Text appKey, Text version, Text userId,
                  Text handleId, SyncStart syncStart) {
  return init(url, port, protocolFromPort(port), appKey, version, userId, CrashCapture::On,
              syncStart, Text(), handleId);
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId) {
  return init(url, port, protocol, appKey, version, userId, CrashCapture::On, SyncStart::Off,
              Text(), Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture) {
  return init(url, port, protocol, appKey, version, userId, crashCapture, SyncStart::Off, Text(),
              Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart) {
  return init(url, port, protocol, appKey, version, userId, crashCapture, syncStart, Text(),
              Text());
}

bool ZEPLog::init(Text url, std::int32_t port, std::int32_t protocol, Text appKey, Text version,
                  Text userId, CrashCapture crashCapture, SyncStart syncStart, Text unityVersion) {
  return init(url, port, protocol, appKey, version, userId, crashCapture, syncStart, unityVersion,
              Text());
}

}  // namespace zeplog
