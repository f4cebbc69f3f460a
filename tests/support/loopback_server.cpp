#include "support/loopback_server.hpp"

#include <httplib.h>

#include <chrono>
#include <cstdlib>

#include "collector_wire.hpp"
#include "dev_collector.hpp"

namespace zeplog::test {

LoopbackServer::LoopbackServer(const std::string& tlsCert, const std::string& tlsKey, int port) {
  if (tlsCert.empty()) {
    server_ = std::make_unique<httplib::Server>();
  } else {
    server_ = std::make_unique<httplib::SSLServer>(tlsCert.c_str(), tlsKey.c_str());
  }
  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    // cpp-httplib undoes gzip itself; zstd is undone here (kept as sent when it is not zstd).
    const std::string body =
        req.get_header_value("Content-Encoding") == "zstd"
            ? tools::detail::zstdDecompressed(req.body, 1u << 30).value_or(req.body)
            : req.body;
    std::size_t events = 0;
    for (std::size_t at = body.find("\"kstBulkIndex\":"); at != std::string::npos;
         at = body.find("\"kstBulkIndex\":", at + 1))
      ++events;
    std::unique_lock<std::mutex> l(mu_);
    seen_.push_back(
        {req.method,
         req.path,
         keepBodies_ ? body : std::string(),
         req.get_header_value("Content-Type"),
         req.remote_addr,
         req.remote_port,
         events,
         req.get_header_value("Content-Encoding"),
         std::chrono::steady_clock::now(),
         0,
         std::multimap<std::string, std::string>(req.headers.begin(), req.headers.end()),
         {},
         {}});
    for (const auto& [name, part] : req.files) {
      seen_.back().formParts[name] = part.content;
      if (!part.filename.empty()) seen_.back().formFileNames[name] = part.filename;
    }
    batchEvents_ += events;
    const std::size_t index = seen_.size() - 1;
    cv_.notify_all();
    cv_.wait(l, [this] { return !held_ || closing_; });
    res.status = status_;
    seen_[index].answered = status_;
    if (!retryAfter_.empty()) res.set_header("Retry-After", retryAfter_);
    // 204 and 304 answers have no body by definition.
    if (status_ == 204 || status_ == 304) return;
    if (endlessBody_) {
      res.set_chunked_content_provider(
          "application/json",
          [this, chunk = std::string(64 * 1024, ' ')](std::size_t, httplib::DataSink& sink) {
            {
              std::lock_guard<std::mutex> g(mu_);
              if (closing_) return false;
            }
            return sink.write(chunk.data(), chunk.size());
          });
    } else if (answerBody_.empty()) {
      res.set_content("answer", "text/plain");
    } else {
      res.set_content(answerBody_, "application/json");
    }
  };
  // A short keep-alive: a connection the library leaves idle goes soon.
  server_->set_keep_alive_timeout(1);
  // Answers go out at once: with Nagle's algorithm the answer's second write would wait for
  // the client's delayed acknowledgement of its first, some 40 ms per request.
  server_->set_tcp_nodelay(true);
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  if (!server_->is_valid()) return;
  // The socket listens once bound, so requests made before the accept loop runs just wait.
  port_ = port > 0 ? (server_->bind_to_port("127.0.0.1", port) ? port : -1)
                   : server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a server whose accept loop runs; httplib offers no signal for that in
  // this version, so look until it does (a few milliseconds at most).
  for (int i = 0; i < 10000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard<std::mutex> g(mu_);
    closing_ = true;
  }
  cv_.notify_all();
  server_->stop();
  // Idle kept-alive connections would hold the join until their keep-alive ran out.
  if (port_ > 0) tools::closeAcceptedConnections(port_);
  if (thread_.joinable()) thread_.join();
}

void LoopbackServer::setStatus(int status, std::string retryAfter) {
  std::lock_guard<std::mutex> g(mu_);
  status_ = status;
  retryAfter_ = std::move(retryAfter);
}

void LoopbackServer::setAnswerBody(std::string json) {
  std::lock_guard<std::mutex> g(mu_);
  answerBody_ = std::move(json);
}

void LoopbackServer::setEndlessBody(bool endless) {
  std::lock_guard<std::mutex> g(mu_);
  endlessBody_ = endless;
}

void LoopbackServer::hold() {
  std::lock_guard<std::mutex> g(mu_);
  held_ = true;
}

void LoopbackServer::release() {
  {
    std::lock_guard<std::mutex> g(mu_);
    held_ = false;
  }
  cv_.notify_all();
}

void LoopbackServer::keepBodies(bool keep) {
  std::lock_guard<std::mutex> g(mu_);
  keepBodies_ = keep;
}

bool LoopbackServer::waitForBatchEvents(std::size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, limit, [&] { return batchEvents_ >= n; });
}

std::vector<SeenRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> g(mu_);
  return seen_;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard<std::mutex> g(mu_);
  return seen_.size();
}

bool LoopbackServer::waitForRequests(std::size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> l(mu_);
  return cv_.wait_for(l, limit, [&] { return seen_.size() >= n; });
}

bool makeSelfSignedCertificate(const std::string& dir, SelfSignedCertificate& out) {
  out.cert = dir + "/cert.pem";
  out.key = dir + "/key.pem";
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
      " -keyout '" +
      out.key + "' -out '" + out.cert + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace zeplog::test
