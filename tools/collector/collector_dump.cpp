// The --dump table of a collector's database.
#include <cstdio>
#include <string>

#include "collector_database.hpp"
#include "collector_text.hpp"
#include "dev_collector.hpp"

namespace zeplog::tools {
using namespace detail;

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
