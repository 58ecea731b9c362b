#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "store/report_store.h"

struct sqlite3;

namespace collector {

class SqliteSession;

// SQLite file store, the embedded default. One writing connection, serialised by a mutex, so
// the upload server's threads can insert concurrently, and a connection per concurrent reader:
// in WAL mode readers never wait for the writer nor it for them. The schema version is PRAGMA
// user_version.
class SqliteReportStore : public ReportStore {
 public:
  SqliteReportStore();
  ~SqliteReportStore() override;
  SqliteReportStore(const SqliteReportStore&) = delete;
  SqliteReportStore& operator=(const SqliteReportStore&) = delete;

  bool Open(const std::string& path, bool forWriting, std::string& error) override;
  void Close() override;
  bool StoreBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                  std::vector<std::string>& errors, std::string& error,
                  const BatchTask& alongside) override;
  bool Read(const SessionTask& fn, std::string& error) override;
  bool Write(const SessionTask& fn, std::string& error) override;
  bool Prune(const std::string& beforeUtc, uint64_t& removed, std::string& error) override;
  bool List(std::vector<StoredReport>& out, std::string& error) override;
  bool Get(int64_t id, StoredReport& out, bool& found, std::string& error) override;
  bool ReadRange(int64_t afterId, size_t limit, std::vector<StoredReport>& out,
                 std::string& error) override;
  using ReportStore::AddSymbolFile;
  int64_t AddSymbolFile(const SymbolFile& file, bool& alreadyStored, std::string& error) override;
  bool FindSymbolFiles(const SymbolQuery& query, std::vector<SymbolFile>& out,
                       std::string& error) override;
  bool SymbolBytes(int64_t id, std::string& out, std::string& error) override;
  bool ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) override;

 private:
  bool Exec(const char* sql, std::string& error);
  int64_t InsertLocked(const StoredReport& report, std::string& error);

  bool Migrate(std::string& error);
  const char* StackColumn() const;
  std::unique_ptr<SqliteSession> TakeReader(std::string& error);
  void GiveBack(std::unique_ptr<SqliteSession> reader);
  // Runs fn on a reader's own connection, so a report page never holds up the writer.
  bool OnReader(std::string& error, const std::function<bool(sqlite3*)>& fn);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string path_;
  std::unique_ptr<SqliteSession> writer_;  // on db_, when open for writing
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<SqliteSession>> idleReaders_;
  // A database from before stacks and symbols, opened read-only, lacks these.
  bool hasStackColumn_ = false;
  bool hasSymbolTable_ = false;
};

}  // namespace collector
