#include "store/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <string>

namespace collector {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// PRAGMA user_version: 1 reports only, 2 with stacks and symbols, 3 with the read model (crash
// entries, groups and their counters, symbolizer results), 4 with symbol files of three kinds
// (DWARF, images, PDBs), 5 with group statuses. Files made before versions were recorded read 0
// and are recognised by their columns.
constexpr int kSchemaVersion = 5;

// Readers each get a connection of their own; WAL lets them read while the writer commits.
constexpr size_t kMaxIdleReaders = 8;

// The read model: small rows that every list, group page and chart reads through indexes, so
// they never touch the reports' payloads. Kept in the same transaction as the reports.
constexpr char kReadModelSchema[] =
    "CREATE TABLE IF NOT EXISTS crashes ("
    " id INTEGER PRIMARY KEY,"
    " group_id INTEGER NOT NULL,"
    " received_utc TEXT NOT NULL,"
    " hour INTEGER NOT NULL,"
    " has_ver INTEGER NOT NULL,"
    " ver TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " state TEXT NOT NULL,"
    " frame_refs TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS crashes_by_group ON crashes (group_id, id);"
    "CREATE TABLE IF NOT EXISTS crash_groups ("
    " id INTEGER PRIMARY KEY,"
    " group_key TEXT NOT NULL UNIQUE,"
    " program TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " top_frames TEXT NOT NULL,"
    " count INTEGER NOT NULL,"
    " first_seen TEXT NOT NULL,"
    " last_seen TEXT NOT NULL,"
    " status TEXT NOT NULL DEFAULT 'open',"
    " resolved_in TEXT NOT NULL DEFAULT '',"
    " regressed INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS groups_by_count ON crash_groups (count DESC, id);"
    "CREATE INDEX IF NOT EXISTS groups_by_program ON crash_groups (program, count DESC, id);"
    "CREATE TABLE IF NOT EXISTS group_versions ("
    " group_id INTEGER NOT NULL,"
    " ver TEXT NOT NULL,"
    " count INTEGER NOT NULL,"
    " first_id INTEGER NOT NULL,"
    " first_seen TEXT NOT NULL,"
    " last_seen TEXT NOT NULL,"
    " PRIMARY KEY (group_id, ver));"
    "CREATE INDEX IF NOT EXISTS versions_by_count ON group_versions (ver, count DESC, group_id);"
    "CREATE TABLE IF NOT EXISTS group_hours ("
    " group_id INTEGER NOT NULL,"
    " ver TEXT NOT NULL,"
    " hour INTEGER NOT NULL,"
    " count INTEGER NOT NULL,"
    " PRIMARY KEY (group_id, ver, hour));"
    // The chart's counts, by hour first: a week of them is a few thousand rows whatever the
    // number of reports or groups.
    "CREATE TABLE IF NOT EXISTS chart_hours ("
    " hour INTEGER NOT NULL,"
    " ver TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " count INTEGER NOT NULL,"
    " PRIMARY KEY (hour, ver, program)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS frame_symbols ("
    " symbol_id INTEGER NOT NULL,"
    " address INTEGER NOT NULL,"
    " function TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " line INTEGER NOT NULL,"
    " PRIMARY KEY (symbol_id, address))";

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

// Symbol files live in the database too, so a collector is one file to back up or move. A
// file's key is its kind with the module's identity: a stripped image and the debug file made
// from the same build are both kept.
#define VEXO_SYMBOL_COLUMNS                 \
  " id INTEGER PRIMARY KEY AUTOINCREMENT," \
  " module TEXT NOT NULL,"                 \
  " timestamp INTEGER NOT NULL,"           \
  " debug_id TEXT NOT NULL,"               \
  " size_of_image INTEGER NOT NULL,"       \
  " image_base INTEGER NOT NULL,"          \
  " file_name BLOB NOT NULL,"              \
  " added_utc TEXT NOT NULL,"              \
  " bytes BLOB NOT NULL,"                  \
  " kind TEXT NOT NULL,"                   \
  " loadable INTEGER NOT NULL,"            \
  " UNIQUE (module, timestamp, debug_id, kind))"
constexpr char kSymbolSchema[] = "CREATE TABLE IF NOT EXISTS symbols (" VEXO_SYMBOL_COLUMNS;
// Symbol tables from before the kinds: every file in them has DWARF ("debug").
constexpr char kSymbolKindsUpgrade[] =
    "CREATE TABLE symbols_kinds (" VEXO_SYMBOL_COLUMNS
    ";"
    "INSERT INTO symbols_kinds (id, module, timestamp, debug_id, size_of_image, image_base,"
    " file_name, added_utc, bytes, kind, loadable) SELECT id, module, timestamp, debug_id,"
    " size_of_image, image_base, file_name, added_utc, bytes, 'debug', 0 FROM symbols;"
    "DROP TABLE symbols;"
    "ALTER TABLE symbols_kinds RENAME TO symbols";
#undef VEXO_SYMBOL_COLUMNS
// Images are looked up by TimeDateStamp and SizeOfImage (a symbol server's key), PDBs by id.
constexpr char kSymbolIndexes[] =
    "CREATE INDEX IF NOT EXISTS symbols_by_size ON symbols (module, timestamp, size_of_image);"
    "CREATE INDEX IF NOT EXISTS symbols_by_debug_id ON symbols (debug_id)";
constexpr char kSymbolColumns[] =
    "id, module, timestamp, debug_id, size_of_image, image_base, file_name, added_utc, kind,"
    " loadable";
constexpr int kSymbolBytesColumn = 10;

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
int BindBytes(sqlite3_stmt* stmt, int index, const std::string& bytes) {
  // An empty blob must stay a blob and not turn into NULL.
  return sqlite3_bind_blob64(stmt, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                             SQLITE_STATIC);
}

int BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  return sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
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
  out.kind = ColumnBytes(stmt, 8);
  out.loadable = sqlite3_column_int(stmt, 9) != 0;
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

class SqliteRow : public SqlRow {
 public:
  explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
  bool IsNull(int column) const override {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
  }
  int64_t Int(int column) const override { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const override { return ColumnBytes(stmt_, column); }

 private:
  sqlite3_stmt* stmt_;
};

bool HasTable(sqlite3* db, const char* table) {
  Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  if (!query.ok()) {
    return false;
  }
  sqlite3_bind_text(query.get(), 1, table, -1, SQLITE_STATIC);
  return sqlite3_step(query.get()) == SQLITE_ROW;
}

}  // namespace

// Runs the read model's SQL on one connection. Statements are prepared once per connection and
// kept, since ingest runs the same few for every batch.
class SqliteSession : public SqlSession {
 public:
  // owned: the session closes the connection when it goes (a reader's own connection).
  explicit SqliteSession(sqlite3* db, bool owned = false) : db_(db), owned_(owned) {}
  ~SqliteSession() override {
    for (auto& entry : statements_) {
      sqlite3_finalize(entry.second);
    }
    if (owned_) {
      sqlite3_close(db_);
    }
  }
  SqliteSession(const SqliteSession&) = delete;
  SqliteSession& operator=(const SqliteSession&) = delete;

  sqlite3* db() const { return db_; }

  using SqlSession::Run;
  bool Run(const std::string& sql, const std::vector<SqlValue>& params, const RowHandler& onRow,
           std::string& error) override {
    sqlite3_stmt*& stmt = statements_[sql];
    if (stmt == nullptr && sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      statements_.erase(sql);
      return false;
    }
    // Parameters are named $1, $2, ...: bound by name, they may appear in any order.
    for (size_t i = 0; i < params.size(); ++i) {
      int index = sqlite3_bind_parameter_index(stmt, ("$" + std::to_string(i + 1)).c_str());
      if (index == 0) {
        continue;
      }
      const SqlValue& value = params[i];
      int rc = SQLITE_OK;
      if (value.kind == SqlValue::Kind::kInt) {
        rc = sqlite3_bind_int64(stmt, index, value.number);
      } else if (value.kind == SqlValue::Kind::kText) {
        rc = sqlite3_bind_text64(stmt, index, value.text.data(), value.text.size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
      } else {
        rc = sqlite3_bind_null(stmt, index);
      }
      if (rc != SQLITE_OK) {
        error = sqlite3_errstr(rc);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return false;
      }
    }
    int rc;
    SqliteRow row(stmt);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (onRow) {
        onRow(row);
      }
    }
    if (rc != SQLITE_DONE) {
      error = sqlite3_errmsg(db_);
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE;
  }

 private:
  sqlite3* db_;
  bool owned_;
  std::map<std::string, sqlite3_stmt*> statements_;
};

SqliteReportStore::SqliteReportStore() = default;

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
  path_ = path;
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // WAL lets list/show read while the server writes; FULL makes each acknowledged report
  // durable before the answer goes out.
  bool ok = true;
  if (forWriting) {
    // Only a new file can take incremental vacuum without rewriting it; pruning an older one
    // rewrites it once (see Prune).
    ok = (HasTable(db_, "reports") || Exec("PRAGMA auto_vacuum = INCREMENTAL", error)) &&
         Exec("PRAGMA journal_mode=WAL", error) && Exec("PRAGMA synchronous=FULL", error) &&
         Exec(kSchema, error) && Migrate(error);
    if (ok) {
      writer_ = std::make_unique<SqliteSession>(db_);
    }
  } else {
    // Touch the table now so that a file that is not one of our databases fails here.
    Statement probe(db_, "SELECT count(*) FROM reports");
    if (!probe.ok()) {
      error = sqlite3_errmsg(db_);
      ok = false;
    } else if (!HasTable(db_, "crashes")) {
      error = std::string(kNeedsUpgrade) + ": it was written by an older collector";
      ok = false;
    }
    hasStackColumn_ = HasColumn(db_, "reports", "stack");
    hasSymbolTable_ = HasTable(db_, "symbols");
    if (ok && hasSymbolTable_ && !HasColumn(db_, "symbols", "kind")) {
      error = std::string(kNeedsUpgrade) + ": its symbol files have no kinds yet";
      ok = false;
    } else if (ok && !HasColumn(db_, "crash_groups", "status")) {
      error = std::string(kNeedsUpgrade) + ": its groups have no statuses yet";
      ok = false;
    }
  }
  if (!ok) {
    writer_.reset();
    sqlite3_close(db_);
    db_ = nullptr;
  }
  return ok;
}

void SqliteReportStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  writer_.reset();
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  std::lock_guard<std::mutex> readers(readersMutex_);
  idleReaders_.clear();
}

std::unique_ptr<SqliteSession> SqliteReportStore::TakeReader(std::string& error) {
  {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (!idleReaders_.empty()) {
      std::unique_ptr<SqliteSession> reader = std::move(idleReaders_.back());
      idleReaders_.pop_back();
      return reader;
    }
  }
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) {
      error = "database not open";
      return nullptr;
    }
    path = path_;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return std::make_unique<SqliteSession>(db, true);
}

void SqliteReportStore::GiveBack(std::unique_ptr<SqliteSession> reader) {
  std::lock_guard<std::mutex> lock(readersMutex_);
  if (idleReaders_.size() < kMaxIdleReaders) {
    idleReaders_.push_back(std::move(reader));
  }
}

bool SqliteReportStore::OnReader(std::string& error, const std::function<bool(sqlite3*)>& fn) {
  std::unique_ptr<SqliteSession> reader = TakeReader(error);
  if (reader == nullptr) {
    return false;
  }
  bool ok = fn(reader->db());
  GiveBack(std::move(reader));
  return ok;
}

bool SqliteReportStore::Read(const SessionTask& fn, std::string& error) {
  std::unique_ptr<SqliteSession> reader = TakeReader(error);
  if (reader == nullptr) {
    return false;
  }
  // One read transaction, so a task's several queries see one state of the store.
  bool ok = reader->Run("BEGIN", {}, error);
  ok = ok && fn(*reader, error);
  std::string ignored;
  reader->Run("COMMIT", {}, ignored);
  GiveBack(std::move(reader));
  return ok;
}

bool SqliteReportStore::Write(const SessionTask& fn, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writer_ == nullptr) {
    error = "database not open for writing";
    return false;
  }
  if (!Exec("BEGIN IMMEDIATE", error)) {
    return false;
  }
  if (!fn(*writer_, error) || !Exec("COMMIT", error)) {
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  }
  return true;
}

bool SqliteReportStore::Prune(const std::string& beforeUtc, uint64_t& removed, std::string& error) {
  removed = 0;
  bool ok = Write(
      [&](SqlSession& session, std::string& failure) {
        if (!session.Run("DELETE FROM reports WHERE id IN (SELECT id FROM crashes WHERE"
                         " received_utc < $1)",
                         {SqlValue::Text(beforeUtc)}, failure)) {
          return false;
        }
        removed = static_cast<uint64_t>(sqlite3_changes(db_));
        return true;
      },
      error);
  if (!ok) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  int mode = 0;
  {
    Statement query(db_, "PRAGMA auto_vacuum");
    if (query.ok() && sqlite3_step(query.get()) == SQLITE_ROW) {
      mode = sqlite3_column_int(query.get(), 0);
    }
  }
  // 2 is incremental. A file from before it needs one full rewrite to switch; after that each
  // prune gives its pages back cheaply.
  if (mode != 2) {
    return Exec("PRAGMA auto_vacuum = INCREMENTAL", error) && Exec("VACUUM", error);
  }
  return Exec("PRAGMA incremental_vacuum", error) && Exec("PRAGMA wal_checkpoint(TRUNCATE)", error);
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
  // Reports stored before the read model existed get their entries from BackfillCrashEntries,
  // up to the id noted here; every later report gets its entry as it is stored.
  if (!Exec(kSymbolSchema, error) ||
      (!HasColumn(db_, "symbols", "kind") &&
       !Exec((std::string("BEGIN IMMEDIATE;") + kSymbolKindsUpgrade + ";COMMIT").c_str(),
             error)) ||
      !Exec(kSymbolIndexes, error) || !Exec(kReadModelSchema, error) ||
      // A group is open, resolved (in a version, or "" for any) or ignored; regressed marks a
      // resolved group that came back, listed first.
      (!HasColumn(db_, "crash_groups", "status") &&
       !Exec("BEGIN IMMEDIATE; ALTER TABLE crash_groups ADD COLUMN status TEXT NOT NULL DEFAULT"
             " 'open'; ALTER TABLE crash_groups ADD COLUMN resolved_in TEXT NOT NULL DEFAULT '';"
             " ALTER TABLE crash_groups ADD COLUMN regressed INTEGER NOT NULL DEFAULT 0; COMMIT",
             error)) ||
      !Exec("CREATE INDEX IF NOT EXISTS groups_by_regressed ON crash_groups (regressed DESC,"
            " count DESC, id); CREATE INDEX IF NOT EXISTS groups_by_status ON crash_groups"
            " (status, regressed DESC, count DESC, id)",
            error) ||
      (!HasTable(db_, "backfill_state") &&
       !Exec("BEGIN IMMEDIATE; CREATE TABLE backfill_state (upto INTEGER NOT NULL);"
             " INSERT INTO backfill_state SELECT coalesce(max(id), 0) FROM reports; COMMIT",
             error))) {
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

bool SqliteReportStore::StoreBatch(const std::vector<const StoredReport*>& reports,
                                   std::vector<int64_t>& ids, std::vector<std::string>& errors,
                                   std::string& error, const BatchTask& alongside) {
  std::lock_guard<std::mutex> lock(mutex_);
  ids.assign(reports.size(), 0);
  errors.assign(reports.size(), std::string());
  if (db_ == nullptr || writer_ == nullptr) {
    error = "database not open for writing";
    ids.clear();
    return false;
  }
  if (!Exec("BEGIN IMMEDIATE", error)) {
    ids.clear();
    return false;
  }
  // Each report in a savepoint of its own, so one the database refuses costs only itself.
  for (size_t i = 0; i < reports.size(); ++i) {
    std::string ignored;
    if (!Exec("SAVEPOINT report", errors[i])) {
      continue;
    }
    ids[i] = InsertLocked(*reports[i], errors[i]);
    if (ids[i] == 0) {
      Exec("ROLLBACK TO report", ignored);
    }
    Exec("RELEASE report", ignored);
  }
  if (std::count(ids.begin(), ids.end(), 0) == static_cast<std::ptrdiff_t>(ids.size())) {
    std::string ignored;
    Exec("ROLLBACK", ignored);
    error = errors.empty() ? "empty batch" : errors.front();
    ids.clear();
    return false;
  }
  if ((alongside && !alongside(*writer_, ids, error)) || !Exec("COMMIT", error)) {
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
  // A value over SQLite's length limit is refused at the bind: the report is not stored.
  int rc = SQLITE_OK;
  auto check = [&rc](int bound) {
    if (rc == SQLITE_OK) {
      rc = bound;
    }
  };
  check(BindText(stmt, 1, report.receivedUtc));
  check(BindText(stmt, 2, report.peer));
  check(BindText(stmt, 3, report.path));
  if (report.hasVer) {
    check(BindBytes(stmt, 4, report.ver));
  }
  check(BindBytes(stmt, 5, report.fileName));
  check(BindBytes(stmt, 6, report.payload));
  if (report.hasLog) {
    check(BindBytes(stmt, 7, report.log));
  }
  check(BindText(stmt, 8, report.state));
  check(BindText(stmt, 9, report.note));
  check(sqlite3_bind_int(stmt, 10, report.httpStatus));
  if (report.hasStack) {
    check(BindBytes(stmt, 11, report.stack));
  }
  if (rc != SQLITE_OK) {
    error = std::string("cannot store the report: ") + sqlite3_errstr(rc);
    return 0;
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
  return OnReader(error, [&](sqlite3* db) {
    found = false;
    Statement query(db, (std::string("SELECT ") + kColumns + ", " + StackColumn() +
                         ", payload FROM reports WHERE id = ?")
                            .c_str());
    if (!query.ok()) {
      error = sqlite3_errmsg(db);
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
      error = sqlite3_errmsg(db);
      return false;
    }
    return true;
  });
}

bool SqliteReportStore::ReadRange(int64_t afterId, size_t limit, std::vector<StoredReport>& out,
                                  std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  if (db_ == nullptr) {
    error = "database not open";
    return false;
  }
  Statement query(db_, (std::string("SELECT ") + kColumns + ", " + StackColumn() +
                        ", payload FROM reports WHERE id > ? ORDER BY id LIMIT ?")
                           .c_str());
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_bind_int64(query.get(), 1, afterId);
  sqlite3_bind_int64(query.get(), 2, static_cast<sqlite3_int64>(limit));
  int rc;
  while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
    out.emplace_back();
    ReadRow(query.get(), out.back());
    out.back().payload = ColumnBytes(query.get(), kStackColumn + 1);
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

int64_t SqliteReportStore::AddSymbolFile(const SymbolFile& file, bool& alreadyStored,
                                         std::string& error) {
  alreadyStored = false;
  int64_t id = 0;
  bool ok = Write(
      [&](SqlSession&, std::string& failure) {
        if (!hasSymbolTable_) {
          failure = "database not open for writing";
          return false;
        }
        // The same bytes under the same key: nothing to do.
        Statement same(db_,
                       "SELECT id, bytes = ? FROM symbols WHERE module = ? AND timestamp = ? AND"
                       " debug_id = ? AND kind = ?");
        if (!same.ok()) {
          failure = sqlite3_errmsg(db_);
          return false;
        }
        BindBytes(same.get(), 1, file.bytes);
        BindText(same.get(), 2, file.module);
        sqlite3_bind_int64(same.get(), 3, file.timestamp);
        BindText(same.get(), 4, file.debugId);
        BindText(same.get(), 5, file.kind);
        int64_t replaced = 0;
        if (sqlite3_step(same.get()) == SQLITE_ROW) {
          if (sqlite3_column_int(same.get(), 1) != 0) {
            id = sqlite3_column_int64(same.get(), 0);
            alreadyStored = true;
            return true;
          }
          replaced = sqlite3_column_int64(same.get(), 0);
        }
        // Other bytes replace them; what the symbolizer made of the old ones goes with them.
        if (replaced != 0) {
          Statement drop(db_, "DELETE FROM symbols WHERE id = ?");
          Statement dropResults(db_, "DELETE FROM frame_symbols WHERE symbol_id = ?");
          if (!drop.ok() || !dropResults.ok()) {
            failure = sqlite3_errmsg(db_);
            return false;
          }
          sqlite3_bind_int64(drop.get(), 1, replaced);
          sqlite3_bind_int64(dropResults.get(), 1, replaced);
          if (sqlite3_step(drop.get()) != SQLITE_DONE ||
              sqlite3_step(dropResults.get()) != SQLITE_DONE) {
            failure = sqlite3_errmsg(db_);
            return false;
          }
        }
        Statement insert(db_,
                         "INSERT INTO symbols (module, timestamp, debug_id, size_of_image,"
                         " image_base, file_name, added_utc, bytes, kind, loadable) VALUES"
                         " (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        if (!insert.ok()) {
          failure = sqlite3_errmsg(db_);
          return false;
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
        BindText(stmt, 9, file.kind);
        sqlite3_bind_int(stmt, 10, file.loadable ? 1 : 0);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
          failure = sqlite3_errmsg(db_);
          return false;
        }
        id = sqlite3_last_insert_rowid(db_);
        return true;
      },
      error);
  return ok ? id : 0;
}

bool SqliteReportStore::FindSymbolFiles(const SymbolQuery& query, std::vector<SymbolFile>& out,
                                        std::string& error) {
  out.clear();
  return OnReader(error, [&](sqlite3* db) {
    if (!hasSymbolTable_) {
      return true;
    }
    std::string sql = std::string("SELECT ") + kSymbolColumns + " FROM symbols WHERE 1 = 1";
    if (!query.kind.empty()) sql += " AND kind = ?";
    if (query.loadable) sql += " AND loadable <> 0";
    if (!query.module.empty()) sql += " AND module = ?";
    if (query.byTimestamp) sql += " AND timestamp = ?";
    if (query.bySize) sql += " AND size_of_image = ?";
    if (query.byDebugId) sql += " AND debug_id = ?";
    sql += " ORDER BY kind = 'image' DESC, id DESC";
    Statement select(db, sql.c_str());
    if (!select.ok()) {
      error = sqlite3_errmsg(db);
      return false;
    }
    sqlite3_stmt* stmt = select.get();
    int index = 0;
    if (!query.kind.empty()) BindText(stmt, ++index, query.kind);
    if (!query.module.empty()) BindText(stmt, ++index, query.module);
    if (query.byTimestamp) sqlite3_bind_int64(stmt, ++index, query.timestamp);
    if (query.bySize) sqlite3_bind_int64(stmt, ++index, query.sizeOfImage);
    if (query.byDebugId) BindText(stmt, ++index, query.debugId);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      out.emplace_back();
      ReadSymbolRow(stmt, out.back());
    }
    if (rc != SQLITE_DONE) {
      error = sqlite3_errmsg(db);
      return false;
    }
    return true;
  });
}

bool SqliteReportStore::SymbolBytes(int64_t id, std::string& out, std::string& error) {
  return OnReader(error, [&](sqlite3* db) {
    Statement query(db, "SELECT bytes FROM symbols WHERE id = ?");
    if (!query.ok()) {
      error = sqlite3_errmsg(db);
      return false;
    }
    sqlite3_bind_int64(query.get(), 1, id);
    if (sqlite3_step(query.get()) != SQLITE_ROW) {
      error = "no symbol file " + std::to_string(id);
      return false;
    }
    out = ColumnBytes(query.get(), 0);
    return true;
  });
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
  Statement query(db_, (std::string("SELECT ") + kSymbolColumns + ", bytes FROM symbols ORDER BY id")
                           .c_str());
  if (!query.ok()) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_stmt* stmt = query.get();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    out.emplace_back();
    ReadSymbolRow(stmt, out.back());
    out.back().bytes = ColumnBytes(stmt, kSymbolBytesColumn);
  }
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

}  // namespace collector
