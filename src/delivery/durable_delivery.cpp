#include "delivery/durable_delivery.hpp"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <random>

#include "common/console.hpp"
#include "common/files.hpp"
#include "common/http_client.hpp"
#include "common/otlp_exporters.hpp"
#include "common/waits.hpp"
#include "delivery/collector_transport.hpp"
#include "delivery/retry_policy.hpp"
#include "event/batch.hpp"
#include "queue/queue_counters.hpp"
#include "queue/spool.hpp"

namespace zeplog::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes posted from the spool per cycle before the send thread goes back to the queue, so
// that a long backlog never keeps new events waiting toward the queue's bound.
constexpr std::uint64_t kDrainBytesPerCycle = 4u << 20;
// A body the collector refuses as bad (a 4xx other than 408 and 429) this many times in a
// row is dropped: kept, it would hold back everything behind it until it ages out.
constexpr std::uint32_t kMaxRefusals = 5;

struct Durable {
  std::atomic<bool> on{false};
  DurableDelivery options;             // set before the first initialisation, then only read
  std::atomic<Spool*> spool{nullptr};  // written by the send thread; never freed (see below)
  // The rest belongs to the send thread.
  pid_t owner = 0;  // the process that opened `spool`
  std::optional<RetryPolicy> policy;
  Clock::time_point notBefore{};
  std::mt19937_64 random{std::random_device{}()};
  RateLimit dropLines{60'000};  // the "dropped" line, once a minute at most
  std::uint32_t refusals = 0;   // of the oldest body, in a row
};

Durable& durable() {
  static auto* d = new Durable;  // never destroyed
  return *d;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_durableMadeAtLoad = (static_cast<void>(durable()), true);

// Counts what a bound dropped; one line a minute at most says so.
void noteDropped(const SpoolDrop& dropped, const char* why) {
  if (dropped.records == 0) return;
  countUp(eventCounters().droppedFromSpool, dropped.events);
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count();
  if (!durable().dropLines.allow(now)) return;
  ZEP_CONSOLE("spool: dropped " + std::to_string(dropped.records) + " request bodies (" +
              std::to_string(dropped.events) + " events) " + why);
}

bool refusedAsBad(long status) {
  return status >= 400 && status < 500 && status != 408 && status != 429;
}

// What one post of a spooled body did to the backoff.
void noteFailure(const HttpResult& result) {
  Durable& d = durable();
  std::optional<std::chrono::seconds> retryAfter;
  if (result.completed && (result.status == 429 || result.status == 503))
    retryAfter = retryAfterDelay(result.retryAfter, std::time(nullptr));
  const std::chrono::milliseconds delay = d.policy->failed(retryAfter, d.random());
  d.notBefore = Clock::now() + delay;
}

// Posts the oldest body (moved into the request); true when the collector took it.
bool postFront(Spool& spool, SpoolRecord& record, const std::function<bool()>& cancelled) {
  Durable& d = durable();
  HttpRequest request = collectorRequest(record.url, std::move(record.body), cancelled);
  std::size_t line = 0;
  while (line < record.headers.size()) {
    std::size_t end = record.headers.find('\n', line);
    if (end == std::string::npos) end = record.headers.size();
    request.headers.push_back(record.headers.substr(line, end - line));
    line = end + 1;
  }
  const bool otlp = isOtlpLogsURL(record.url);
  if (otlp) {
    request.endAtHeaders = false;  // a partial success is told in the body
    request.wantBody = true;
    request.maxBodyBytes = kOtlpAnswerBytes;
  }
  ZEP_CONSOLE("Send");
  const HttpResult result = HttpClient::forThisThread().perform(request);
  Batch::recycle(std::move(request.body));
  if (result.completed && result.status == 200) {
    ZEP_CONSOLE("didReceiveResponse 200");
    if (otlp) (void)settleOtlpAnswers({OtlpAnswer{true, result.body}});
    spool.pop();
    countUp(eventCounters().delivered, record.events);
    d.policy->succeeded();
    d.refusals = 0;
    return true;
  }
  if (result.completed) {
    ZEP_CONSOLE("didReceiveResponse not 200");
  } else {
    ZEP_CONSOLE("Request failed with error : " +
                (result.error.empty() ? std::string("unknown") : result.error));
  }
  if (result.completed && refusedAsBad(result.status) && ++d.refusals >= kMaxRefusals) {
    d.refusals = 0;
    spool.pop();
    noteDropped({1, record.events}, "refused by the collector as bad, 5 times in a row");
    return false;
  }
  if (!result.completed || !refusedAsBad(result.status)) d.refusals = 0;
  noteFailure(result);
  return false;
}

}  // namespace

void setDurableDelivery(const DurableDelivery& options) {
  durable().options = options;
  durable().on.store(true);
}

bool durableDeliveryOn() { return durable().on.load(); }

void openSpoolForThisProcess() {
  Durable& d = durable();
  if (!d.on.load()) return;
  Spool* current = d.spool.load();
  if (current && d.owner == ::getpid()) return;
  if (current) {
    // Inherited through fork(): the parent keeps sending it. The object stays allocated, as
    // a flush on another thread may still read it.
    current->abandonInChild();
  }
  d.owner = ::getpid();
  d.policy.emplace(waits().retryUnit.load(), d.options.maxBackoff);
  d.notBefore = {};
  d.refusals = 0;
  std::string error;
  Spool::Limits limits{d.options.maxBytes, d.options.maxAge};
  std::unique_ptr<Spool> opened;
  if (ensureDataDirectory(&error)) opened = Spool::open(documentsDirectory(), limits, &error);
  if (!opened) {
    ZEP_CONSOLE("spool: cannot be opened, bodies are posted without it: " + error);
    d.spool.store(nullptr);
    return;
  }
  noteDropped(opened->droppedAtOpen(), "past the spool's byte bound");
  if (opened->backlog() > 0)
    ZEP_CONSOLE("spool: " + std::to_string(opened->backlog()) +
                " request bodies of an earlier run will be sent first");
  d.spool.store(opened.release());
}

bool spoolBody(const std::string& url, const std::string& handleId, const std::string& body,
               std::size_t events, const std::string& headers) {
  Spool* spool = durable().spool.load();
  if (!spool) return false;
  SpoolRecord record;
  record.spooledAt = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  record.events = static_cast<std::uint32_t>(events);
  record.url = url;
  record.headers = headers;
  record.handleId = handleId;
  SpoolDrop dropped;
  std::string error;
  const bool kept = spool->append(record, body, dropped, &error);
  noteDropped(dropped, "past the spool's byte bound");
  if (!kept) ZEP_CONSOLE("spool: cannot write a request body, it is posted directly: " + error);
  return kept;
}

bool drainSpool(const std::function<bool()>& cancelled) {
  Durable& d = durable();
  Spool* spool = d.spool.load();
  if (!spool || untilRetry().count() > 0) return true;
  std::uint64_t sent = 0;
  while (sent < kDrainBytesPerCycle && !(cancelled && cancelled())) {
    SpoolDrop dropped;
    std::optional<SpoolRecord> record = spool->front(dropped);
    noteDropped(dropped, "past the spool's age bound");
    if (!record) return true;
    sent += record->body.size();
    if (!postFront(*spool, *record, cancelled)) return false;
  }
  return true;
}

std::chrono::milliseconds untilRetry() {
  const Clock::duration left = durable().notBefore - Clock::now();
  if (left <= Clock::duration::zero()) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(left);
}

std::uint64_t spoolBacklog() {
  const Spool* spool = durable().spool.load();
  return spool ? spool->backlog() : 0;
}

std::uint64_t spoolBacklogEvents() {
  const Spool* spool = durable().spool.load();
  return spool ? spool->backlogEvents() : 0;
}

}  // namespace zeplog::detail
