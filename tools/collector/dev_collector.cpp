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

namespace zeplog::tools {
namespace {

using ordered_json = nlohmann::ordered_json;

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "HH:MM:SS.mmm" (UTC) of a time in milliseconds.
std::string clockText(std::int64_t ms) {
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A body is accepted when it is a JSON array whose elements are all objects.
std::optional<std::vector<std::string>> eventObjects(const std::string& body) {
  ordered_json doc = ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(doc.size());
  for (const auto& element : doc) {
    if (!element.is_object()) return std::nullopt;
    out.push_back(element.dump());
  }
  return out;
}

// The project named by the first event of a body, for the arrival line.
std::string projectOf(const std::vector<std::string>& objects) {
  if (objects.empty()) return "";
  ordered_json first = ordered_json::parse(objects.front(), nullptr, false);
  if (first.is_object() && first.contains("projectName") && first["projectName"].is_string())
    return first["projectName"].get<std::string>();
  return "";
}

// A table cell: on one line, at most n bytes.
std::string cut(std::string s, std::size_t n) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return s.size() > n ? s.substr(0, n - 3) + "..." : s;
}

// An OTLP AnyValue as the collector keeps it: a string as it is, anything else as its JSON.
std::string anyValueText(const ordered_json& v) {
  if (v.is_object() && v.size() == 1 && v.contains("stringValue") && v["stringValue"].is_string())
    return v["stringValue"].get<std::string>();
  return v.dump();
}

// A KeyValue list as one JSON object of key to value; none when it is not a list of KeyValues.
std::optional<std::string> attributeObject(const ordered_json& list) {
  ordered_json out = ordered_json::object();
  if (list.is_null()) return out.dump();
  if (!list.is_array()) return std::nullopt;
  for (const auto& kv : list) {
    if (!kv.is_object() || !kv.contains("key") || !kv["key"].is_string()) return std::nullopt;
    const std::string key = kv["key"].get<std::string>();
    if (!kv.contains("value")) {
      out[key] = nullptr;
    } else if (kv["value"].is_object() && kv["value"].contains("stringValue")) {
      out[key] = anyValueText(kv["value"]);
    } else {
      out[key] = kv["value"];
    }
  }
  return out.dump();
}

ordered_json memberOf(const ordered_json& o, const char* key) {
  return o.is_object() && o.contains(key) ? o[key] : ordered_json();
}

// The log records of an ExportLogsServiceRequest (JSON encoding), flattened; none when the
// body is not one.
std::optional<std::vector<StoredLogRecord>> otlpRecords(const std::string& body) {
  ordered_json doc = ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  const ordered_json resources = memberOf(doc, "resourceLogs");
  if (!resources.is_array() && !resources.is_null()) return std::nullopt;
  std::vector<StoredLogRecord> out;
  for (const auto& rl : resources.is_array() ? resources : ordered_json::array()) {
    std::optional<std::string> resource =
        attributeObject(memberOf(memberOf(rl, "resource"), "attributes"));
    const ordered_json scopes = memberOf(rl, "scopeLogs");
    if (!resource || !rl.is_object() || (!scopes.is_array() && !scopes.is_null()))
      return std::nullopt;
    for (const auto& sl : scopes.is_array() ? scopes : ordered_json::array()) {
      const ordered_json records = memberOf(sl, "logRecords");
      if (!records.is_array() && !records.is_null()) return std::nullopt;
      const ordered_json scopeName = memberOf(memberOf(sl, "scope"), "name");
      for (const auto& lr : records.is_array() ? records : ordered_json::array()) {
        if (!lr.is_object()) return std::nullopt;
        std::optional<std::string> attributes = attributeObject(memberOf(lr, "attributes"));
        if (!attributes) return std::nullopt;
        StoredLogRecord rec;
        rec.position = static_cast<std::int64_t>(out.size());
        rec.resource = *resource;
        rec.scope = scopeName.is_string() ? scopeName.get<std::string>() : "";
        const ordered_json time = memberOf(lr, "timeUnixNano");
        rec.timeUnixNano = time.is_string() ? time.get<std::string>()
                           : time.is_null() ? ""
                                            : time.dump();
        const ordered_json severity = memberOf(lr, "severityNumber");
        rec.severityNumber = severity.is_number_integer() ? severity.get<std::int64_t>() : 0;
        const ordered_json text = memberOf(lr, "severityText");
        rec.severityText = text.is_string() ? text.get<std::string>() : "";
        const ordered_json value = memberOf(lr, "body");
        rec.body = value.is_null() ? "" : anyValueText(value);
        rec.attributes = *attributes;
        out.push_back(std::move(rec));
      }
    }
  }
  return out;
}

// A thin owner of one SQLite connection. Not thread-safe: the collector serialises use.
class Database {
 public:
  ~Database() {
    if (db_) sqlite3_close(db_);
  }

  bool open(const std::string& path, bool readOnly, std::string* error) {
    const std::string name = path.empty() ? ":memory:" : path;
    int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      if (error) *error = "cannot open " + name + ": " + sqlite3_errmsg(db_);
      return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    if (readOnly) return true;
    // WAL lets a reader (the --dump run, the sqlite3 CLI) look while the server writes.
    return exec("PRAGMA journal_mode=WAL", error) && exec("PRAGMA synchronous=NORMAL", error) &&
           exec(
               "CREATE TABLE IF NOT EXISTS requests("
               " id INTEGER PRIMARY KEY, received_at_ms INTEGER NOT NULL, method TEXT NOT NULL,"
               " path TEXT NOT NULL, remote TEXT, status INTEGER NOT NULL,"
               " event_count INTEGER NOT NULL DEFAULT 0, rejected INTEGER NOT NULL DEFAULT 0,"
               " raw_body BLOB);"
               "CREATE TABLE IF NOT EXISTS events("
               " id INTEGER PRIMARY KEY, request_id INTEGER NOT NULL REFERENCES requests(id),"
               " received_at_ms INTEGER NOT NULL, position INTEGER NOT NULL, json TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS log_records("
               " id INTEGER PRIMARY KEY, request_id INTEGER NOT NULL REFERENCES requests(id),"
               " received_at_ms INTEGER NOT NULL, position INTEGER NOT NULL,"
               " resource TEXT NOT NULL, scope TEXT NOT NULL, time_unix_nano TEXT NOT NULL,"
               " severity_number INTEGER NOT NULL, severity_text TEXT NOT NULL,"
               " body TEXT NOT NULL, attributes TEXT NOT NULL);",
               error);
  }

  bool exec(const char* sql, std::string* error = nullptr) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
      if (error) *error = msg ? msg : "sqlite error";
      sqlite3_free(msg);
      return false;
    }
    return true;
  }

  // A prepared statement that finalises itself.
  class Statement {
   public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, const std::string& v) {
      sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(int i, const std::string& v) {
      sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    bool step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
    // Makes the statement ready to run again with new bindings.
    void reset() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
    bool run() {
      int rc = sqlite3_step(stmt_);
      return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    std::int64_t integer(int col) { return sqlite3_column_int64(stmt_, col); }
    bool isNull(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text(int col) {
      const void* p = sqlite3_column_blob(stmt_, col);
      int n = sqlite3_column_bytes(stmt_, col);
      return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : "";
    }

   private:
    sqlite3_stmt* stmt_ = nullptr;
  };

  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

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
  void handleLog(const httplib::Request& req, httplib::Response& res, StoredRequest& r);
  void handleOtlp(const httplib::Request& req, httplib::Response& res, StoredRequest& r);
  // Stores a log body that is refused, raw, with its line.
  void reject(const httplib::Request& req, StoredRequest& r, const std::string& why);
  void handleAdmin(const httplib::Request& req, httplib::Response& res);
};

void DevCollector::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  static const std::regex kSettings(R"(^/v2/([^/]+)/logsconf$)");
  StoredRequest r;
  r.receivedAtMs = nowMs();
  r.method = req.method;
  r.path = req.target;
  const std::string& path = req.path;

  if (req.method == "POST" && path == "/v2/log") {
    handleLog(req, res, r);
    return;
  }
  if (req.method == "POST" && path == "/v1/logs") {
    handleOtlp(req, res, r);
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

void DevCollector::Impl::handleLog(const httplib::Request& req, httplib::Response& res,
                                   StoredRequest& r) {
  std::optional<std::vector<std::string>> objects = eventObjects(req.body);
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

void DevCollector::Impl::handleOtlp(const httplib::Request& req, httplib::Response& res,
                                    StoredRequest& r) {
  std::optional<std::vector<StoredLogRecord>> records = otlpRecords(req.body);
  if (!records) {
    reject(req, r, "not an OTLP logs request");
    res.status = 400;
    res.set_content(R"({"code":3,"message":"not an ExportLogsServiceRequest"})",
                    "application/json");
    return;
  }
  const Answer a = answerFor(true);
  r.answeredStatus = a.status;
  const std::int64_t id = store(r, {}, req.remote_addr, *records);
  announce(clockText(r.receivedAtMs) + " POST /v1/logs #" + std::to_string(id) + ": " +
           std::to_string(records->size()) + " log records -> " + std::to_string(a.status));
  delay(a.delay);
  res.status = a.status;
  res.set_content("{}", "application/json");  // an ExportLogsServiceResponse: all accepted
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

namespace {

// The OTLP log records as a second table; nothing for a database made before they were kept.
void dumpLogRecords(Database& db, std::string& out) {
  Database::Statement q(db.handle(),
                        "SELECT l.id, l.request_id, l.received_at_ms, l.position, r.status,"
                        " l.resource, l.severity_text, l.body, l.attributes FROM log_records l"
                        " JOIN requests r ON r.id = l.request_id ORDER BY l.id");
  if (!q.ok()) return;
  char line[1024];
  std::snprintf(line, sizeof line,
                "\nOTLP log records\n%-4s %-4s %-12s %-3s %-4s %-8s %-5s %-36s %s\n", "id", "req",
                "arrived", "idx", "http", "service", "sev", "body", "attributes");
  out += line;
  std::size_t rows = 0;
  while (q.step()) {
    ordered_json resource = ordered_json::parse(q.text(5), nullptr, false);
    const std::string service = resource.is_object() && resource.contains("service.name") &&
                                        resource["service.name"].is_string()
                                    ? resource["service.name"].get<std::string>()
                                    : "";
    std::snprintf(line, sizeof line, "%-4lld %-4lld %-12s %-3lld %-4lld %-8s %-5s %-36s %s\n",
                  static_cast<long long>(q.integer(0)), static_cast<long long>(q.integer(1)),
                  clockText(q.integer(2)).c_str(), static_cast<long long>(q.integer(3)),
                  static_cast<long long>(q.integer(4)), cut(service, 8).c_str(),
                  cut(q.text(6), 5).c_str(), cut(q.text(7), 36).c_str(),
                  cut(q.text(8), 120).c_str());
    out += line;
    ++rows;
  }
  out += std::to_string(rows) + " log records\n";
}

}  // namespace

bool dumpDatabase(const std::string& databasePath, std::string& out, std::string* error) {
  Database db;
  if (!db.open(databasePath, true, error)) return false;
  Database::Statement q(db.handle(),
                        "SELECT e.id, e.request_id, e.received_at_ms, e.position, e.json,"
                        " r.status FROM events e JOIN requests r ON r.id = e.request_id"
                        " ORDER BY e.id");
  if (!q.ok()) {
    if (error)
      *error = std::string("cannot read ") + databasePath + ": " + sqlite3_errmsg(db.handle());
    return false;
  }
  auto field = [](const ordered_json& o, const char* key) -> std::string {
    if (!o.is_object() || !o.contains(key)) return "";
    const auto& v = o[key];
    return v.is_string() ? v.get<std::string>() : v.dump();
  };
  // What tells an event apart beyond its type: a probe's result, an error code, a
  // session's id.
  auto detail = [&](const ordered_json& o) {
    std::string d;
    const std::string type = field(o, "logType");
    if (type == "NETWORKPULSES") {
      d = "Status=" + field(o, "Status") + " Latency=" + field(o, "Latency") +
          "ms Url=" + field(o, "Url");
    } else if (!field(o, "errorCode").empty()) {
      d = "errorCode=" + field(o, "errorCode");
    } else if (type == "SESSION") {
      d = "SessionID=" + field(o, "SessionID").substr(0, 8) + "...";
    }
    return d;
  };
  char line[1024];
  std::snprintf(line, sizeof line, "%-4s %-4s %-12s %-3s %-4s %-8s %-13s %-5s %-36s %s\n", "id",
                "req", "arrived", "idx", "http", "project", "logType", "level", "body", "detail");
  out += line;
  std::size_t rows = 0;
  while (q.step()) {
    ordered_json o = ordered_json::parse(q.text(4), nullptr, false);
    std::snprintf(line, sizeof line, "%-4lld %-4lld %-12s %-3lld %-4lld %-8s %-13s %-5s %-36s %s\n",
                  static_cast<long long>(q.integer(0)), static_cast<long long>(q.integer(1)),
                  clockText(q.integer(2)).c_str(), static_cast<long long>(q.integer(3)),
                  static_cast<long long>(q.integer(5)), cut(field(o, "projectName"), 8).c_str(),
                  cut(field(o, "logType"), 13).c_str(), cut(field(o, "logLevel"), 5).c_str(),
                  cut(field(o, "body"), 36).c_str(), cut(detail(o), 80).c_str());
    out += line;
    ++rows;
  }
  out += std::to_string(rows) + " events\n";
  dumpLogRecords(db, out);
  return true;
}

}  // namespace zeplog::tools
