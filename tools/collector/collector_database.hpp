// The development collector's SQLite file: one owner of a connection.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace zeplog::tools::detail {

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
               " body TEXT NOT NULL, attributes TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS minidumps("
               " id INTEGER PRIMARY KEY, request_id INTEGER NOT NULL REFERENCES requests(id),"
               " received_at_ms INTEGER NOT NULL, file_name TEXT NOT NULL,"
               " fields TEXT NOT NULL, file BLOB NOT NULL);",
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

}  // namespace zeplog::tools::detail
