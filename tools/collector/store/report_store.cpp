#include "store/report_store.h"

#include <cctype>

#include "store/postgres_store.h"
#include "store/sqlite_store.h"

namespace collector {

int64_t ReportStore::Insert(const StoredReport& report, std::string& error) {
  std::vector<int64_t> ids;
  return InsertBatch({&report}, ids, error) ? ids.front() : 0;
}

bool ReportStore::InsertBatch(const std::vector<const StoredReport*>& reports,
                              std::vector<int64_t>& ids, std::string& error) {
  std::vector<std::string> errors;
  if (!StoreBatch(reports, ids, errors, error, nullptr)) {
    return false;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == 0) {
      error = errors[i];
      return false;
    }
  }
  return true;
}

bool ReportStore::Import(const std::vector<SymbolFile>&, size_t,
                         const std::function<bool(size_t, StoredReport&, std::string&)>&,
                         const std::function<void(size_t)>&, std::string& error) {
  error = "this store does not take copies of another";
  return false;
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The first file that matches, with or without its bytes.
bool FindFirst(ReportStore& store, const SymbolQuery& query, bool withBytes, SymbolFile& out,
               bool& found, std::string& error) {
  found = false;
  std::vector<SymbolFile> files;
  if (!store.FindSymbolFiles(query, files, error)) {
    return false;
  }
  if (files.empty()) {
    return true;
  }
  out = files.front();
  if (withBytes && !store.SymbolBytes(out.id, out.bytes, error)) {
    return false;
  }
  found = true;
  return true;
}

}  // namespace

bool ReportStore::FindSymbolFile(const std::string& module, uint32_t timestamp,
                                 const std::string& debugId, SymbolFile& out, bool& found,
                                 std::string& error) {
  SymbolQuery query;
  query.kind = "debug";
  query.module = Lower(module);
  query.byTimestamp = true;
  query.timestamp = timestamp;
  query.byDebugId = true;
  query.debugId = debugId;
  return FindFirst(*this, query, false, out, found, error);
}

bool ReportStore::FindImage(const std::string& module, uint32_t timestamp, uint32_t sizeOfImage,
                            SymbolFile& out, bool& found, std::string& error) {
  SymbolQuery query;
  query.loadable = true;
  query.module = Lower(module);
  query.byTimestamp = true;
  query.timestamp = timestamp;
  query.bySize = true;
  query.sizeOfImage = sizeOfImage;
  return FindFirst(*this, query, true, out, found, error);
}

bool ReportStore::FindImageByDebugId(const std::string& module, const std::string& debugId,
                                     SymbolFile& out, bool& found, std::string& error) {
  found = false;
  if (debugId.empty()) {
    return true;
  }
  SymbolQuery query;
  query.loadable = true;
  query.module = Lower(module);
  query.byDebugId = true;
  query.debugId = Upper(debugId);
  return FindFirst(*this, query, true, out, found, error);
}

bool ReportStore::FindPdb(const std::string& pdbName, const std::string& debugId, SymbolFile& out,
                          bool& found, std::string& error) {
  found = false;
  if (debugId.empty()) {
    return true;
  }
  SymbolQuery query;
  query.kind = "pdb";
  query.module = Lower(pdbName);
  query.byDebugId = true;
  query.debugId = Upper(debugId);
  return FindFirst(*this, query, false, out, found, error);
}

bool IsPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<ReportStore> MakeReportStore(const std::string& location) {
  if (IsPostgresLocation(location)) {
    return std::make_unique<PostgresReportStore>();
  }
  return std::make_unique<SqliteReportStore>();
}

}  // namespace collector
