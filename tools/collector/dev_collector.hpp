// The development collector: a small local stand-in for the log-collection service.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zeplog::tools {

// How one route answers: the status to send and how long to wait before sending it.
struct Answer {
  int status = 200;
  std::chrono::milliseconds delay{0};
};

struct CollectorOptions {
  // Listening address. Loopback unless the user names another one on purpose.
  std::string host = "127.0.0.1";
  // 0 picks a free port; port() tells which after start().
  int port = 0;
  // SQLite file that keeps every request and event; "" keeps them in memory only.
  std::string databasePath;
  // File whose text is the settings answer's body; "" (or a missing file) serves the
  // built-in answer with every switch on. Read afresh for every settings request.
  std::string settingsPath;
  // How long an idle kept-alive connection stays open. stop() ends such connections at
  // once, so it does not wait for this.
  int keepAliveSeconds = 5;
  Answer logAnswer;       // POST /v2/log and POST /v1/logs
  Answer settingsAnswer;  // GET /v2/<project>/logsconf
  // Folder where each uploaded minidump is also written as "<id>-<file name>"; "" keeps them
  // in the database only.
  std::string minidumpDir;
  // Receives one line per request as it arrives (for the console); empty: silent.
  std::function<void(const std::string& line)> arrivalSink;
};

// One request as it was stored.
struct StoredRequest {
  std::int64_t id = 0;
  std::int64_t receivedAtMs = 0;
  std::string method;
  std::string path;  // with the query, as requested
  int answeredStatus = 0;
  std::int64_t eventCount = 0;
  bool rejected = false;               // a log body that was not a JSON array of objects
  std::optional<std::string> rawBody;  // kept for rejected bodies only
};

// One log record of an accepted OTLP/HTTP logs request, flattened: each attribute list as a
// JSON object of key to value (a stringValue as a string, any other AnyValue as its JSON).
struct StoredLogRecord {
  std::int64_t id = 0;
  std::int64_t requestId = 0;
  std::int64_t receivedAtMs = 0;
  std::int64_t position = 0;        // index of the record within its request
  std::string resource;             // the resource's attributes, a JSON object
  std::string scope;                // the scope's name
  std::string timeUnixNano;         // "" when absent
  std::int64_t severityNumber = 0;  // 0 when absent
  std::string severityText;
  std::string body;        // the body's stringValue, or the body's JSON for another value
  std::string attributes;  // the record's attributes, a JSON object
};

// One minidump upload: its file and its other form fields.
struct StoredMinidump {
  std::int64_t id = 0;
  std::int64_t requestId = 0;
  std::int64_t receivedAtMs = 0;
  std::string fileName;  // as the upload named it
  std::string fields;    // the other parts, a JSON object of name to text
  std::string file;      // the minidump's bytes
};

// One event object of an accepted log body.
struct StoredEvent {
  std::int64_t id = 0;
  std::int64_t requestId = 0;
  std::int64_t receivedAtMs = 0;
  std::int64_t position = 0;  // index of the object within its request's array
  std::string json;           // the object as JSON text, keys in their original order
};

// An HTTP server on cpp-httplib that stores what the library sends into SQLite.
//
//   POST /v2/log                 a JSON array of event objects: each object is stored with
//                                its arrival time and request id; any other body is answered
//                                400 and kept raw. Answered with the configured log answer.
//   POST /v1/logs                an OTLP/HTTP ExportLogsServiceRequest, JSON or protobuf (by
//                                its Content-Type): each log record is stored with its
//                                resource and attributes beside the events; a body that is
//                                not one is answered 400 and kept raw. Answered with the log
//                                answer, in the request's encoding.
// Both POST routes take bodies plain, gzip or zstd (Content-Encoding).
//   POST /v2/minidump            a multipart/form-data minidump upload: the file part
//                                "upload_file_minidump" is stored (and written to
//                                minidumpDir) with the other parts as fields; answered 200
//                                with the upload's id, or 400 without the file part.
//   GET  /v2/<project>/logsconf  the settings answer (see CollectorOptions::settingsPath).
//   GET  /probe/...              200, for latency probes.
//   POST /admin/config           changes answers at run time: query log_status,
//                                log_delay_ms, settings_status, settings_delay_ms.
//   PUT  /admin/settings         (or POST) replaces the settings body (an empty body restores the
//                                file or the built-in answer).
//   GET  /admin/stats            {"requests":n,"events":n,"rejected":n}
// Every request, known route or not, is stored in the requests table.
//
// Thread safety: all members may be called from any thread; the server answers on a pool
// of its own threads.
class DevCollector {
 public:
  explicit DevCollector(CollectorOptions options);
  ~DevCollector();  // stops the server
  DevCollector(const DevCollector&) = delete;
  DevCollector& operator=(const DevCollector&) = delete;

  // Opens the database, binds and starts serving on a thread of its own. False with the
  // reason in *error when the database can't be opened or the address can't be bound.
  bool start(std::string* error = nullptr);
  // Stops serving; waits for the server thread. Delayed answers are cut short.
  void stop();
  // The bound port, 0 before start().
  int port() const;
  // "http://host:port" of the running server.
  std::string baseUrl() const;

  void setLogAnswer(Answer answer);
  void setSettingsAnswer(Answer answer);
  // Serves text as the settings body from now on; nullopt goes back to the file/built-in one.
  void setSettingsBody(std::optional<std::string> text);

  std::vector<StoredRequest> requests() const;
  std::vector<StoredEvent> events() const;
  std::vector<StoredLogRecord> logRecords() const;
  std::vector<StoredMinidump> minidumps() const;
  // Waits until at least n events (requests whose path starts with pathPrefix) are stored,
  // or the bound passes; true when they are there.
  bool waitForEvents(std::size_t n, std::chrono::milliseconds bound) const;
  bool waitForRequests(const std::string& pathPrefix, std::size_t n,
                       std::chrono::milliseconds bound) const;

  // The settings body served when no file or override names one: every switch on.
  static std::string defaultSettingsBody();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Ends every connection this process accepted on a loopback port, at once: a cpp-httplib
// server that stops otherwise waits for each idle kept-alive connection to time out. Call it
// after the server's stop(), before joining its thread.
void closeAcceptedConnections(int port);

// Prints the events and the OTLP log records stored in a collector database as tables;
// false with the reason when the file can't be read.
bool dumpDatabase(const std::string& databasePath, std::string& out, std::string* error);

}  // namespace zeplog::tools
