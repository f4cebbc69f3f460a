// The registered OTLP/HTTP log exporters and the posting of one request body to each.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event/common_fragment.hpp"
#include "transport/http_client.hpp"
#include "zeplog/otlp_exporter.hpp"
#include "zeplog/vela_event.hpp"

namespace zeplog::detail {

// An exporter's request timeout unless it names one, and the bounds it is clamped to.
constexpr std::chrono::milliseconds kDefaultOtlpTimeout{10000};
constexpr std::chrono::milliseconds kShortestOtlpTimeout{100};
constexpr std::chrono::milliseconds kLongestOtlpTimeout{600000};

// One exporter as requests need it.
struct OtlpTarget {
  std::string url;                   // "<endpoint>/v1/logs", or the logs URL as given
  std::vector<std::string> headers;  // "Name: value", the application's own
  bool alsoToCollector = true;
  OtlpProtocol protocol = OtlpProtocol::HttpProtobuf;
  std::optional<Compression> compression;  // none: the library's request compression
  std::chrono::milliseconds timeout{kDefaultOtlpTimeout};
  ResourceAttributes resource;  // the exporter's own, then the environment's
};
using OtlpTargets = std::vector<OtlpTarget>;

// The exporters registered so far; an empty list when none. Never blocks on anything but
// a leaf lock.
std::shared_ptr<const OtlpTargets> otlpTargets();
// Appends one. The caller has validated it.
void addOtlpTarget(OtlpTarget target);
// Adds the environment's resource attributes to every exporter registered so far, after its
// own (so that its own win), and keeps them for exporters added later.
void addEnvironmentResource(const ResourceAttributes& attributes);
// The target registered for the URL; none when no exporter posts there.
std::optional<OtlpTarget> otlpTargetFor(std::string_view url);
// True when the list holds at least one exporter and none asks for the collector's "v2/log"
// request as well: batches and crash events then go to the exporters only.
bool collectorRequestSkipped(const OtlpTargets& targets);

// The most of an exporter's answer body that is read (for a partial success): OTLP's own
// limit. The status settles a request whatever its body does: a longer, stalled or endless
// body is cut off (HttpRequest::endAtHeaders) and read as no partial success.
constexpr std::size_t kOtlpAnswerBytes = 4u << 20;

// True for a URL made by otlpLogsURL or one an exporter of this run posts to (the
// collector's end in "/v2/log").
bool isOtlpLogsURL(std::string_view url);
// The "Content-Type" header of a protocol's bodies.
std::string_view otlpContentType(OtlpProtocol protocol);

// "<endpoint>/v1/logs" for an http or https endpoint with a host and neither query nor
// fragment (a trailing "/" dropped); "" for anything else.
std::string otlpLogsURL(std::string_view endpoint);
// The URL itself for an http or https URL with a host and no fragment (a query is kept);
// "" for anything else.
std::string otlpURLAsIs(std::string_view url);
// True for a header the application may add: the name an HTTP token, the value free of
// line breaks and NUL, and neither a header the library sets itself.
bool isAllowedOtlpHeader(std::string_view name, std::string_view value);

// How one exporter answered.
struct OtlpAnswer {
  bool accepted = false;  // answered 200
  std::string body;       // the answer's body, when accepted
};

// The request body of each target, in the targets' order: the events' ExportLogsServiceRequest
// in the target's protocol with its resource. Targets whose bodies would be the same share
// one; no body is made for an empty list of events. common: each event's common fragment, or
// empty when the events' fields hold their common fields.
using OtlpBodies = std::vector<std::shared_ptr<std::string>>;
OtlpBodies otlpBodiesFor(const OtlpTargets& targets, const std::vector<VelaEventPtr>& events,
                         const std::vector<CommonFragmentPtr>& common,
                         std::uint64_t observedUnixNanos);

// Posts each target its body (bodies[i] to targets[i]) and blocks until each request has
// ended (answer, failure or its timeout; at most `limit` when one is given). Content-Type
// is the protocol's; a body is compressed as its target says. Each body is moved into its
// last request and its buffer kept for the next encoding (recycleOtlpBody): the bodies are
// used up.
std::vector<OtlpAnswer> postToOtlpTargets(HttpClient& client, const OtlpTargets& targets,
                                          OtlpBodies& bodies,
                                          std::optional<std::chrono::milliseconds> limit,
                                          const std::function<bool()>& cancelled);

}  // namespace zeplog::detail
