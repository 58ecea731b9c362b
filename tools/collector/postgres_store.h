#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "report_store.h"

struct pg_conn;

namespace collector {

// PostgreSQL store, for several collectors sharing one history. A small pool of connections:
// the upload server's writer threads (each groups the uploads waiting when it starts into one
// batch, one transaction, one commit) keep two, and the read API's threads take others, so a
// long listing never holds back an acknowledgement. Ids come from an identity column, so they
// stay unique and increasing across every instance. Bytes are bytea, sent and read in binary.
class PostgresReportStore : public ReportStore {
 public:
  PostgresReportStore() = default;
  ~PostgresReportStore() override;

  bool Open(const std::string& uri, bool forWriting, std::string& error) override;
  void Close() override;
  // Two batches in flight keep two backends committing in parallel; the other connections
  // of the pool stay free for reads.
  size_t ConcurrentWriters() const override { return 2; }
  bool InsertBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                   std::string& error) override;
  bool List(std::vector<StoredReport>& out, std::string& error) override;
  bool Get(int64_t id, StoredReport& out, bool& found, std::string& error) override;
  int64_t AddSymbolFile(const SymbolFile& file, std::string& error) override;
  bool FindSymbolFile(const std::string& module, uint32_t timestamp, const std::string& debugId,
                      SymbolFile& out, bool& found, std::string& error) override;
  bool SymbolBytes(int64_t id, std::string& out, std::string& error) override;
  bool ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) override;

  // Copies a whole store in, in one transaction: symbol files and reports keep their ids and
  // the id sequences move past them, so links to reports stay valid. Refuses when this store
  // already holds reports or symbol files. fetch fills report number i (0 to reportCount - 1)
  // with its payload; progress is told how many reports are copied so far.
  bool Import(const std::vector<SymbolFile>& symbols, size_t reportCount,
              const std::function<bool(size_t, StoredReport&, std::string&)>& fetch,
              const std::function<void(size_t)>& progress, std::string& error);

 private:
  class Lease;
  pg_conn* Acquire(std::string& error);
  void Release(pg_conn* conn);
  pg_conn* Connect(std::string& error);

  std::mutex mutex_;
  std::condition_variable released_;
  std::string uri_;
  bool open_ = false;
  bool readOnly_ = true;
  std::vector<pg_conn*> idle_;
  size_t connections_ = 0;
};

}  // namespace collector
