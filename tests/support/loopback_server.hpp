// An HTTP server on 127.0.0.1 for tests that talk to a real collector.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace zeplog::test {

// One request as the server saw it.
struct SeenRequest {
  std::string method;
  std::string path;
  std::string body;
  std::string contentType;
  std::string remoteAddr;
  int remotePort = -1;
  std::size_t batchEvents = 0;  // event objects of a batch body (each has "kstBulkIndex")
  std::string contentEncoding;  // the body as sent; `body` is always the decoded one
  std::chrono::steady_clock::time_point at;         // when it came in
  int answered = 0;                                 // the status it was answered with
  std::multimap<std::string, std::string> headers;  // every request header as received
  // A multipart/form-data body's parts, name to content (its `body` is then empty), and the
  // file names of those that carry one.
  std::map<std::string, std::string> formParts;
  std::map<std::string, std::string> formFileNames;
};

// Listens on a free loopback port from construction until destruction and records every
// request. By default it answers 200 with a short body; the test may change the status or
// tell it to hold answers back until released. Request handlers run on the server's own
// threads; every accessor is safe from the test's thread.
class LoopbackServer {
 public:
  // tlsCert/tlsKey: PEM files of a certificate and its key for HTTPS; empty for HTTP.
  // port: the port to listen on; 0 for any free one.
  explicit LoopbackServer(const std::string& tlsCert = "", const std::string& tlsKey = "",
                          int port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  bool ok() const { return port_ > 0; }

  // The status every later request is answered with, and its "Retry-After" ("" for none).
  void setStatus(int status, std::string retryAfter = "");
  // The body (application/json) of every later answer; "" restores the short text one.
  void setAnswerBody(std::string json);
  // When true, every later answer's body never ends: chunks of JSON text keep coming until
  // the client stops reading or the server ends.
  void setEndlessBody(bool endless);
  // While held, requests are recorded and then wait, without an answer, until release() or
  // the server's end.
  void hold();
  void release();

  // When false, later requests are recorded without their body (batchEvents still counts),
  // for tests that send more than is worth keeping.
  void keepBodies(bool keep);

  std::vector<SeenRequest> requests() const;
  // Waits until the batch bodies received hold at least n events in all; false when `limit`
  // passes first (a guard against a hung test, not a timing assertion).
  bool waitForBatchEvents(std::size_t n,
                          std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  std::size_t requestCount() const;
  // Waits until at least n requests were recorded; false when `limit` passes first (a guard
  // against a hung test, not a timing assertion).
  bool waitForRequests(std::size_t n,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;  // signalled on every request and on release
  std::vector<SeenRequest> seen_;       // guarded by mu_
  int status_ = 200;                    // guarded by mu_
  std::string retryAfter_;              // guarded by mu_
  std::string answerBody_;              // guarded by mu_
  bool held_ = false;                   // guarded by mu_
  bool keepBodies_ = true;              // guarded by mu_
  bool endlessBody_ = false;            // guarded by mu_
  std::size_t batchEvents_ = 0;         // guarded by mu_; the sum over seen_
  bool closing_ = false;                // guarded by mu_
};

// A self-signed certificate for 127.0.0.1 and its key, made with the openssl command in dir
// ("cert.pem", "key.pem"). The certificate is its own CA: naming it as trusted makes a
// server that presents it verify.
struct SelfSignedCertificate {
  std::string cert;
  std::string key;
};
bool makeSelfSignedCertificate(const std::string& dir, SelfSignedCertificate& out);

}  // namespace zeplog::test
