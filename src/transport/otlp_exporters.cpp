#include "transport/otlp_exporters.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "common/ascii.hpp"
#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/url.hpp"
#include "event/otlp_encoder.hpp"

namespace zeplog::detail {
namespace {

struct Registry {
  ForkSafeMutex lock{ForkLockRank::kHttpClient, 3};  // guards targets and environment
  // Replaced whole on each addition, so a reader keeps a list that never changes under it.
  std::shared_ptr<const OtlpTargets> targets = std::make_shared<const OtlpTargets>();
  ResourceAttributes environment;  // OTEL_RESOURCE_ATTRIBUTES and OTEL_SERVICE_NAME
};
Registry& registry() {
  static auto* r = new Registry;  // never destroyed
  return *r;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_registryMadeAtLoad = (static_cast<void>(registry()), true);

// RFC 9110 token characters.
bool isTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

std::shared_ptr<const OtlpTargets> otlpTargets() {
  std::lock_guard<ForkSafeMutex> g(registry().lock);
  return registry().targets;
}

void addOtlpTarget(OtlpTarget target) {
  Registry& r = registry();
  std::lock_guard<ForkSafeMutex> g(r.lock);
  auto next = std::make_shared<OtlpTargets>(*r.targets);
  target.resource.insert(target.resource.end(), r.environment.begin(), r.environment.end());
  next->push_back(std::move(target));
  r.targets = std::move(next);
}

void addEnvironmentResource(const ResourceAttributes& attributes) {
  Registry& r = registry();
  std::lock_guard<ForkSafeMutex> g(r.lock);
  auto next = std::make_shared<OtlpTargets>(*r.targets);
  for (OtlpTarget& t : *next)
    t.resource.insert(t.resource.end(), attributes.begin(), attributes.end());
  r.environment.insert(r.environment.end(), attributes.begin(), attributes.end());
  r.targets = std::move(next);
}

std::optional<OtlpTarget> otlpTargetFor(std::string_view url) {
  const std::shared_ptr<const OtlpTargets> targets = otlpTargets();
  for (const OtlpTarget& t : *targets)
    if (t.url == url) return t;
  return std::nullopt;
}

bool collectorRequestSkipped(const OtlpTargets& targets) {
  if (targets.empty()) return false;
  for (const OtlpTarget& t : targets)
    if (t.alsoToCollector) return false;
  return true;
}

std::string otlpLogsURL(std::string_view endpoint) {
  // A query or fragment would end up in front of the path.
  if (otlpURLAsIs(endpoint).empty() || endpoint.find('?') != std::string_view::npos) return "";
  while (endpoint.ends_with('/')) endpoint.remove_suffix(1);  // never into the host
  return std::string(endpoint) + "/v1/logs";
}

std::string otlpURLAsIs(std::string_view url) {
  if (!isHttpUrlWithHost(url)) return "";
  for (char c : url) {
    // Spaces and control bytes never belong in a URL; a fragment is never sent.
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '#') return "";
  }
  const std::string_view address = withoutScheme(url);
  if (address.empty() || address.front() == '/') return "";
  return std::string(url);
}

bool isOtlpLogsURL(std::string_view url) {
  if (url.ends_with("/v1/logs")) return true;
  const std::shared_ptr<const OtlpTargets> targets = otlpTargets();
  return std::any_of(targets->begin(), targets->end(),
                     [url](const OtlpTarget& t) { return t.url == url; });
}

std::string_view otlpContentType(OtlpProtocol protocol) {
  return protocol == OtlpProtocol::HttpJson ? "Content-Type: application/json"
                                            : "Content-Type: application/x-protobuf";
}

bool isAllowedOtlpHeader(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (char c : name)
    if (!isTokenChar(c)) return false;
  for (char c : value)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return !equalsNoCase(name, "content-type") && !equalsNoCase(name, "content-encoding") &&
         !equalsNoCase(name, "content-length");
}

OtlpBodies otlpBodiesFor(const OtlpTargets& targets, const std::vector<VelaEventPtr>& events,
                         const std::vector<CommonFragmentPtr>& common,
                         std::uint64_t observedUnixNanos) {
  OtlpBodies bodies(targets.size());
  if (events.empty()) return bodies;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::size_t j = 0; j < i && !bodies[i]; ++j) {
      if (targets[j].protocol == targets[i].protocol && targets[j].resource == targets[i].resource)
        bodies[i] = bodies[j];
    }
    if (!bodies[i]) {
      const OtlpEncoding encoding{targets[i].protocol, &targets[i].resource};
      bodies[i] = std::make_shared<std::string>(otlpLogsRequest(
          events, observedUnixNanos, encoding, common.size() == events.size() ? &common : nullptr));
    }
  }
  return bodies;
}

std::vector<OtlpAnswer> postToOtlpTargets(HttpClient& client, const OtlpTargets& targets,
                                          OtlpBodies& bodies,
                                          std::optional<std::chrono::milliseconds> limit,
                                          const std::function<bool()>& cancelled) {
  std::vector<OtlpAnswer> answers;
  answers.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size() && i < bodies.size(); ++i) {
    const OtlpTarget& target = targets[i];
    HttpRequest request;
    request.method = HttpRequest::Method::kPost;
    request.url = target.url;
    request.headers = {std::string(otlpContentType(target.protocol))};
    request.headers.insert(request.headers.end(), target.headers.begin(), target.headers.end());
    // The last target of a shared body takes it; the others post a copy.
    const bool last = std::find(bodies.begin() + static_cast<std::ptrdiff_t>(i) + 1, bodies.end(),
                                bodies[i]) == bodies.end();
    if (bodies[i]) request.body = last ? std::move(*bodies[i]) : *bodies[i];
    request.compression = target.compression;
    request.timeout = limit ? std::min(*limit, target.timeout) : target.timeout;
    request.wantBody = true;  // a partial success is told in the body
    request.maxBodyBytes = kOtlpAnswerBytes;
    request.endAtHeaders = true;  // the status settles the request, not what follows it
    request.cancelled = cancelled;
    const HttpResult result = client.perform(request);
    recycleOtlpBody(std::move(request.body));
    OtlpAnswer answer;
    answer.accepted = result.completed && result.status == 200;
    if (answer.accepted) {
      answer.body = result.body;
    } else if (result.completed) {
      ZEP_CONSOLE("OTLP export to " + target.url + " answered " + std::to_string(result.status));
    } else {
      ZEP_CONSOLE("OTLP export to " + target.url + " failed : " + result.error);
    }
    answers.push_back(std::move(answer));
  }
  return answers;
}

}  // namespace zeplog::detail
