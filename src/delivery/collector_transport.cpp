#include "delivery/collector_transport.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/collector_url.hpp"
#include "common/console.hpp"
#include "common/guard.hpp"
#include "common/waits.hpp"
#include "delivery/durable_delivery.hpp"
#include "delivery/https_delegate.hpp"
#include "event/event_json.hpp"
#include "event/global_state.hpp"
#include "queue/queue_counters.hpp"
#include "transport/http_client.hpp"
#include "transport/otlp_answers.hpp"
#include "transport/otlp_exporters.hpp"

namespace zeplog::detail {
namespace {

// Raised by cancelRunningSends; a round of sending notes it at its start and stops its
// requests once it has moved.
std::atomic<std::uint64_t> cancelEpoch{0};

std::function<bool()> cancelledSince(std::uint64_t epoch) {
  return [epoch] { return cancelEpoch.load() != epoch; };
}

// Where a handle's batches go, read under the lock so that the request runs without it.
struct Collector {
  std::string url;
  std::string address;
  std::int64_t port = 0;
};

std::optional<Collector> collectorOf(std::string_view handleId) {
  GlobalLock lock(global_resource_lock());
  const auto* entry = findHandleLocked(handleId);
  if (!entry) return std::nullopt;
  const kstVelaHandle& h = *entry->second.record;
  Collector c;
  c.address = h.collectorUrl.value_or("");
  c.port = h.collectorPort;
  c.url = collectorLogURL(h.protocol, c.address, c.port);
  return c;
}

// The batches with events, taken whole: each batch is left empty.
std::vector<std::pair<std::string, Batch>> takeBatches() {
  std::vector<std::pair<std::string, Batch>> out;
  GlobalLock lock(global_resource_lock());
  auto& table = globals().gs_bulkObjectManager;
  if (!table) return out;
  for (auto& [project, batch] : *table) {
    if (!batch || batch->empty()) continue;
    out.emplace_back(project, Batch());
    std::swap(out.back().second, *batch);
  }
  return out;
}

std::uint64_t nowUnixNanos() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
}

// Posts the request to the collector and lets the delegate settle the batch by the answer.
bool postToCollector(kstVelaHttpsDelegate& delegate, const HttpRequest& request) {
  ZEP_CONSOLE("Send");
  const HttpResult result = HttpClient::forThisThread().perform(request);
  if (result.completed) {
    delegate.didReceiveResponse(result.status);
    if (result.error.empty()) {
      delegate.connectionDidFinishLoading();
    } else {
      delegate.didFailWithError(result.error, false);
    }
    return result.status == 200;
  }
  delegate.didFailWithError(result.error, result.failure == HttpResult::Failure::kResolve);
  return false;
}

// Posts the text (and the same events' OTLP request, when there is one) and blocks until
// the requests have ended; see the header. A request is cut off once cancelEpoch has moved
// past `epoch`. The batch is delivered when every request was answered 200; otherwise its
// events are written back once, even when more than one request failed.
bool postBatch(std::string json, Text handleId, std::uint64_t epoch, const OtlpTargets& targets,
               OtlpBodies& otlpBodies, Batch* unwritten = nullptr) {
  std::optional<Collector> collector = collectorOf(handleId.view());
  if (handleId.absent() || !collector) {
    ZEP_CONSOLE("handler is null");
    return false;
  }
  const std::function<bool()> cancelled = cancelledSince(epoch);
  // The request owns the text; the delegate reads it there. Each request has its own
  // context: nothing of it is shared with another request.
  HttpRequest request = collectorRequest(collector->url, std::move(json), cancelled);
  kstVelaHttpsDelegate delegate(request.body, std::string(handleId.view()));
  bool delivered = true;
  if (!collectorRequestSkipped(targets)) delivered = postToCollector(delegate, request);
  bool exported = true;
  if (!otlpBodies.empty()) {
    exported = settleOtlpAnswers(postToOtlpTargets(HttpClient::forThisThread(), targets, otlpBodies,
                                                   std::nullopt, cancelled));
    // A failed collector request has written the events back already. Without one, the
    // events' JSON is written only now, for the write-back.
    if (!exported && delivered) {
      if (request.body.empty() && unwritten) {
        std::string unusedId;
        std::size_t unusedCount = 0;
        request.body = unwritten->takeBody(unusedId, unusedCount);
      }
      delegate.saveToFile(request.body, true);
    }
  }
  Batch::recycle(std::move(request.body));
  return delivered && exported;
}

// In durable mode, spools each request of a batch as a record of its own: the collector's
// body unless every exporter leaves it out, then each exporter's OTLP body with its headers
// (its content type first). The events are counted once, with the first record. False, with nothing
// spooled, when durable mode is off or the spool could not take the first record: the caller posts
// the batch itself. An OTLP body the spool cannot take later is posted at once instead.
bool spoolBatch(const std::string& url, const std::string& handleId, const std::string& body,
                std::size_t count, const OtlpTargets& targets, const OtlpBodies& otlpBodies) {
  if (!durableDeliveryOn()) return false;
  bool first = true;
  if (!collectorRequestSkipped(targets)) {
    if (!spoolBody(url, handleId, body, count)) return false;
    first = false;
  }
  if (otlpBodies.empty()) return !first;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const OtlpTarget& target = targets[i];
    std::string headers(otlpContentType(target.protocol));
    for (const std::string& h : target.headers) headers += "\n" + h;
    if (spoolBody(target.url, handleId, *otlpBodies[i], first ? count : 0, headers)) {
      first = false;
      continue;
    }
    if (first) return false;
    OtlpBodies one = {std::make_shared<std::string>(*otlpBodies[i])};  // others may spool it
    (void)settleOtlpAnswers(
        postToOtlpTargets(HttpClient::forThisThread(), {target}, one, std::nullopt, nullptr));
  }
  return true;
}

}  // namespace

bool sendVelaEventByRestAPI() {
  bool allDelivered = false;  // stays false when something thrown ends the round
  const std::uint64_t epoch = cancelEpoch.load();
  guarded("sendVelaEventByRestAPI", [&] {
    bool ok = true;
    const std::shared_ptr<const OtlpTargets> targets = otlpTargets();
    // Without a "v2/log" request the collector's body is written only for a write-back.
    const bool collectorSkipped = collectorRequestSkipped(*targets);
    for (auto& [project, batch] : takeBatches()) {
      std::string handleId;
      std::size_t count = 0;
      std::string body;
      if (collectorSkipped) {
        count = batch.countSendable(handleId);
      } else {
        body = batch.takeBody(handleId, count);
      }
      OtlpBodies otlpBodies =
          count == 0 ? OtlpBodies()
                     : otlpBodiesFor(*targets, batch.events, batch.common, nowUnixNanos());
      if (!collectorSkipped) batch.clear();
      std::optional<Collector> collector = collectorOf(handleId);
      // A batch whose handle id names no handle has nowhere to go.
      if (!collector) {
        countUp(eventCounters().lostUnknownHandle, count);
        ok = false;
        continue;
      }
      // In durable mode the bodies are on disk now; the drain below posts them.
      if (spoolBatch(collector->url, handleId, body, count, *targets, otlpBodies)) continue;
      try {
        if (postBatch(std::move(body), handleId, epoch, *targets, otlpBodies,
                      collectorSkipped ? &batch : nullptr)) {
          countUp(eventCounters().delivered, count);
        } else {
          ok = false;
        }
      } catch (const std::exception& e) {
        ok = false;
        ZEP_CONSOLE("END: send normal log to collector(" + collector->address + ":" +
                    std::to_string(collector->port) + ") is failed:" + e.what() + ".");
      }
    }
    if (durableDeliveryOn()) ok = drainSpool(cancelledSince(epoch)) && ok;
    allDelivered = ok;
  });
  return allDelivered;
}

HttpRequest collectorRequest(const std::string& url, std::string body,
                             std::function<bool()> cancelled) {
  HttpRequest request;
  request.method = HttpRequest::Method::kPost;
  request.url = url;
  request.headers = {"Content-Type: application/json"};
  request.body = std::move(body);
  request.timeout = waits().collectorRequest.load();
  request.endAtHeaders = true;  // the status decides the batch
  request.cancelled = std::move(cancelled);
  return request;
}

bool sendVelaEventByRestAPI(const std::string& json, Text handleId) {
  // Names the collector: it goes there alone, whatever exporters are registered.
  OtlpBodies none;
  return postBatch(json, handleId, cancelEpoch.load(), OtlpTargets(), none);
}

std::optional<std::string> collectorURLOf(std::string_view handleId) {
  std::optional<Collector> collector = collectorOf(handleId);
  if (!collector) return std::nullopt;
  return std::move(collector->url);
}

void cancelRunningSends() { cancelEpoch.fetch_add(1); }

}  // namespace zeplog::detail
