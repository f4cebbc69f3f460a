// A small blocking HTTP client on libcurl, shared by every subsystem that talks to a server.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zeplog/otlp_exporter.hpp"

namespace zeplog::detail {

// One request. Only http:// and https:// URLs are requested; anything else fails at once
// without touching the network.
struct HttpRequest {
  enum class Method { kGet, kPost };

  Method method = Method::kGet;
  std::string url;
  std::vector<std::string> headers;  // each "Name: value"
  std::string body;                  // sent as is for kPost
  // How a kPost body is compressed; none: as setRequestCompression says.
  std::optional<Compression> compression;
  // Bounds the whole request: name lookup, connect, TLS, upload and the answer.
  std::chrono::milliseconds timeout{10000};
  // Keep the answer's body in HttpResult::body (at most maxBodyBytes, or the request fails).
  // When false the body is read and discarded, so the connection can be used again.
  bool wantBody = false;
  std::size_t maxBodyBytes = 4u << 20;
  // End the request once the final answer's status and headers are in, without waiting
  // for a body that has not come with them (a server that stalls after its status).
  // Meant for requests whose outcome is the status alone. With wantBody, a body that comes
  // whole with the headers (within a short grace) and within maxBodyBytes is kept; a longer,
  // slower or endless one is cut off and not kept, and the request still ends completed with
  // its status. Without wantBody the body is never kept.
  bool endAtHeaders = false;
  // Follow redirects (to http and https URLs only, at most 5).
  bool followRedirects = false;
  // Asked while the request runs (about every 50 ms, more often while data moves); true
  // cuts it off, ending it as Failure::kCancelled. Empty: never cut off.
  std::function<bool()> cancelled;
};

// How a request ended.
struct HttpResult {
  enum class Failure {
    kNone,            // an answer came (completed is true)
    kUnsupportedUrl,  // not an http or https URL; nothing was requested
    kResolve,         // the host name could not be resolved
    kConnect,         // the connection was refused or could not be made
    kTimeout,         // the request's timeout ran out before an answer came
    kTls,             // TLS failed, e.g. the server's certificate did not verify
    kCancelled,       // HttpRequest::cancelled said so
    kOther,           // any other transport failure
  };

  // True when the final answer's status line and headers arrived. The status decides from
  // then on: a failure while the body is still coming does not undo it.
  bool completed = false;
  long status = 0;         // HTTP status of the final answer; 0 when none came
  std::string body;        // the answer's body, when the request asked for it
  std::string retryAfter;  // the final answer's "Retry-After" header value, as sent; "" if none
  Failure failure = Failure::kNone;
  std::string error;  // why the request failed (or what failed after the answer); "" if nothing
};

// A client holds one libcurl handle and keeps its connections open between requests
// (keep-alive), so a thread that makes many requests to one server reuses its connection.
// Use a client from one thread at a time; forThisThread() gives each thread its own.
// TLS certificates are always verified: against the system's store, plus the bundle named
// with setTrustedCertificates. The process never gets signals from a request.
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Performs the request and blocks until it has ended (answer, failure or timeout).
  HttpResult perform(const HttpRequest& request);

  // The calling thread's own client, made on first use and kept for the thread's life.
  static HttpClient& forThisThread();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Names a CA bundle file (PEM) or a directory of hashed certificates that is trusted in
// addition to the system's store, for servers with a private CA; "" forgets it. Affects
// every request that starts afterwards, in every thread.
void setTrustedCertificates(std::string path);

// Does libcurl's one-time process-wide setup now, if it is not done yet; false when it
// failed. Requests do it on first use; initialisation does it early, so that a process that
// forks soon after never forks in the middle of it.
bool prepareHttpClient();

}  // namespace zeplog::detail
