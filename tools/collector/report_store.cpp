#include "report_store.h"

#include <sqlite3.h>

namespace collector {
namespace {

constexpr int kBusyTimeoutMs = 10000;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " received_utc TEXT NOT NULL,"
    " peer TEXT NOT NULL,"
    " path TEXT NOT NULL,"
    " ver BLOB,"
    " file_name BLOB NOT NULL,"
    " payload BLOB NOT NULL,"
    " log BLOB,"
    " state TEXT NOT NULL,"
    " note TEXT NOT NULL,"
    " http_status INTEGER NOT NULL)";

constexpr char kColumns[] =
    "id, received_utc, peer, path, ver, file_name, length(payload), log, state, note, "
    "http_status";

// Finalises on every path out of a function.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) {
    return std::string();
  }
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

// The bound strings outlive the statement's step, so SQLite need not copy them (SQLITE_STATIC).
void BindBytes(sqlite3_stmt* stmt, int index, const std::string& bytes) {
  // An empty blob must stay a blob and not turn into NULL.
  sqlite3_bind_blob64(stmt, index, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_STATIC);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void ReadRow(sqlite3_stmt* stmt, StoredReport& out) {
  out.id = sqlite3_column_int64(stmt, 0);
  out.receivedUtc = ColumnBytes(stmt, 1);
  out.peer = ColumnBytes(stmt, 2);
  out.path = ColumnBytes(stmt, 3);
  out.hasVer = sqlite3_column_type(stmt, 4) != SQLITE_NULL;
  out.ver = ColumnBytes(stmt, 4);
  out.fileName = ColumnBytes(stmt, 5);
  out.payloadSize = static_cast<uint64_t>(sqlite3_column_int64(stmt, 6));
  out.hasLog = sqlite3_column_type(stmt, 7) != SQLITE_NULL;
  out.log = ColumnBytes(stmt, 7);
  out.state = ColumnBytes(stmt, 8);
  out.note = ColumnBytes(stmt, 9);
  out.httpStatus = sqlite3_column_int(stmt, 10);
}

}  // namespace

ReportStore::~ReportStore() { Close(); }

bool ReportStore::Open(const std::string& path, bool forWriting, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  int flags = forWriting ? (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : SQLITE_OPEN_READONLY;
  flags |= SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // WAL lets list/show read while the server writes; FULL makes each acknowledged report
  // durable before the answer goes out.
  bool ok = true;
  if (forWriting) {
    ok = Exec("PRAGMA journal_mode=WAL", error) && Exec("PRAGMA synchronous=FULL", error) &&
         Exec(kSchema, error);
  } else {
    // Touch the table now so that a file that is not one of our databases fails here.
    Statement probe(db_, "SELECT count(*) FROM reports");
    if (!probe.ok()) {
      error = sqlite3_errmsg(db_);
      ok = false;
    }
  }
  if (!ok) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  return ok;
}

void ReportStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

bool ReportStore::Exec(const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  return true;
}

int64_t ReportStore::Insert(const StoredReport& report, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) {
    error = "database not open";
    return 0;
  }
  Statement insert(db_,
                   "INSERT INTO reports (received_utc, peer, path, ver, file_name, payload, log,"
                   " state, note, http_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!insert.ok()) {
    error = sqlite3_errmsg(db_);
    return 0;
  }
  sqlite3_stmt* stmt = insert.get();
  BindText(stmt, 1, report.receivedUtc);
  BindText(stmt, 2, report.peer);
  BindText(stmt, 3, report.path);
  if (report.hasVer) {
    BindBytes(stmt, 4, report.ver);
  }
  BindBytes(stmt, 5, report.fileName);
  BindBytes(stmt, 6, report.payload);
  if (report.hasLog) {
    BindBytes(stmt, 7, report.log);
  }
  BindText(stmt, 8, report.state);
  BindText(stmt, 9, report.note);
  sqlite3_bind_int(stmt, 10, report.httpStatus);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

bool ReportStore::List(std::vector<StoredReport>& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(db_, (std::string("SELECT ") + kColumns + " FROM reports ORDER BY id").c_str());
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
    out.emplace_back();
    ReadRow(query.get(), out.back());
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool ReportStore::Get(int64_t id, StoredReport& out, bool& found, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  found = false;
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(
      db_, (std::string("SELECT ") + kColumns + ", payload FROM reports WHERE id = ?").c_str());
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_bind_int64(query.get(), 1, id);
  int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) {
    ReadRow(query.get(), out);
    out.payload = ColumnBytes(query.get(), 11);
    found = true;
    return true;
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

}  // namespace collector
