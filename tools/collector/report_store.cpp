#include "report_store.h"

#include "postgres_store.h"
#include "sqlite_store.h"

namespace collector {

int64_t ReportStore::Insert(const StoredReport& report, std::string& error) {
  std::vector<int64_t> ids;
  return InsertBatch({&report}, ids, error) ? ids.front() : 0;
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
