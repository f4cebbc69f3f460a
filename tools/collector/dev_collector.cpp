#include "dev_collector.hpp"

#include <httplib.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "collector_database.hpp"
#include "collector_text.hpp"
#include "collector_wire.hpp"

namespace zeplog::tools {
using namespace detail;

struct DevCollector::Impl {
  CollectorOptions options;
  httplib::Server server;
  std::thread serverThread;
  std::atomic<bool> listenEnded{false};  // set when the server loop has returned
  int port = 0;

  mutable std::mutex mu;                    // guards everything below and the database
  mutable std::condition_variable changed;  // a request stored, or stopping
  Database db;
  bool stopping = false;
  std::size_t eventCount = 0;
  std::optional<std::string> settingsOverride;

  explicit Impl(CollectorOptions o) : options(std::move(o)) {}

  // Stores one request (and its events or log records); returns its id.
  std::int64_t store(const StoredRequest& r, const std::vector<std::string>& objects,
                     const std::string& remote, const std::vector<StoredLogRecord>& records = {}) {
    std::lock_guard<std::mutex> g(mu);
    db.exec("BEGIN");
    Database::Statement ins(db.handle(),
                            "INSERT INTO requests(received_at_ms, method, path, remote, status,"
                            " event_count, rejected, raw_body) VALUES(?,?,?,?,?,?,?,?)");
    ins.bind(1, r.receivedAtMs);
    ins.bind(2, r.method);
    ins.bind(3, r.path);
    ins.bind(4, remote);
    ins.bind(5, static_cast<std::int64_t>(r.answeredStatus));
    ins.bind(6, static_cast<std::int64_t>(objects.size() + records.size()));
    ins.bind(7, static_cast<std::int64_t>(r.rejected ? 1 : 0));
    if (r.rawBody) ins.bindBlob(8, *r.rawBody);
    ins.run();
    const std::int64_t id = sqlite3_last_insert_rowid(db.handle());
    Database::Statement ev(db.handle(),
                           "INSERT INTO events(request_id, received_at_ms, position, json)"
                           " VALUES(?,?,?,?)");
    for (std::size_t i = 0; i < objects.size(); ++i) {
      ev.bind(1, id);
      ev.bind(2, r.receivedAtMs);
      ev.bind(3, static_cast<std::int64_t>(i));
      ev.bind(4, objects[i]);
      ev.run();
      ev.reset();
    }
    Database::Statement lr(db.handle(),
                           "INSERT INTO log_records(request_id, received_at_ms, position, resource,"
                           " scope, time_unix_nano, severity_number, severity_text, body,"
                           " attributes) VALUES(?,?,?,?,?,?,?,?,?,?)");
    for (const StoredLogRecord& rec : records) {
      lr.bind(1, id);
      lr.bind(2, r.receivedAtMs);
      lr.bind(3, rec.position);
      lr.bind(4, rec.resource);
      lr.bind(5, rec.scope);
      lr.bind(6, rec.timeUnixNano);
      lr.bind(7, rec.severityNumber);
      lr.bind(8, rec.severityText);
      lr.bind(9, rec.body);
      lr.bind(10, rec.attributes);
      lr.run();
      lr.reset();
    }
    db.exec("COMMIT");
    eventCount += objects.size() + records.size();
    changed.notify_all();
    return id;
  }

  // Waits out an injected delay; a stop cuts it short.
  void delay(std::chrono::milliseconds d) {
    if (d.count() <= 0) return;
    std::unique_lock<std::mutex> l(mu);
    changed.wait_for(l, d, [this] { return stopping; });
  }

  Answer answerFor(bool logRoute) {
    std::lock_guard<std::mutex> g(mu);
    return logRoute ? options.logAnswer : options.settingsAnswer;
  }

  std::string settingsBody() {
    {
      std::lock_guard<std::mutex> g(mu);
      if (settingsOverride) return *settingsOverride;
    }
    if (!options.settingsPath.empty()) {
      if (auto text = readFile(options.settingsPath)) return *text;
    }
    return defaultSettingsBody();
  }

  void announce(const std::string& line) {
    if (options.arrivalSink) options.arrivalSink(line);
  }

  void handle(const httplib::Request& req, httplib::Response& res);
  // The routes that take a body get it decoded (Content-Encoding undone).
  void handleLog(const httplib::Request& req, const std::string& body, httplib::Response& res,
                 StoredRequest& r);
  void handleOtlp(const httplib::Request& req, const std::string& body, httplib::Response& res,
                  StoredRequest& r);
  void handleMinidump(const httplib::Request& req, httplib::Response& res, StoredRequest& r);
  std::int64_t storeMinidump(std::int64_t requestId, const StoredMinidump& m);
  // Stores a log body that is refused, raw, with its line.
  void reject(const httplib::Request& req, StoredRequest& r, const std::string& why);
  // A POST body with a zstd Content-Encoding undone (cpp-httplib undoes gzip); none, with the
  // request refused, when it does not decompress.
  std::optional<std::string> decodedBody(const httplib::Request& req, httplib::Response& res,
                                         StoredRequest& r);
  void handleAdmin(const httplib::Request& req, httplib::Response& res);
};

void DevCollector::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  static const std::regex kSettings(R"(^/v2/([^/]+)/logsconf$)");
  StoredRequest r;
  r.receivedAtMs = nowMs();
  r.method = req.method;
  r.path = req.target;
  const std::string& path = req.path;

  if (req.method == "POST" && (path == "/v2/log" || path == "/v1/logs")) {
    const std::optional<std::string> body = decodedBody(req, res, r);
    if (!body) return;
    if (path == "/v2/log") {
      handleLog(req, *body, res, r);
    } else {
      handleOtlp(req, *body, res, r);
    }
    return;
  }
  if (req.method == "POST" && path == "/v2/minidump") {
    handleMinidump(req, res, r);
    return;
  }
  if (path.rfind("/admin/", 0) == 0) {
    handleAdmin(req, res);
    r.answeredStatus = res.status;
    store(r, {}, req.remote_addr);
    return;
  }

  std::smatch m;
  if (req.method == "GET" && std::regex_match(path, m, kSettings)) {
    const Answer a = answerFor(false);
    r.answeredStatus = a.status;
    store(r, {}, req.remote_addr);
    announce(clockText(r.receivedAtMs) + " GET " + r.path + " -> " + std::to_string(a.status));
    delay(a.delay);
    res.status = a.status;
    res.set_content(settingsBody(), "application/json");
    return;
  }
  if (req.method == "GET" && (path == "/probe" || path.rfind("/probe/", 0) == 0)) {
    r.answeredStatus = 200;
    store(r, {}, req.remote_addr);
    announce(clockText(r.receivedAtMs) + " GET " + r.path + " -> 200 (probe)");
    res.status = 200;
    res.set_content("ok", "text/plain");
    return;
  }
  r.answeredStatus = 404;
  store(r, {}, req.remote_addr);
  announce(clockText(r.receivedAtMs) + " " + req.method + " " + r.path + " -> 404");
  res.status = 404;
  res.set_content("not found", "text/plain");
}

void DevCollector::Impl::reject(const httplib::Request& req, StoredRequest& r,
                                const std::string& why) {
  r.rejected = true;
  r.rawBody = req.body;
  r.answeredStatus = 400;
  const std::int64_t id = store(r, {}, req.remote_addr);
  announce(clockText(r.receivedAtMs) + " POST " + req.path + " #" + std::to_string(id) + ": " +
           why + " (" + std::to_string(req.body.size()) + " bytes kept) -> 400");
}

std::optional<std::string> DevCollector::Impl::decodedBody(const httplib::Request& req,
                                                           httplib::Response& res,
                                                           StoredRequest& r) {
  if (req.get_header_value("Content-Encoding") != "zstd") return req.body;
  constexpr std::size_t kLargestBody = 256u << 20;
  std::optional<std::string> body = detail::zstdDecompressed(req.body, kLargestBody);
  if (!body) {
    reject(req, r, "not zstd data");
    res.status = 400;
    res.set_content("Content-Encoding zstd, but the body is not zstd data", "text/plain");
  }
  return body;
}

void DevCollector::Impl::handleLog(const httplib::Request& req, const std::string& body,
                                   httplib::Response& res, StoredRequest& r) {
  std::optional<std::vector<std::string>> objects = eventObjects(body);
  if (!objects) {
    reject(req, r, "not a JSON array of objects");
    res.status = 400;
    res.set_content("body must be a JSON array of objects", "text/plain");
    return;
  }
  const Answer a = answerFor(true);
  r.answeredStatus = a.status;
  const std::int64_t id = store(r, *objects, req.remote_addr);
  std::string project = projectOf(*objects);
  announce(clockText(r.receivedAtMs) + " POST /v2/log #" + std::to_string(id) + ": " +
           std::to_string(objects->size()) + " events" +
           (project.empty() ? "" : " [" + project + "]") + " -> " + std::to_string(a.status) +
           (a.delay.count() > 0 ? " after " + std::to_string(a.delay.count()) + " ms" : ""));
  delay(a.delay);
  res.status = a.status;
  res.set_content("", "text/plain");
}

void DevCollector::Impl::handleOtlp(const httplib::Request& req, const std::string& body,
                                    httplib::Response& res, StoredRequest& r) {
  // The answer is in the request's encoding.
  const bool protobuf = req.get_header_value("Content-Type") == "application/x-protobuf";
  const std::optional<std::string> json =
      protobuf ? detail::otlpJsonOfProtobuf(body) : std::optional<std::string>(body);
  std::optional<std::vector<StoredLogRecord>> records =
      json ? otlpRecords(*json) : std::optional<std::vector<StoredLogRecord>>();
  if (!records) {
    reject(req, r, "not an OTLP logs request");
    res.status = 400;
    if (protobuf) {
      res.set_content("", "application/x-protobuf");  // a google.rpc.Status would go here
    } else {
      res.set_content(R"({"code":3,"message":"not an ExportLogsServiceRequest"})",
                      "application/json");
    }
    return;
  }
  const Answer a = answerFor(true);
  r.answeredStatus = a.status;
  const std::int64_t id = store(r, {}, req.remote_addr, *records);
  announce(clockText(r.receivedAtMs) + " POST /v1/logs #" + std::to_string(id) + ": " +
           std::to_string(records->size()) + " log records -> " + std::to_string(a.status));
  delay(a.delay);
  res.status = a.status;
  // An ExportLogsServiceResponse: all accepted (in protobuf, no fields at all).
  if (protobuf) {
    res.set_content("", "application/x-protobuf");
  } else {
    res.set_content("{}", "application/json");
  }
}

std::int64_t DevCollector::Impl::storeMinidump(std::int64_t requestId, const StoredMinidump& m) {
  std::lock_guard<std::mutex> g(mu);
  Database::Statement ins(db.handle(),
                          "INSERT INTO minidumps(request_id, received_at_ms, file_name, fields,"
                          " file) VALUES(?,?,?,?,?)");
  ins.bind(1, requestId);
  ins.bind(2, m.receivedAtMs);
  ins.bind(3, m.fileName);
  ins.bind(4, m.fields);
  ins.bindBlob(5, m.file);
  ins.run();
  changed.notify_all();
  return sqlite3_last_insert_rowid(db.handle());
}

void DevCollector::Impl::handleMinidump(const httplib::Request& req, httplib::Response& res,
                                        StoredRequest& r) {
  const auto file = req.files.find("upload_file_minidump");
  if (file == req.files.end()) {
    r.answeredStatus = res.status = 400;
    store(r, {}, req.remote_addr);
    announce(clockText(r.receivedAtMs) + " POST /v2/minidump: no upload_file_minidump -> 400");
    res.set_content("a multipart/form-data body with upload_file_minidump is expected",
                    "text/plain");
    return;
  }
  StoredMinidump m;
  m.receivedAtMs = r.receivedAtMs;
  // Only the last path component of the name the client gave, for the file written below.
  m.fileName = file->second.filename.substr(file->second.filename.find_last_of('/') + 1);
  m.file = file->second.content;
  ordered_json fields = ordered_json::object();
  for (const auto& [name, part] : req.files)
    if (name != "upload_file_minidump") fields[name] = part.content;
  m.fields = fields.dump();
  r.answeredStatus = 200;
  const std::int64_t id = storeMinidump(store(r, {}, req.remote_addr), m);
  if (!options.minidumpDir.empty()) {
    std::ofstream(options.minidumpDir + "/" + std::to_string(id) + "-" + m.fileName,
                  std::ios::binary)
        << m.file;
  }
  announce(clockText(r.receivedAtMs) + " POST /v2/minidump #" + std::to_string(id) + ": " +
           std::to_string(m.file.size()) + " bytes -> 200");
  res.status = 200;
  res.set_content(std::to_string(id), "text/plain");  // the report id, as crash servers answer
}

void DevCollector::Impl::handleAdmin(const httplib::Request& req, httplib::Response& res) {
  auto number = [&](const char* name, int& out) {
    if (!req.has_param(name)) return true;
    try {
      out = std::stoi(req.get_param_value(name));
      return true;
    } catch (...) {
      return false;
    }
  };
  if (req.method == "POST" && req.path == "/admin/config") {
    std::lock_guard<std::mutex> g(mu);
    int logStatus = options.logAnswer.status;
    int logDelay = static_cast<int>(options.logAnswer.delay.count());
    int setStatus = options.settingsAnswer.status;
    int setDelay = static_cast<int>(options.settingsAnswer.delay.count());
    if (!number("log_status", logStatus) || !number("log_delay_ms", logDelay) ||
        !number("settings_status", setStatus) || !number("settings_delay_ms", setDelay)) {
      res.status = 400;
      res.set_content("numbers expected", "text/plain");
      return;
    }
    options.logAnswer = {logStatus, std::chrono::milliseconds(logDelay)};
    options.settingsAnswer = {setStatus, std::chrono::milliseconds(setDelay)};
    res.status = 200;
    return;
  }
  if ((req.method == "PUT" || req.method == "POST") && req.path == "/admin/settings") {
    std::lock_guard<std::mutex> g(mu);
    if (req.body.empty()) {
      settingsOverride.reset();
    } else {
      settingsOverride = req.body;
    }
    res.status = 200;
    return;
  }
  if (req.method == "GET" && req.path == "/admin/stats") {
    std::lock_guard<std::mutex> g(mu);
    Database::Statement q(db.handle(), "SELECT count(*), coalesce(sum(rejected),0) FROM requests");
    std::int64_t requests = 0, rejected = 0;
    if (q.step()) {
      requests = q.integer(0);
      rejected = q.integer(1);
    }
    ordered_json out = {{"requests", requests}, {"events", eventCount}, {"rejected", rejected}};
    res.set_content(out.dump(), "application/json");
    res.status = 200;
    return;
  }
  res.status = 404;
}

DevCollector::DevCollector(CollectorOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

DevCollector::~DevCollector() { stop(); }

bool DevCollector::start(std::string* error) {
  Impl& d = *impl_;
  if (!d.db.open(d.options.databasePath, false, error)) return false;
  auto handler = [&d](const httplib::Request& req, httplib::Response& res) { d.handle(req, res); };
  d.server.Get(".*", handler);
  d.server.Post(".*", handler);
  d.server.Put(".*", handler);
  d.server.set_keep_alive_max_count(100000);
  d.server.set_keep_alive_timeout(d.options.keepAliveSeconds);
  // Answers go out at once: with Nagle's algorithm an answer's second write would wait for
  // the client's delayed acknowledgement of its first, some 40 ms per request.
  d.server.set_tcp_nodelay(true);
  d.server.set_payload_max_length(64u << 20);
  const int port =
      d.options.port == 0
          ? d.server.bind_to_any_port(d.options.host)
          : (d.server.bind_to_port(d.options.host, d.options.port) ? d.options.port : -1);
  if (port <= 0) {
    if (error) *error = "cannot listen on " + d.options.host + ":" + std::to_string(d.options.port);
    return false;
  }
  d.port = port;
  d.serverThread = std::thread([&d] {
    d.server.listen_after_bind();
    d.listenEnded.store(true);
  });
  // A stop() before the server loop runs would be lost (the server ignores it until then),
  // so start() returns only once the loop runs. cpp-httplib offers no wait for it: poll.
  while (!d.server.is_running() && !d.listenEnded.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!d.server.is_running()) {
    d.serverThread.join();
    if (error) *error = "the server loop did not start";
    return false;
  }
  return true;
}

void DevCollector::stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> g(d.mu);
    d.stopping = true;
  }
  d.changed.notify_all();
  d.server.stop();
  if (d.port > 0) closeAcceptedConnections(d.port);
  if (d.serverThread.joinable()) d.serverThread.join();
}

void closeAcceptedConnections(int port) {
  // A server's accepted sockets are the ones whose own port is the server's; shutting them
  // down (not closing: the server's threads own the descriptors) makes each connection
  // thread read the end of its stream and finish.
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return;
  while (const dirent* entry = ::readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == ::dirfd(fds)) continue;
    sockaddr_storage own{};
    socklen_t length = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0) continue;
    int ownPort = -1;
    if (own.ss_family == AF_INET) ownPort = ntohs(reinterpret_cast<sockaddr_in*>(&own)->sin_port);
    if (own.ss_family == AF_INET6)
      ownPort = ntohs(reinterpret_cast<sockaddr_in6*>(&own)->sin6_port);
    if (ownPort == port) ::shutdown(fd, SHUT_RDWR);
  }
  ::closedir(fds);
}

int DevCollector::port() const { return impl_->port; }

std::string DevCollector::baseUrl() const {
  return "http://" + impl_->options.host + ":" + std::to_string(impl_->port);
}

void DevCollector::setLogAnswer(Answer answer) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->options.logAnswer = answer;
}

void DevCollector::setSettingsAnswer(Answer answer) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->options.settingsAnswer = answer;
}

void DevCollector::setSettingsBody(std::optional<std::string> text) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->settingsOverride = std::move(text);
}

std::vector<StoredRequest> DevCollector::requests() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  std::vector<StoredRequest> out;
  Database::Statement q(impl_->db.handle(),
                        "SELECT id, received_at_ms, method, path, status, event_count, rejected,"
                        " raw_body FROM requests ORDER BY id");
  while (q.step()) {
    StoredRequest r;
    r.id = q.integer(0);
    r.receivedAtMs = q.integer(1);
    r.method = q.text(2);
    r.path = q.text(3);
    r.answeredStatus = static_cast<int>(q.integer(4));
    r.eventCount = q.integer(5);
    r.rejected = q.integer(6) != 0;
    if (!q.isNull(7)) r.rawBody = q.text(7);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<StoredEvent> DevCollector::events() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  std::vector<StoredEvent> out;
  Database::Statement q(impl_->db.handle(),
                        "SELECT id, request_id, received_at_ms, position, json FROM events"
                        " ORDER BY id");
  while (q.step()) {
    out.push_back({q.integer(0), q.integer(1), q.integer(2), q.integer(3), q.text(4)});
  }
  return out;
}

std::vector<StoredLogRecord> DevCollector::logRecords() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  std::vector<StoredLogRecord> out;
  Database::Statement q(impl_->db.handle(),
                        "SELECT id, request_id, received_at_ms, position, resource, scope,"
                        " time_unix_nano, severity_number, severity_text, body, attributes"
                        " FROM log_records ORDER BY id");
  while (q.step()) {
    out.push_back({q.integer(0), q.integer(1), q.integer(2), q.integer(3), q.text(4), q.text(5),
                   q.text(6), q.integer(7), q.text(8), q.text(9), q.text(10)});
  }
  return out;
}

std::vector<StoredMinidump> DevCollector::minidumps() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  std::vector<StoredMinidump> out;
  Database::Statement q(impl_->db.handle(),
                        "SELECT id, request_id, received_at_ms, file_name, fields, file"
                        " FROM minidumps ORDER BY id");
  while (q.step())
    out.push_back({q.integer(0), q.integer(1), q.integer(2), q.text(3), q.text(4), q.text(5)});
  return out;
}

bool DevCollector::waitForEvents(std::size_t n, std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> l(impl_->mu);
  return impl_->changed.wait_for(l, bound, [&] { return impl_->eventCount >= n; });
}

bool DevCollector::waitForRequests(const std::string& pathPrefix, std::size_t n,
                                   std::chrono::milliseconds bound) const {
  auto count = [&] {
    Database::Statement q(impl_->db.handle(),
                          "SELECT count(*) FROM requests WHERE substr(path, 1, ?) = ?");
    q.bind(1, static_cast<std::int64_t>(pathPrefix.size()));
    q.bind(2, pathPrefix);
    return q.step() ? static_cast<std::size_t>(q.integer(0)) : 0;
  };
  std::unique_lock<std::mutex> l(impl_->mu);
  return impl_->changed.wait_for(l, bound, [&] { return count() >= n; });
}

std::string DevCollector::defaultSettingsBody() {
  return R"({"status":200,"result":{"log":{"enable":true},"session":{"enable":true},)"
         R"("crash":{"enable":true},"networkpulses":{"enable":true,"urls":[]}}})";
}

}  // namespace zeplog::tools
