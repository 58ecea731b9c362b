#pragma once

#include <mutex>

#include "report_store.h"

struct sqlite3;

namespace collector {

// SQLite file store, the embedded default. One connection, serialised by a mutex, so the upload
// server's worker threads can insert concurrently; the schema version is PRAGMA user_version.
class SqliteReportStore : public ReportStore {
 public:
  SqliteReportStore() = default;
  ~SqliteReportStore() override;

  bool Open(const std::string& path, bool forWriting, std::string& error) override;
  void Close() override;
  bool InsertBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                   std::string& error) override;
  bool List(std::vector<StoredReport>& out, std::string& error) override;
  bool Get(int64_t id, StoredReport& out, bool& found, std::string& error) override;
  int64_t AddSymbolFile(const SymbolFile& file, std::string& error) override;
  bool FindSymbolFile(const std::string& module, uint32_t timestamp, const std::string& debugId,
                      SymbolFile& out, bool& found, std::string& error) override;
  bool SymbolBytes(int64_t id, std::string& out, std::string& error) override;
  bool ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) override;

  // Every report id in order, for copying the store one report at a time.
  bool ListIds(std::vector<int64_t>& out, std::string& error);

 private:
  bool Exec(const char* sql, std::string& error);
  int64_t InsertLocked(const StoredReport& report, std::string& error);

  bool Migrate(std::string& error);
  const char* StackColumn() const;

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  // A database from before stacks and symbols, opened read-only, lacks these.
  bool hasStackColumn_ = false;
  bool hasSymbolTable_ = false;
};

}  // namespace collector
