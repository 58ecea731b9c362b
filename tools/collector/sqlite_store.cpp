#include "sqlite_store.h"

#include <sqlite3.h>

#include <string>

namespace collector {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// PRAGMA user_version: 1 reports only, 2 with stacks and symbols. Files made before versions
// were recorded read 0 and are recognised by their columns.
constexpr int kSchemaVersion = 2;

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

// Symbol files live in the database too, so a collector is one file to back up or move.
constexpr char kSymbolSchema[] =
    "CREATE TABLE IF NOT EXISTS symbols ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " module TEXT NOT NULL,"
    " timestamp INTEGER NOT NULL,"
    " debug_id TEXT NOT NULL,"
    " size_of_image INTEGER NOT NULL,"
    " image_base INTEGER NOT NULL,"
    " file_name BLOB NOT NULL,"
    " added_utc TEXT NOT NULL,"
    " bytes BLOB NOT NULL,"
    " UNIQUE (module, timestamp, debug_id))";

constexpr char kColumns[] =
    "id, received_utc, peer, path, ver, file_name, length(payload), log, state, note, "
    "http_status";
constexpr int kStackColumn = 11;

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
  out.hasStack = sqlite3_column_type(stmt, kStackColumn) != SQLITE_NULL;
  out.stack = ColumnBytes(stmt, kStackColumn);
}

void ReadSymbolRow(sqlite3_stmt* stmt, SymbolFile& out) {
  out.id = sqlite3_column_int64(stmt, 0);
  out.module = ColumnBytes(stmt, 1);
  out.timestamp = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
  out.debugId = ColumnBytes(stmt, 3);
  out.sizeOfImage = static_cast<uint32_t>(sqlite3_column_int64(stmt, 4));
  out.imageBase = static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
  out.fileName = ColumnBytes(stmt, 6);
  out.addedUtc = ColumnBytes(stmt, 7);
}

bool HasColumn(sqlite3* db, const char* table, const char* column) {
  Statement info(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
  while (info.ok() && sqlite3_step(info.get()) == SQLITE_ROW) {
    if (ColumnBytes(info.get(), 1) == column) {
      return true;
    }
  }
  return false;
}

bool HasTable(sqlite3* db, const char* table) {
  Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  if (!query.ok()) {
    return false;
  }
  sqlite3_bind_text(query.get(), 1, table, -1, SQLITE_STATIC);
  return sqlite3_step(query.get()) == SQLITE_ROW;
}

}  // namespace

SqliteReportStore::~SqliteReportStore() { Close(); }

bool SqliteReportStore::Open(const std::string& path, bool forWriting, std::string& error) {
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
         Exec(kSchema, error) && Migrate(error);
  } else {
    // Touch the table now so that a file that is not one of our databases fails here.
    Statement probe(db_, "SELECT count(*) FROM reports");
    if (!probe.ok()) {
      error = sqlite3_errmsg(db_);
      ok = false;
    }
    hasStackColumn_ = HasColumn(db_, "reports", "stack");
    hasSymbolTable_ = HasTable(db_, "symbols");
  }
  if (!ok) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  return ok;
}

void SqliteReportStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

// Databases made before stacks and symbols get the new column and table; their reports keep
// everything and simply have no stack.
const char* SqliteReportStore::StackColumn() const { return hasStackColumn_ ? "stack" : "NULL"; }

bool SqliteReportStore::Migrate(std::string& error) {
  int version = 0;
  {
    Statement query(db_, "PRAGMA user_version");
    if (query.ok() && sqlite3_step(query.get()) == SQLITE_ROW) {
      version = sqlite3_column_int(query.get(), 0);
    }
  }
  // A newer collector's file may hold what this one would not keep up to date.
  if (version > kSchemaVersion) {
    error = "schema version " + std::to_string(version) + " is newer than this collector's (" +
            std::to_string(kSchemaVersion) + ")";
    return false;
  }
  if (!HasColumn(db_, "reports", "stack") &&
      !Exec("ALTER TABLE reports ADD COLUMN stack BLOB", error)) {
    return false;
  }
  hasStackColumn_ = true;
  if (!Exec(kSymbolSchema, error)) {
    return false;
  }
  hasSymbolTable_ = true;
  return version == kSchemaVersion ||
         Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(), error);
}

bool SqliteReportStore::Exec(const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  return true;
}

bool SqliteReportStore::InsertBatch(const std::vector<const StoredReport*>& reports,
                                    std::vector<int64_t>& ids, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  ids.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  if (!Exec("BEGIN IMMEDIATE", error)) {
    return false;
  }
  for (const StoredReport* report : reports) {
    int64_t id = InsertLocked(*report, error);
    if (id == 0) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      ids.clear();
      return false;
    }
    ids.push_back(id);
  }
  if (!Exec("COMMIT", error)) {
    std::string ignored;
    Exec("ROLLBACK", ignored);
    ids.clear();
    return false;
  }
  return true;
}

int64_t SqliteReportStore::InsertLocked(const StoredReport& report, std::string& error) {
  Statement insert(db_,
                   "INSERT INTO reports (received_utc, peer, path, ver, file_name, payload, log,"
                   " state, note, http_status, stack) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
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
  if (report.hasStack) {
    BindBytes(stmt, 11, report.stack);
  }
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

bool SqliteReportStore::List(std::vector<StoredReport>& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(
      db_, (std::string("SELECT ") + kColumns + ", " + StackColumn() + " FROM reports ORDER BY id")
               .c_str());
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

bool SqliteReportStore::Get(int64_t id, StoredReport& out, bool& found, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  found = false;
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(db_, (std::string("SELECT ") + kColumns + ", " + StackColumn() +
                        ", payload FROM reports WHERE id = ?")
                           .c_str());
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_bind_int64(query.get(), 1, id);
  int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) {
    ReadRow(query.get(), out);
    out.payload = ColumnBytes(query.get(), kStackColumn + 1);
    found = true;
    return true;
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

int64_t SqliteReportStore::AddSymbolFile(const SymbolFile& file, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || !hasSymbolTable_) {
    error = "database not open for writing";
    return 0;
  }
  Statement insert(db_,
                   "INSERT OR REPLACE INTO symbols (module, timestamp, debug_id, size_of_image,"
                   " image_base, file_name, added_utc, bytes) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  if (!insert.ok()) {
    error = sqlite3_errmsg(db_);
    return 0;
  }
  sqlite3_stmt* stmt = insert.get();
  BindText(stmt, 1, file.module);
  sqlite3_bind_int64(stmt, 2, file.timestamp);
  BindText(stmt, 3, file.debugId);
  sqlite3_bind_int64(stmt, 4, file.sizeOfImage);
  sqlite3_bind_int64(stmt, 5, static_cast<sqlite3_int64>(file.imageBase));
  BindBytes(stmt, 6, file.fileName);
  BindText(stmt, 7, file.addedUtc);
  BindBytes(stmt, 8, file.bytes);
  if (sqlite3_step(stmt) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

bool SqliteReportStore::FindSymbolFile(const std::string& module, uint32_t timestamp,
                                       const std::string& debugId, SymbolFile& out, bool& found,
                                       std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  found = false;
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  if (!hasSymbolTable_) {
    return true;
  }
  Statement query(db_,
                  "SELECT id, module, timestamp, debug_id, size_of_image, image_base, file_name,"
                  " added_utc FROM symbols WHERE module = ? AND timestamp = ? AND debug_id = ?");
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_stmt* stmt = query.get();
  BindText(stmt, 1, module);
  sqlite3_bind_int64(stmt, 2, timestamp);
  BindText(stmt, 3, debugId);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    ReadSymbolRow(stmt, out);
    found = true;
    return true;
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool SqliteReportStore::SymbolBytes(int64_t id, std::string& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(db_, "SELECT bytes FROM symbols WHERE id = ?");
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_bind_int64(query.get(), 1, id);
  if (sqlite3_step(query.get()) != SQLITE_ROW) {
    error = "no symbol file " + std::to_string(id);
    return false;
  }
  out = ColumnBytes(query.get(), 0);
  return true;
}

bool SqliteReportStore::ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  if (!hasSymbolTable_) {
    return true;
  }
  Statement query(db_,
                  "SELECT id, module, timestamp, debug_id, size_of_image, image_base, file_name,"
                  " added_utc, bytes FROM symbols ORDER BY id");
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_stmt* stmt = query.get();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    out.emplace_back();
    ReadSymbolRow(stmt, out.back());
    out.back().bytes = ColumnBytes(stmt, 8);
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool SqliteReportStore::ListIds(std::vector<int64_t>& out, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(db_, "SELECT id FROM reports ORDER BY id");
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
    out.push_back(sqlite3_column_int64(query.get(), 0));
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

}  // namespace collector
