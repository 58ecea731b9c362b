#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/sql_session.h"

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
  std::string state;      // archive, unpacked, undecodable or too-large
  std::string note;       // how it was decoded, or why not
  int httpStatus = 0;     // the status the sender was answered with
  bool hasStack = false;  // the archive held stack.txt
  std::string stack;      // its bytes, unchanged
};

// A symbol file as kept: found by kind, module name (lower case), TimeDateStamp and CodeView
// id. Kinds:
//   "debug"  a PE with DWARF: an unstripped module, or the debug file objcopy --only-keep-debug
//            makes (loadable tells which); llvm-symbolizer reads it alone.
//   "image"  a PE without DWARF, as it ships (a stripped MinGW module, or one whose debug info is
//            in a PDB): kept for its unwind tables (.eh_frame) and as the object a PDB needs.
//   "pdb"    a PDB; module is its file name (e.g. game.pdb), timestamp 0, debugId its GUID + age.
struct SymbolFile {
  int64_t id = 0;
  std::string module;  // lower case, e.g. crashgame.exe
  uint32_t timestamp = 0;
  std::string debugId;  // "" when the image has no CodeView record
  uint32_t sizeOfImage = 0;
  uint64_t imageBase = 0;
  std::string fileName;  // the name it was added under
  std::string addedUtc;
  std::string bytes;  // the whole file; left empty by FindSymbolFile and FindSymbolFiles
  std::string kind = "debug";
  bool loadable = false;  // a PE whose code is in the file (see PeIdentity::loadable)
};

// Which stored files FindSymbolFiles returns: those of the kind whose fields match the ones
// asked for (module names compared in lower case, debug ids as stored: upper-case hex).
struct SymbolQuery {
  std::string kind;       // "debug", "image" or "pdb"; "" any
  bool loadable = false;  // only PEs whose code is in the file
  std::string module;     // "" any
  bool byTimestamp = false;
  uint32_t timestamp = 0;
  bool bySize = false;
  uint32_t sizeOfImage = 0;
  bool byDebugId = false;
  std::string debugId;
};

// Where reports and symbol files are kept: an SQLite file on one machine, or PostgreSQL so that
// several collectors share one history. Every method may be called from several threads at once.
// A write has been committed (durably, as far as the database promises) when it returns true.
class ReportStore {
 public:
  ReportStore() = default;
  virtual ~ReportStore() = default;
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // forWriting creates the tables when missing and brings an older schema up to date; otherwise
  // the store must already exist and is opened read-only.
  virtual bool Open(const std::string& location, bool forWriting, std::string& error) = 0;
  virtual void Close() = 0;

  // Returns the new report's id, or 0 with error set.
  int64_t Insert(const StoredReport& report, std::string& error);

  // How many batches the server may have in InsertBatch at once. One for a store that
  // serialises its writes anyway (a second writer would only split the group commit); more
  // where each batch runs on its own server connection.
  virtual size_t ConcurrentWriters() const { return 1; }

  // Stores them in one transaction, so they share one commit, and runs alongside (when given)
  // in that transaction with their ids: what is kept of them beside (crash entries, counters)
  // commits with them or not at all. ids gets their ids in order. A report the database refuses
  // (too large, say) gets id 0 and its reason in errors; the others are stored all the same.
  // False, with error set, when none could be stored. Ids are unique and increasing, also
  // across processes sharing the store.
  using BatchTask =
      std::function<bool(SqlSession&, const std::vector<int64_t>& ids, std::string& error)>;
  virtual bool StoreBatch(const std::vector<const StoredReport*>& reports,
                          std::vector<int64_t>& ids, std::vector<std::string>& errors,
                          std::string& error, const BatchTask& alongside) = 0;

  // StoreBatch for callers that want every report or a failure: false with the first reason
  // when any report was refused (the others are stored then all the same).
  bool InsertBatch(const std::vector<const StoredReport*>& reports, std::vector<int64_t>& ids,
                   std::string& error);

  // Every report in id order, without payload bytes (payloadSize is set). It holds them all in
  // memory: for copying a store and for tests, never for answering requests.
  virtual bool List(std::vector<StoredReport>& out, std::string& error) = 0;

  // Runs fn on a connection of its own for reading; a read never holds up the writer.
  using SessionTask = std::function<bool(SqlSession&, std::string&)>;
  virtual bool Read(const SessionTask& fn, std::string& error) = 0;
  // Runs fn in one transaction on the writing side: committed when it returns true.
  virtual bool Write(const SessionTask& fn, std::string& error) = 0;

  // Deletes the uploaded bytes (and decoded logs and stacks) of the reports received before
  // the time (ISO 8601 UTC); their crash entries and groups stay, so counts and trends do.
  // Then gives the space back. removed gets how many reports lost their bytes.
  virtual bool Prune(const std::string& beforeUtc, uint64_t& removed, std::string& error) = 0;

  // Up to limit reports with ids above afterId, in id order, with their payloads: for building
  // the read model of reports an older collector stored, a page at a time.
  virtual bool ReadRange(int64_t afterId, size_t limit, std::vector<StoredReport>& out,
                         std::string& error) = 0;

  // found is false when no report has that id.
  virtual bool Get(int64_t id, StoredReport& out, bool& found, std::string& error) = 0;

  // Stores a symbol file under its key (kind, module, timestamp, debug id). The same bytes
  // under the same key are stored once: alreadyStored is set and the stored id returned. Other
  // bytes under a key replace the file there (with a new id). Returns its id, or 0 with error
  // set.
  virtual int64_t AddSymbolFile(const SymbolFile& file, bool& alreadyStored,
                                std::string& error) = 0;
  int64_t AddSymbolFile(const SymbolFile& file, std::string& error) {
    bool alreadyStored = false;
    return AddSymbolFile(file, alreadyStored, error);
  }

  // The stored files that match, without their bytes: images (kind "image") before the others,
  // then the newest first.
  virtual bool FindSymbolFiles(const SymbolQuery& query, std::vector<SymbolFile>& out,
                               std::string& error) = 0;

  // The DWARF file ("debug") for a module (name compared without case), without its bytes.
  bool FindSymbolFile(const std::string& module, uint32_t timestamp, const std::string& debugId,
                      SymbolFile& out, bool& found, std::string& error);

  // A stored PE image of a module with its code (for its unwind tables, .eh_frame), bytes
  // included: a stripped image (kind "image") where there is one, else an unstripped module
  // ("debug", loadable). By the identity a minidump or stack.txt module line gives: the file
  // name (any case), TimeDateStamp and SizeOfImage...
  bool FindImage(const std::string& module, uint32_t timestamp, uint32_t sizeOfImage,
                 SymbolFile& out, bool& found, std::string& error);
  // ... or by the CodeView id (GUID + age, as stack.txt writes it; any case).
  bool FindImageByDebugId(const std::string& module, const std::string& debugId, SymbolFile& out,
                          bool& found, std::string& error);

  // A PDB by its file name (any case; "" any name) and GUID + age, without its bytes.
  bool FindPdb(const std::string& pdbName, const std::string& debugId, SymbolFile& out,
               bool& found, std::string& error);

  virtual bool SymbolBytes(int64_t id, std::string& out, std::string& error) = 0;

  // Every symbol file with its bytes, in id order (for copying a store).
  virtual bool ListSymbolFiles(std::vector<SymbolFile>& out, std::string& error) = 0;

  // Copies a whole store in, in one transaction: symbol files and reports keep their ids, so
  // links to reports stay valid; the read model is built afterwards (BackfillCrashEntries).
  // Refuses when this store already holds reports or symbol files. fetch fills report number i
  // (0 to reportCount - 1, called in order) with its payload; progress is told how many are
  // copied. Only a store that several collectors share takes copies.
  virtual bool Import(const std::vector<SymbolFile>& symbols, size_t reportCount,
                      const std::function<bool(size_t, StoredReport&, std::string&)>& fetch,
                      const std::function<void(size_t)>& progress, std::string& error);
};

// The start of the error Open gives for a store an older collector wrote when it is opened for
// reading: opening it for writing brings it up to date.
constexpr char kNeedsUpgrade[] = "the store needs upgrading";

// True for postgresql://... and postgres://... locations.
bool IsPostgresLocation(const std::string& location);

// The store a --db argument names: PostgreSQL for a postgresql:// or postgres:// URI, else an
// SQLite file. Not opened yet.
std::unique_ptr<ReportStore> MakeReportStore(const std::string& location);

}  // namespace collector
