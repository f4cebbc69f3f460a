#include "transport/http_client.hpp"

#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/ascii.hpp"
#include "common/fork_locks.hpp"
#include "common/upload_consent.hpp"
#include "common/url.hpp"
#include "transport/transport_options.hpp"

namespace zeplog::detail {
namespace {

// The system's certificate directory: kept trusted beside a bundle the application names.
constexpr const char* kSystemCertDir = "/etc/ssl/certs";

// OpenSSL, under libcurl, registers a clean-up that runs in exit() and takes OpenSSL's own
// locks. A child forked while one of the library's threads was inside OpenSSL inherits such
// a lock held by a thread that does not exist in it, and its exit() would hang for good.
// Asked before its first use, OpenSSL registers no clean-up; the operating system reclaims
// its memory at exit. Looked up at run time: libcurl brings libcrypto into the process, and
// the library itself does not link it.
void keepOpenSslOutOfExit() {
  using InitCrypto = int (*)(std::uint64_t, const void*);
  constexpr std::uint64_t kNoAtExit = 0x00080000;  // OPENSSL_INIT_NO_ATEXIT
  if (auto init = reinterpret_cast<InitCrypto>(::dlsym(RTLD_DEFAULT, "OPENSSL_init_crypto")))
    init(kNoAtExit, nullptr);
}

// The locks of the client's process-wide state. In the library's fork order, so a child
// forked while another thread sets libcurl up, or names trusted certificates, never finds
// them held (a function-local static's guard would stay "in progress" in the child for ever).
struct ClientLocks {
  // Guards setupDone and setupOk: libcurl's one-time setup.
  ForkSafeMutex setup{ForkLockRank::kHttpClient, 0};
  bool setupDone = false;
  bool setupOk = false;
  ForkSafeMutex trust{ForkLockRank::kHttpClient, 1};  // guards trustedPath
  std::string trustedPath;
};
ClientLocks& clientLocks() {
  static auto* locks = new ClientLocks;  // never destroyed
  return *locks;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_clientLocksMadeAtLoad = (static_cast<void>(clientLocks()), true);

// libcurl's process-wide setup, done once and never undone: a late request at exit must
// still find it.
bool curlReady() {
  ClientLocks& l = clientLocks();
  std::lock_guard<std::mutex> g(l.setup);
  if (!l.setupDone) {
    keepOpenSslOutOfExit();
    l.setupOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    l.setupDone = true;
  }
  return l.setupOk;
}

std::string currentTrustedPath() {
  std::lock_guard<std::mutex> g(clientLocks().trust);
  return clientLocks().trustedPath;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The state of one transfer, seen by libcurl's callbacks.
struct Transfer {
  CURL* curl = nullptr;
  const HttpRequest* request = nullptr;
  HttpResult* result = nullptr;
  bool tooLarge = false;
  bool cancelled = false;
  bool hasLocation = false;     // the current answer names a redirect target
  bool endedAtHeaders = false;  // cut off after the final headers (HttpRequest::endAtHeaders)
  std::chrono::steady_clock::time_point headersEnded;  // when the final headers ended
};

// How long a request that ends at its headers still gives a body that is on its way: one that
// came with the headers is read, and the connection stays open for the next request. A server
// commonly writes its headers and its body apart, and on a loaded machine the second write can
// come a few hundred milliseconds later; a body cut off then loses what it told (an OTLP
// partial success), so the grace is a second: still far below any request's timeout.
constexpr std::chrono::milliseconds kBodyGrace{1000};

// Each header line of each answer (interim ones, redirects and the final one) comes here; the
// empty line ends an answer's headers. The status of an answer that ends a request is kept
// there, so a body that never comes cannot hide it.
size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  if (startsWithNoCase(line, "http/")) {
    t->hasLocation = false;  // a new answer begins
    t->result->retryAfter.clear();
    return n;
  }
  if (startsWithNoCase(line, "retry-after:")) {
    t->result->retryAfter.assign(line.substr(12));
    return n;
  }
  if (startsWithNoCase(line, "location:")) {
    t->hasLocation = true;
    return n;
  }
  if (line != "\r\n" && line != "\n") return n;
  long code = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
  if (code < 200) return n;  // interim answer (100 Continue and the like)
  // A redirect that libcurl will follow is not the answer that ends the request.
  if (t->request->followRedirects && code >= 300 && code < 400 && t->hasLocation) return n;
  t->result->completed = true;
  t->result->status = code;
  t->headersEnded = std::chrono::steady_clock::now();
  return n;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (!t->request->wantBody) return n;
  if (t->result->body.size() + n > t->request->maxBodyBytes) {
    t->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  t->result->body.append(data, n);
  return n;
}

// True while the final answer's body is still to come: its length is unknown or not reached.
bool bodyPending(const Transfer& t, curl_off_t received) {
  curl_off_t length = -1;
  curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  return length < 0 || received < length;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  // The status decides the request: a body that is slow to come (or never comes) is not
  // waited for past a short grace.
  if (t->request->endAtHeaders && t->result->completed && bodyPending(*t, received) &&
      std::chrono::steady_clock::now() - t->headersEnded >= kBodyGrace) {
    t->endedAtHeaders = true;
    return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
  }
  if (!t->request->cancelled || !t->request->cancelled()) return 0;
  t->cancelled = true;
  return 1;
}

HttpResult::Failure failureOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpResult::Failure::kResolve;
    case CURLE_COULDNT_CONNECT:
      return HttpResult::Failure::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpResult::Failure::kTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return HttpResult::Failure::kTls;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return HttpResult::Failure::kUnsupportedUrl;
    default:
      return HttpResult::Failure::kOther;
  }
}

// A request that failed with no answer to keep.
HttpResult failedWith(HttpResult::Failure failure, std::string error) {
  HttpResult result;
  result.failure = failure;
  result.error = std::move(error);
  return result;
}

// What a request sends besides its URL: the header list and the body, compressed when asked
// for. Both stay alive until the request has ended.
class Outgoing {
 public:
  explicit Outgoing(const HttpRequest& request) {
    for (const std::string& h : request.headers) add(h.c_str());
    // No "Expect: 100-continue" round trip for larger bodies: the collector answers directly.
    add("Expect:");
    const Compression compression = request.compression.value_or(requestCompression());
    if (request.method == HttpRequest::Method::kPost && !request.body.empty()) {
      if (compression == Compression::Gzip) {
        compressed_ = gzipCompress(request.body);
        if (compressed_) add("Content-Encoding: gzip");
      } else if (compression == Compression::Zstd) {
        compressed_ = zstdCompress(request.body);
        if (compressed_) add("Content-Encoding: zstd");
      }
    }
    body_ = compressed_ ? &*compressed_ : &request.body;
  }
  ~Outgoing() { curl_slist_free_all(headers_); }
  Outgoing(const Outgoing&) = delete;
  Outgoing& operator=(const Outgoing&) = delete;

  curl_slist* headers() const { return headers_; }
  const std::string& body() const { return *body_; }

 private:
  void add(const char* header) { headers_ = curl_slist_append(headers_, header); }

  curl_slist* headers_ = nullptr;
  std::optional<std::string> compressed_;
  const std::string* body_ = nullptr;
};

// Where the server's certificate is checked against: the system's store, plus the bundle or
// directory the application named.
void setTrust(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  const std::string trusted = currentTrustedPath();
  if (trusted.empty()) return;
  if (isDirectory(trusted)) {
    curl_easy_setopt(curl, CURLOPT_CAPATH, trusted.c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_CAINFO, trusted.c_str());
    if (isDirectory(kSystemCertDir)) curl_easy_setopt(curl, CURLOPT_CAPATH, kSystemCertDir);
  }
}

// Where the request goes and how: URL, proxy, protocols, redirects, time-out, TLS.
void setRoute(CURL* curl, const HttpRequest& request) {
  const std::string proxy = proxyURL();
  if (!proxy.empty()) curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  setTrust(curl);
}

// The callbacks that see the answer come in, and the error text buffer.
void setCallbacks(CURL* curl, Transfer& transfer, char* errorText) {
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (transfer.request->cancelled || transfer.request->endAtHeaders) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  }
}

// The method, the headers and, for a POST, the body.
void setPayload(CURL* curl, HttpRequest::Method method, const Outgoing& outgoing) {
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, outgoing.headers());
  if (method == HttpRequest::Method::kPost) {
    const std::string& body = outgoing.body();
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }
}

// Fills in how a transfer that libcurl ended with `code` ended for the caller.
void concludeTransfer(CURLcode code, const Transfer& transfer, const char* errorText) {
  HttpResult& result = *transfer.result;
  if (code == CURLE_OK) {
    // Also covers an answer whose headers the callback did not see end (HTTP/0.9 and the
    // like): the final status is what libcurl reports.
    long status = 0;
    curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
    result.completed = status != 0;
    result.status = status;
    if (!result.completed) {
      result.failure = HttpResult::Failure::kOther;
      result.error = "no answer";
    }
  } else if (transfer.endedAtHeaders ||
             (transfer.tooLarge && transfer.request->endAtHeaders && result.completed)) {
    // The status decides: a body that did not come whole in time, or that goes on past its
    // bound, is cut off and not kept. Nothing failed.
    result.body.clear();
  } else if (transfer.tooLarge) {
    result.completed = false;
    result.status = 0;
    result.body.clear();
    result.failure = HttpResult::Failure::kOther;
    result.error =
        "answer larger than " + std::to_string(transfer.request->maxBodyBytes) + " bytes";
  } else {
    result.error = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
    if (!result.completed) {
      result.failure = transfer.cancelled ? HttpResult::Failure::kCancelled : failureOf(code);
      result.status = 0;
    }
  }
}

}  // namespace

void setTrustedCertificates(std::string path) {
  std::lock_guard<std::mutex> g(clientLocks().trust);
  clientLocks().trustedPath = std::move(path);
}

bool prepareHttpClient() { return curlReady(); }

// How often a running request looks at its cancel predicate while nothing arrives. libcurl's
// own loop would ask the progress callback only about once a second then, which is as long
// as an exit gives a cut-off request to end (and its events to be written back and saved).
constexpr int kCancelLookMs = 50;

// Runs the transfer of curl through multi to its end and returns how it ended. The request's
// cancel predicate is looked at between rounds as well as from the progress callback, so a
// cut-off request ends within about kCancelLookMs.
CURLcode runTransfer(CURLM* multi, CURL* curl, Transfer& transfer) {
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode code = CURLE_FAILED_INIT;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    bool done = false;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
        code = message->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    if (transfer.request->cancelled && transfer.request->cancelled()) {
      transfer.cancelled = true;
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (curl_multi_poll(multi, nullptr, 0, kCancelLookMs, nullptr) != CURLM_OK) break;
  }
  curl_multi_remove_handle(multi, curl);
  return code;
}

struct HttpClient::Impl {
  CURL* curl = nullptr;    // made on first use; kept for reuse
  CURLM* multi = nullptr;  // runs curl's transfers; holds the open connections for reuse
  pid_t owner = 0;         // the process that made curl and multi

  // The handles for the next request, curl's options of the previous request cleared (open
  // connections, the name cache and TLS sessions stay); false when none can be made.
  bool handlesForRequest() {
    if (curl && owner != ::getpid()) {
      // Inherited through fork(): their open connections are the parent's sockets, and a
      // request or a TLS close on them would corrupt the parent's streams. Left as they are,
      // never used.
      curl = nullptr;
      multi = nullptr;
    }
    if (!curl) {
      curl = curl_easy_init();
      multi = curl ? curl_multi_init() : nullptr;
      if (curl && !multi) {
        curl_easy_cleanup(curl);
        curl = nullptr;
      }
      owner = ::getpid();
    }
    if (curl) curl_easy_reset(curl);
    return curl != nullptr;
  }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}

HttpClient::~HttpClient() {
  if (impl_->curl && impl_->owner == ::getpid()) {
    curl_multi_cleanup(impl_->multi);
    curl_easy_cleanup(impl_->curl);
  }
}

HttpClient& HttpClient::forThisThread() {
  thread_local HttpClient client;
  return client;
}

HttpResult HttpClient::perform(const HttpRequest& request) {
  // The last gate of upload consent: whatever path a request took, it does not leave the
  // machine while consent is unknown or revoked.
  if (!uploadsAllowed())
    return failedWith(HttpResult::Failure::kCancelled, "upload consent not given");
  if (!isHttpUrl(request.url))
    return failedWith(HttpResult::Failure::kUnsupportedUrl,
                      "only http and https URLs are requested");
  if (!curlReady())
    return failedWith(HttpResult::Failure::kOther, "libcurl could not be initialised");
  if (!impl_->handlesForRequest())
    return failedWith(HttpResult::Failure::kOther, "libcurl handle could not be made");
  CURL* curl = impl_->curl;

  HttpResult result;
  Transfer transfer;
  transfer.curl = curl;
  transfer.request = &request;
  transfer.result = &result;
  char errorText[CURL_ERROR_SIZE] = {0};
  const Outgoing outgoing(request);
  setRoute(curl, request);
  setCallbacks(curl, transfer, errorText);
  setPayload(curl, request.method, outgoing);
  const CURLcode code = runTransfer(impl_->multi, curl, transfer);
  // The header list and the error buffer end with this call; the handle lives on.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  concludeTransfer(code, transfer, errorText);
  return result;
}

}  // namespace zeplog::detail
