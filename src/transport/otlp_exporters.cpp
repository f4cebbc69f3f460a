#include "transport/otlp_exporters.hpp"

#include <mutex>
#include <utility>

#include "common/ascii.hpp"
#include "common/console.hpp"
#include "common/fork_locks.hpp"
#include "common/url.hpp"

namespace zeplog::detail {
namespace {

struct Registry {
  ForkSafeMutex lock{ForkLockRank::kHttpClient, 3};  // guards targets
  // Replaced whole on each addition, so a reader keeps a list that never changes under it.
  std::shared_ptr<const OtlpTargets> targets = std::make_shared<const OtlpTargets>();
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
  next->push_back(std::move(target));
  r.targets = std::move(next);
}

bool collectorRequestSkipped(const OtlpTargets& targets) {
  if (targets.empty()) return false;
  for (const OtlpTarget& t : targets)
    if (t.alsoToCollector) return false;
  return true;
}

std::string otlpLogsURL(std::string_view endpoint) {
  if (!isHttpUrlWithHost(endpoint)) return "";
  for (char c : endpoint) {
    // Spaces and control bytes never belong in a URL; a query or fragment would end up in
    // front of the path.
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '?' || c == '#') return "";
  }
  const std::string_view address = withoutScheme(endpoint);
  if (address.empty() || address.front() == '/') return "";
  while (endpoint.ends_with('/')) endpoint.remove_suffix(1);  // never into the host
  return std::string(endpoint) + "/v1/logs";
}

bool isOtlpLogsURL(std::string_view url) { return url.ends_with("/v1/logs"); }

bool isAllowedOtlpHeader(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (char c : name)
    if (!isTokenChar(c)) return false;
  for (char c : value)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return !equalsNoCase(name, "content-type") && !equalsNoCase(name, "content-encoding") &&
         !equalsNoCase(name, "content-length");
}

std::vector<OtlpAnswer> postToOtlpTargets(HttpClient& client, const OtlpTargets& targets,
                                          const std::string& body,
                                          std::chrono::milliseconds timeout,
                                          const std::function<bool()>& cancelled) {
  std::vector<OtlpAnswer> answers;
  answers.reserve(targets.size());
  for (const OtlpTarget& target : targets) {
    HttpRequest request;
    request.method = HttpRequest::Method::kPost;
    request.url = target.url;
    request.headers = {"Content-Type: application/json"};
    request.headers.insert(request.headers.end(), target.headers.begin(), target.headers.end());
    request.body = body;
    request.timeout = timeout;
    request.wantBody = true;  // a partial success is told in the body
    request.maxBodyBytes = kOtlpAnswerBytes;
    request.endAtHeaders = true;  // the status settles the request, not what follows it
    request.cancelled = cancelled;
    const HttpResult result = client.perform(request);
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
