// The registered OTLP/HTTP log exporters and the posting of one request body to each.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/http_client.hpp"

namespace zeplog::detail {

// One exporter as requests need it.
struct OtlpTarget {
  std::string url;                   // "<endpoint>/v1/logs"
  std::vector<std::string> headers;  // "Name: value", the application's own
  bool alsoToCollector = true;
};
using OtlpTargets = std::vector<OtlpTarget>;

// The exporters registered so far; an empty list when none. Never blocks on anything but
// a leaf lock.
std::shared_ptr<const OtlpTargets> otlpTargets();
// Appends one. The caller has validated it.
void addOtlpTarget(OtlpTarget target);
// True when the list holds at least one exporter and none asks for the collector's "v2/log"
// request as well: batches and crash events then go to the exporters only.
bool collectorRequestSkipped(const OtlpTargets& targets);

// The most of an exporter's answer body that is read (for a partial success): OTLP's own
// limit. The status settles a request whatever its body does: a longer, stalled or endless
// body is cut off (HttpRequest::endAtHeaders) and read as no partial success.
constexpr std::size_t kOtlpAnswerBytes = 4u << 20;

// True for a URL made by otlpLogsURL (the collector's end in "/v2/log").
bool isOtlpLogsURL(std::string_view url);

// "<endpoint>/v1/logs" for an http or https endpoint with a host and neither query nor
// fragment (a trailing "/" dropped); "" for anything else.
std::string otlpLogsURL(std::string_view endpoint);
// True for a header the application may add: the name an HTTP token, the value free of
// line breaks and NUL, and neither a header the library sets itself.
bool isAllowedOtlpHeader(std::string_view name, std::string_view value);

// How one exporter answered.
struct OtlpAnswer {
  bool accepted = false;  // answered 200
  std::string body;       // the answer's body, when accepted
};

// Posts the ExportLogsServiceRequest text to every target and blocks until each request
// has ended (answer, failure or `timeout` each). Content-Type is application/json; bodies
// are compressed when request compression is on, like every POST.
std::vector<OtlpAnswer> postToOtlpTargets(HttpClient& client, const OtlpTargets& targets,
                                          const std::string& body,
                                          std::chrono::milliseconds timeout,
                                          const std::function<bool()>& cancelled);

}  // namespace zeplog::detail
