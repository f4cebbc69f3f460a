#include "delivery/durable_delivery.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "common/ascii.hpp"
#include "common/console.hpp"
#include "common/files.hpp"
#include "common/url.hpp"
#include "common/waits.hpp"
#include "delivery/collector_transport.hpp"
#include "delivery/retry_policy.hpp"
#include "event/batch.hpp"
#include "queue/queue_counters.hpp"
#include "queue/spool.hpp"
#include "transport/http_client.hpp"
#include "transport/otlp_answers.hpp"
#include "transport/otlp_exporters.hpp"

namespace zeplog::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes posted from the spool per cycle before the send thread goes back to the queue, so
// that a long backlog never keeps new events waiting toward the queue's bound.
constexpr std::uint64_t kDrainBytesPerCycle = 4u << 20;
// A body the collector refuses as bad (a 4xx other than 408 and 429) this many times in a
// row is dropped: kept, it would hold back everything behind it until it ages out.
constexpr std::uint32_t kMaxRefusals = 5;

// How one destination (one lane of the spool) is doing: each has its own backoff, so a
// destination that fails never delays another.
struct Lane {
  RetryPolicy policy;
  Clock::time_point notBefore{};
  std::uint32_t refusals = 0;  // of its oldest body, in a row
};

struct Durable {
  std::atomic<bool> on{false};
  DurableDelivery options;             // set before the first initialisation, then only read
  std::atomic<Spool*> spool{nullptr};  // written by the send thread; never freed (see below)
  // The rest belongs to the send thread.
  pid_t owner = 0;                    // the process that opened `spool`
  std::map<std::string, Lane> lanes;  // by destination URL, for the spool's lanes
  // Spools replaced by a newer one (inherited through fork(), or discarded at a revocation):
  // kept, never freed, since other threads may still read their counts.
  std::vector<Spool*> retired;
  std::mt19937_64 random{std::random_device{}()};
  RateLimit dropLines{60'000};  // the "dropped" line, once a minute at most
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

// What one post of a spooled body did to its lane's backoff.
void noteFailure(Lane& lane, const HttpResult& result) {
  std::optional<std::chrono::seconds> retryAfter;
  if (result.completed && (result.status == 429 || result.status == 503))
    retryAfter = retryAfterDelay(result.retryAfter, std::time(nullptr));
  const std::chrono::milliseconds delay = lane.policy.failed(retryAfter, durable().random());
  lane.notBefore = Clock::now() + delay;
}

Lane& laneState(const std::string& destination) {
  Durable& d = durable();
  auto it = d.lanes.find(destination);
  if (it == d.lanes.end())
    it =
        d.lanes
            .emplace(destination, Lane{RetryPolicy(waits().retryUnit.load(), d.options.maxBackoff)})
            .first;
  return it->second;
}

// The record's header lines.
std::vector<std::string> headerLines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t line = 0;
  while (line < text.size()) {
    std::size_t end = text.find('\n', line);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(line, end - line));
    line = end + 1;
  }
  return out;
}

bool isContentType(std::string_view header) {
  return header.size() >= 13 && equalsNoCase(header.substr(0, 13), "content-type:");
}

// The headers a body is posted with: those it was spooled with, unless it was moved to
// another destination at open; then its content type (the body's encoding) and the ones
// this run gives that destination (an OTLP exporter's own; the collector takes none).
std::vector<std::string> headersFor(const std::string& destination, const SpoolRecord& record) {
  std::vector<std::string> out = headerLines(record.headers);
  if (record.url == destination) return out;
  std::erase_if(out, [](const std::string& h) { return !isContentType(h); });
  if (const std::optional<OtlpTarget> target = otlpTargetFor(destination))
    out.insert(out.end(), target->headers.begin(), target->headers.end());
  return out;
}

// Posts the oldest body of a lane (moved into the request) to the lane's destination; true
// when the destination took it.
bool postFront(Spool& spool, const std::string& destination, Lane& lane, SpoolRecord& record,
               const std::function<bool()>& cancelled) {
  HttpRequest request = collectorRequest(destination, std::move(record.body), cancelled);
  std::vector<std::string> headers = headersFor(destination, record);
  // A record spooled with its content type (an OTLP body) is posted with that one.
  if (std::any_of(headers.begin(), headers.end(), isContentType)) request.headers.clear();
  for (std::string& h : headers) request.headers.push_back(std::move(h));
  const bool otlp = isOtlpLogsURL(destination);
  if (const std::optional<OtlpTarget> target = otlp ? otlpTargetFor(destination) : std::nullopt) {
    request.compression = target->compression;
    request.timeout = target->timeout;
  }
  if (otlp) {
    // A partial success is told in the body; the status settles the post (collectorRequest
    // ends it at the headers), so a body that stalls or never ends cannot undo a 200.
    request.wantBody = true;
    request.maxBodyBytes = kOtlpAnswerBytes;
  }
  ZEP_CONSOLE("Send");
  const HttpResult result = HttpClient::forThisThread().perform(request);
  Batch::recycle(std::move(request.body));
  if (result.completed && result.status == 200) {
    ZEP_CONSOLE("didReceiveResponse 200");
    if (otlp) (void)settleOtlpAnswers({OtlpAnswer{true, result.body}});
    spool.pop(destination);
    countUp(eventCounters().delivered, record.events);
    lane.policy.succeeded();
    lane.refusals = 0;
    return true;
  }
  if (result.completed) {
    ZEP_CONSOLE("didReceiveResponse not 200");
  } else {
    ZEP_CONSOLE("Request failed with error : " +
                (result.error.empty() ? std::string("unknown") : result.error));
  }
  if (result.completed && refusedAsBad(result.status) && ++lane.refusals >= kMaxRefusals) {
    lane.refusals = 0;
    spool.pop(destination);
    noteDropped({1, record.events}, "refused by the collector as bad, 5 times in a row");
    return false;
  }
  if (!result.completed || !refusedAsBad(result.status)) lane.refusals = 0;
  noteFailure(lane, result);
  return false;
}

// Where this run sends the records of each origin, at open: a record keeps its URL while this
// run still uses it. Otherwise a record for a collector ("v2/log") goes to its handle's
// collector as this run knows it, and a record for an OTLP exporter to an exporter of this
// run that no record names: the first such URL of the spool (by its oldest record) to the
// first such exporter (as registered), and so on. A record with no destination of its kind
// in this run (an unknown handle, no exporter left over) keeps its URL.
std::function<std::string(const Spool::Origin&)> destinationsOfThisRun(
    const std::vector<Spool::Origin>& origins) {
  const std::shared_ptr<const OtlpTargets> targets = otlpTargets();
  const auto usedNow = [&](const std::string& url) {
    return std::any_of(targets->begin(), targets->end(),
                       [&](const OtlpTarget& t) { return t.url == url; });
  };
  std::vector<std::string> free;  // this run's exporters that no record names
  for (const OtlpTarget& t : *targets) {
    const bool named = std::any_of(origins.begin(), origins.end(),
                                   [&](const Spool::Origin& o) { return o.url == t.url; });
    if (!named && std::find(free.begin(), free.end(), t.url) == free.end()) free.push_back(t.url);
  }
  std::map<std::string, std::string> movedOtlp;
  for (const Spool::Origin& o : origins) {
    if (!isOtlpLogsURL(o.url) || usedNow(o.url) || movedOtlp.count(o.url)) continue;
    if (movedOtlp.size() == free.size()) break;
    movedOtlp.emplace(o.url, free[movedOtlp.size()]);
  }
  return [movedOtlp = std::move(movedOtlp)](const Spool::Origin& o) {
    if (isOtlpLogsURL(o.url)) {
      const auto moved = movedOtlp.find(o.url);
      return moved == movedOtlp.end() ? o.url : moved->second;
    }
    const std::optional<std::string> collector = collectorURLOf(o.handleId);
    return collector && isHttpUrlWithHost(*collector) ? *collector : o.url;
  };
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
    // Inherited through fork() (the parent keeps sending it), or discarded at a revocation.
    // The object stays allocated, as a flush on another thread may still read it.
    current->abandonInChild();
    d.retired.push_back(current);
  }
  d.owner = ::getpid();
  d.lanes.clear();
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
  opened->regroup(destinationsOfThisRun(opened->origins()));
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
  if (!spool) return true;
  const std::vector<std::string> lanes = spool->lanes();
  // The state of a lane that has emptied goes with it.
  std::erase_if(d.lanes, [&](const auto& lane) {
    return std::find(lanes.begin(), lanes.end(), lane.first) == lanes.end();
  });
  bool ok = true;
  for (const std::string& destination : lanes) {
    Lane& lane = laneState(destination);
    if (lane.notBefore > Clock::now()) continue;  // waits out its backoff
    std::uint64_t sent = 0;
    while (sent < kDrainBytesPerCycle && !(cancelled && cancelled())) {
      SpoolDrop dropped;
      std::optional<SpoolRecord> record = spool->front(destination, dropped);
      noteDropped(dropped, "past the spool's age bound");
      if (!record) break;
      sent += record->body.size();
      if (!postFront(*spool, destination, lane, *record, cancelled)) {
        ok = false;
        break;
      }
    }
  }
  return ok;
}

std::chrono::milliseconds untilRetry() {
  Durable& d = durable();
  Spool* spool = d.spool.load();
  if (!spool) return std::chrono::milliseconds(0);
  // The soonest a lane that holds bodies may be tried again.
  Clock::duration soonest = Clock::duration::max();
  const Clock::time_point now = Clock::now();
  for (const std::string& destination : spool->lanes()) {
    const auto lane = d.lanes.find(destination);
    if (lane == d.lanes.end() || lane->second.notBefore <= now) return std::chrono::milliseconds(0);
    soonest = std::min(soonest, lane->second.notBefore - now);
  }
  if (soonest == Clock::duration::max()) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(soonest);
}

std::uint64_t discardSpool() {
  Durable& d = durable();
  Spool* spool = d.spool.load();
  if (!spool || d.owner != ::getpid()) return 0;
  const std::uint64_t events = spool->backlogEvents();
  const std::string dir = spool->directory();
  // Closes its descriptors (its lock with them: no other process shares them) and forgets
  // its records; the object stays allocated, as for a forked child, since other threads may
  // still read its counts.
  spool->abandonInChild();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (ec) ZEP_CONSOLE("spool " + dir + " not deleted: " + ec.message());
  d.owner = 0;  // the next open makes a fresh spool
  return events;
}

std::string openSpoolDirectory() {
  const Spool* spool = durable().spool.load();
  return spool ? spool->directory() : std::string();
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
