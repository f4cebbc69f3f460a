#include "settings/settings_thread.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#include "common/alt_signal_stack.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/no_destructor.hpp"
#include "common/upload_consent.hpp"
#include "common/utf8.hpp"
#include "common/waits.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "queue/block_queue.hpp"
#include "settings/network_pulse_store.hpp"
#include "settings/probe_thread.hpp"
#include "settings/settings_reader.hpp"
#include "settings/settings_url.hpp"
#include "transport/http_client.hpp"

namespace zeplog::detail {
namespace {

const char* trueFalse(bool b) { return b ? "true" : "false"; }

// The switches of a handle that has no usable settings: log, session and crash on.
void turnOnLogSessionCrash(kstVelaHandle& handle) {
  handle.isSession = true;
  handle.isLog = true;
  handle.isCrash = true;
}

// Sets the switches a reading gives, queues its probes, and turns log, session and crash on
// when the reading broke off. The caller holds global_resource_lock.
void applyReadingLocked(kstVelaHandle& handle, const SettingsReading& reading,
                        std::string_view handleId) {
  if (reading.isNetworkPulse) handle.isNetworkPulse = *reading.isNetworkPulse;
  if (reading.isCrash) handle.isCrash = *reading.isCrash;
  if (reading.isLog) handle.isLog = *reading.isLog;
  if (reading.isSession) handle.isSession = *reading.isSession;
  if (reading.failed) {
    turnOnLogSessionCrash(handle);
    return;
  }
  if (!handle.isNetworkPulse) return;
  kstVelaBlockQueue* queue = blockQueue();
  if (!queue) return;  // before the first initialisation there is no probe queue
  for (const std::string& url : reading.urls) {
    auto item = std::make_shared<NetworkData>();
    item->handlerId = std::string(handleId);
    item->url = url;
    queue->enqueue_network(std::move(item));
  }
}

// Applies a settings answer. An answer whose status is not 200 still queues its probes,
// but ends with log, session and crash on and NetworkPulse off, whatever its switches say.
void applyAnswer(kstVelaHandle& handle, std::string_view handleId,
                 const std::optional<std::string>& text, bool statusIs200) {
  const SettingsReading reading = readSettings(text);
  GlobalLock lock(global_resource_lock());
  applyReadingLocked(handle, reading, handleId);
  if (!statusIs200) {
    handle.isNetworkPulse = false;
    turnOnLogSessionCrash(handle);
  }
}

// The request failed: the last saved answer stands in for it, else log, session and crash
// on. The saved answer is judged as it was when it came, so an error page saved from an
// earlier answer that was not 200 gives the same switches now as it gave then.
void applyFallback(kstVelaHandle& handle, std::string_view handleId) {
  {
    GlobalLock lock(global_resource_lock());
    handle.isNetworkPulse = false;
  }
  const std::optional<std::string> saved = NetworkPulseStore::performanceLoad();
  if (!saved) {
    GlobalLock lock(global_resource_lock());
    turnOnLogSessionCrash(handle);
    return;
  }
  const std::optional<std::int64_t> status = readSettingsStatus(*saved, nullptr);
  applyAnswer(handle, handleId, saved, status && *status == 200);
}

// Fetches and applies one handle's settings. Runs without global_resource_lock except
// where it changes the handle.
void fetchSettings(kstVelaHandle& handle, std::string_view handleId) {
  HttpRequest request;
  request.method = HttpRequest::Method::kGet;
  {
    GlobalLock lock(global_resource_lock());
    request.url = settingsURL(handle.protocol, handle.collectorUrl.value_or(std::string()),
                              handle.collectorPort, handle.projectName.value_or(std::string()));
  }
  request.timeout = waits().settingsRequest.load();
  request.wantBody = true;
  request.followRedirects = true;  // the client keeps redirects to http and https
  const HttpResult result = HttpClient::forThisThread().perform(request);

  if (!result.completed) {
    ZEP_CONSOLE("NetworkPulse Connection Failed");
    ZEP_CONSOLE("settings request " + request.url + " failed : " + result.error);
    applyFallback(handle, handleId);
    return;
  }

  std::string why;
  const std::optional<std::int64_t> status = readSettingsStatus(result.body, &why);
  if (status) {
    ZEP_CONSOLE("NetworkPulse status : " + std::to_string(*status));
  } else {
    ZEP_CONSOLE(why);
  }
  // A body that is not UTF-8 is no text: it reads as no settings and is saved empty.
  std::optional<std::string> text;
  if (isValidUtf8(result.body)) text = result.body;
  applyAnswer(handle, handleId, text, status && *status == 200);
  NetworkPulseStore::performanceSave(text);
}

// Ends a fetch, whatever its outcome: reports the switches, starts the send thread and
// releases the settings hold.
void endFetch(kstVelaHandle* handle, const std::function<void()>& startSendThread) {
  GlobalLock lock(global_resource_lock());
  if (handle) {
    ZEP_CONSOLE(std::string("Session : ") + trueFalse(handle->isSession));
    ZEP_CONSOLE(std::string("Log : ") + trueFalse(handle->isLog));
    ZEP_CONSOLE(std::string("Crash : ") + trueFalse(handle->isCrash));
    ZEP_CONSOLE(std::string("NetworkPulse : ") + trueFalse(handle->isNetworkPulse));
  }
  if (startSendThread) startSendThread();
  globals().gs_ThreadStop.store(false);  // wakes a send thread waiting for the hold to end
  if (handle) handle->isSettings = true;
}

void settingsThreadBody(std::function<void()> startSendThread) {
  installAltSignalStack();  // a stack overflow here can still be reported
  ZEP_CONSOLE("performanceThread start");
  kstVelaBlockQueue* queue = blockQueue();
  for (;;) {
    const std::string handleId = queue->dequeue_handler();
    // No settings fetch while upload consent is unknown or revoked: the fetch (and so the
    // send thread it starts) waits for the answer.
    waitForUploadConsent();
    {
      GlobalLock lock(global_resource_lock());
      globals().gs_ThreadStop.store(true);
    }
    std::shared_ptr<kstVelaHandle> handle = getHandler(handleId);
    if (handle) {
      guarded("performanceThread", [&] { fetchSettings(*handle, handleId); });
    } else {
      // No handle to fetch for: the hold is still released below, so the send thread is not
      // held for good, and the next id is served.
      ZEP_CONSOLE("handler is null");
    }
    guarded("performanceThread", [&] { endFetch(handle.get(), startSendThread); });
    // Whatever failed above, the hold ends here.
    if (globals().gs_ThreadStop.load()) {
      GlobalLock lock(global_resource_lock());
      globals().gs_ThreadStop.store(false);
    }
  }
}

}  // namespace

// Made at compile time, not on first use: a forked child never inherits it half made.
constinit NoDestructor<std::vector<std::thread>> g_settingsThreads;  // never destroyed
std::vector<std::thread>& gs_logPerformanceThreads() { return g_settingsThreads.value; }

bool createPerformanceThread(std::function<void()> startSendThread) {
  GlobalState& g = globals();
  if (g.gs_performanceThreadFlag) return false;
  if (!blockQueue()) return false;  // the threads serve the queue the first initialisation makes
  // Each thread is started once; after a failed start the next call starts only the one
  // that is missing.
  try {
    if (gs_logPerformanceSendThreads().empty()) startProbeThread();
    if (gs_logPerformanceThreads().empty())
      gs_logPerformanceThreads().emplace_back(settingsThreadBody, std::move(startSendThread));
  } catch (const std::system_error& e) {
    ZEP_CONSOLE(std::string("createPerformanceThread failed : ") + e.what());
    return false;
  }
  g.gs_performanceThreadFlag = true;
  return true;
}

std::shared_ptr<kstVelaHandle> fillHandlerBySettings(std::shared_ptr<kstVelaHandle> handle,
                                                     const std::optional<std::string>& text,
                                                     std::string_view handleId) {
  if (!handle) return handle;
  const SettingsReading reading = readSettings(text);
  GlobalLock lock(global_resource_lock());
  applyReadingLocked(*handle, reading, handleId);
  return handle;
}

}  // namespace zeplog::detail
