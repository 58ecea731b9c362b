#include "store/report_store.h"

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
