#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "store/report_store.h"

struct pg_conn;

namespace collector {

// PostgreSQL store, for several collectors sharing one history. A small pool of connections:
// the upload server's writer threads (each groups the uploads waiting when it starts into one
// batch, one transaction, one commit) keep two, and reads take others, never more than their
// share, so a crowd of readers never holds back an acknowledgement. Ids come from an identity
// column, so they stay unique and increasing across every instance. Bytes are bytea, sent and
// read in binary; the read model's rows are bigint and text.
class PostgresReportStore : public ReportStore {
 public:
  PostgresReportStore() = default;
  ~PostgresReportStore() override;

  bool Open(const std::string& uri, bool forWriting, std::string& error) override;
  void Close() override;
  // Two batches in flight keep two backends committing in parallel; the other connections
  // of the pool stay free for reads.
  size_t ConcurrentWriters() const override { return 2; }
  bool StoreBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                  std::vector<std::string>& errors, std::string& error,
                  const BatchTask& alongside) override;
  bool List(std::vector<StoredReport>& out, std::string& error) override;
  bool Read(const SessionTask& fn, std::string& error) override;
  bool Write(const SessionTask& fn, std::string& error) override;
  bool Prune(const std::string& beforeUtc, uint64_t& removed, std::string& error) override;
  bool ReadRange(int64_t afterId, size_t limit, std::vector<StoredReport>& out,
                 std::string& error) override;
  bool Get(int64_t id, StoredReport& out, bool& found, std::string& error) override;
  using ReportStore::AddSymbolFile;
  int64_t AddSymbolFile(const SymbolFile& file, bool& alreadyStored, std::string& error) override;
  bool FindSymbolFiles(const SymbolQuery& query, std::vector<SymbolFile>& out,
                       std::string& error) override;
  bool SymbolBytes(int64_t id, std::string& out, std::string& error) override;
  bool ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) override;

  // Copies a whole store in, in one transaction: symbol files and reports keep their ids and
  // the id sequences move past them, so links to reports stay valid. Refuses when this store
  // already holds reports or symbol files. fetch fills report number i (0 to reportCount - 1)
  // with its payload; progress is told how many reports are copied so far. The read model is
  // left empty: the caller builds it from the copied reports.
  bool Import(const std::vector<SymbolFile>& symbols, size_t reportCount,
              const std::function<bool(size_t, StoredReport&, std::string&)>& fetch,
              const std::function<void(size_t)>& progress, std::string& error) override;

 private:
  class Lease;
  // Reads are counted against their share of the pool; writes are not.
  enum class Use { kRead, kWrite };
  pg_conn* Acquire(Use use, std::string& error);
  void Release(pg_conn* conn, Use use);
  pg_conn* Connect(std::string& error);
  // The slow path of StoreBatch, after the server refused a report of the pipelined batch.
  bool StoreEachInASavepoint(pg_conn* conn, const std::vector<const StoredReport*>& reports,
                             std::vector<int64_t>& ids, std::vector<std::string>& errors,
                             std::string& error, const BatchTask& alongside);

  std::mutex mutex_;
  std::condition_variable released_;
  std::string uri_;
  bool open_ = false;
  bool readOnly_ = true;
  std::vector<pg_conn*> idle_;
  size_t connections_ = 0;
  size_t readers_ = 0;  // connections leased for reading
};

}  // namespace collector
