#include "settings/probe_thread.hpp"

#include <chrono>
#include <thread>

#include "common/alt_signal_stack.hpp"
#include "common/clock.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/no_destructor.hpp"
#include "common/upload_consent.hpp"
#include "common/url.hpp"
#include "common/waits.hpp"
#include "event/common_fields.hpp"
#include "event/global_state.hpp"
#include "event/handle_registry.hpp"
#include "queue/block_queue.hpp"
#include "transport/http_client.hpp"

namespace zeplog::detail {
namespace {

// A URL from the remote settings as it appears in a console line: control characters
// escaped, length capped.
std::string consoleURL(std::string_view url) {
  constexpr std::size_t kCap = 256;
  std::string out;
  for (char c : url.substr(0, kCap)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      static const char* const kHex = "0123456789abcdef";
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xf]);
    } else {
      out.push_back(c);
    }
  }
  if (url.size() > kCap) out += "...";
  return out;
}

// The answer's status, 0 when no answer came (or nothing was requested).
long probe(const std::optional<std::string>& target) {
  if (!target) return 0;
  HttpRequest request;
  request.method = HttpRequest::Method::kGet;
  request.url = *target;
  request.timeout = waits().probeRequest.load();
  request.followRedirects = true;  // the client keeps redirects to http and https
  const HttpResult result = HttpClient::forThisThread().perform(request);
  return result.completed ? result.status : 0;
}

// Builds the result event and puts it on the main queue. The handle's attributes, the
// common fields and the queueing are taken under the lock, so the event is of one state of
// the handle; a handle that has gone makes no event.
void queueResult(const NetworkData& item, std::int64_t latencyMs, long status) {
  VelaEventPtr dropped;  // an event the full queue drops is released after the lock
  GlobalLock lock(global_resource_lock());
  const auto* entry = findHandleLocked(item.handlerId);
  if (!entry) return;
  const kstVelaHandle& handle = *entry->second.record;
  OptText host = getHost();
  const std::int64_t now = nowMillis();
  auto fields = std::make_shared<Fields>();
  fields->reserve(10);
  if (!copyCommonFields(*fields, item.handlerId)) return;
  fields->set("NPVersion", Bytes("1.0.0"));
  fields->set("Url", Bytes(item.url));
  fields->set("Latency", Bytes(std::to_string(latencyMs)));
  fields->set("Status", Bytes(std::to_string(status)));
  fields->set("logLevel", Bytes("INFO"));
  auto event = std::make_shared<VelaEvent>(
      handle.projectName, handle.projectVersion, "NETWORKPULSES", handle.logSource,
      Bytes("NETWORKPULSES LOG"), now, host, std::move(fields), item.handlerId);
  if (kstVelaBlockQueue* queue = blockQueue()) dropped = queue->enqueue(std::move(event));
}

void probeThreadBody() {
  installAltSignalStack();  // a stack overflow here can still be reported
  ZEP_CONSOLE("performanceSendThread start");
  kstVelaBlockQueue* queue = blockQueue();
  for (;;) {
    std::shared_ptr<NetworkData> item = queue->dequeue_network();
    if (!item) continue;
    waitForUploadConsent();  // no probe leaves the machine before upload consent is given
    guarded("performanceSendThread", [&] { runProbe(*item); });
  }
}

}  // namespace

std::optional<std::string> normaliseProbeURL(std::string_view url) { return normaliseHttpUrl(url); }

void runProbe(const NetworkData& item) {
  std::shared_ptr<kstVelaHandle> handle = getHandler(item.handlerId);
  if (!handle) {
    ZEP_CONSOLE("handler is null");
    return;
  }
  {
    GlobalLock lock(global_resource_lock());
    if (!handle->isNetworkPulse) return;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::string> target = normaliseProbeURL(item.url);
  if (!target)
    ZEP_CONSOLE("NetworkPulse probes only http and https URLs, not : " + consoleURL(item.url));
  const long status = probe(target);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::int64_t latencyMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  queueResult(item, latencyMs, status);
}

// Made at compile time, not on first use: a forked child never inherits it half made.
constinit NoDestructor<std::vector<std::thread>> g_probeThreads;  // never destroyed
std::vector<std::thread>& gs_logPerformanceSendThreads() { return g_probeThreads.value; }

void startProbeThread() { gs_logPerformanceSendThreads().emplace_back(probeThreadBody); }

}  // namespace zeplog::detail
