#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace collector {

// One received upload as it is kept.
struct StoredReport {
  int64_t id = 0;
  std::string receivedUtc;  // ISO-8601, UTC, e.g. 2026-12-08T14:31:26.123Z
  std::string peer;         // address:port of the sender
  std::string path;         // request path as received
  bool hasVer = false;      // the form field "ver" was present
  std::string ver;
  std::string fileName;  // file name of the "file" part
  std::string payload;   // the uploaded file bytes, unchanged
  uint64_t payloadSize = 0;
  bool hasLog = false;    // decoding gave log text
  std::string log;        // the decoded log bytes (GBK)
  std::string state;      // archive, unpacked or undecodable
  std::string note;       // how it was decoded, or why not
  int httpStatus = 0;     // the status the sender was answered with
  bool hasStack = false;  // the archive held stack.txt
  std::string stack;      // its bytes, unchanged
};

// A symbol file as kept: found by module name (lower case), TimeDateStamp and CodeView id.
struct SymbolFile {
  int64_t id = 0;
  std::string module;  // lower case, e.g. crashgame.exe
  uint32_t timestamp = 0;
  std::string debugId;  // "" when the image has no CodeView record
  uint32_t sizeOfImage = 0;
  uint64_t imageBase = 0;
  std::string fileName;  // the name it was added under
  std::string addedUtc;
  std::string bytes;  // the whole file; left empty by FindSymbolFile
};

// SQLite-backed store. One connection, serialised by a mutex, so the upload server's worker
// threads can insert concurrently; each insert or batch is committed before it returns.
class ReportStore {
 public:
  ReportStore() = default;
  ~ReportStore();
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // forWriting creates the file and its table when missing; otherwise the file must exist and
  // is opened read-only.
  bool Open(const std::string& path, bool forWriting, std::string& error);
  void Close();

  // Returns the new report's id, or 0 with error set.
  int64_t Insert(const StoredReport& report, std::string& error);

  // Stores all of them in one transaction, so they share one fsync: all or none. ids gets
  // their ids in order.
  bool InsertBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                   std::string& error);

  // Every report in id order, without payload bytes (payloadSize is set).
  bool List(std::vector<StoredReport>& out, std::string& error);

  // found is false when no report has that id.
  bool Get(int64_t id, StoredReport& out, bool& found, std::string& error);

  // Stores a symbol file, replacing one with the same key. Returns its id, or 0 with error set.
  int64_t AddSymbolFile(const SymbolFile& file, std::string& error);

  // The symbol file for a module (name compared without case), without its bytes.
  bool FindSymbolFile(const std::string& module, uint32_t timestamp, const std::string& debugId,
                      SymbolFile& out, bool& found, std::string& error);

  bool SymbolBytes(int64_t id, std::string& out, std::string& error);

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
