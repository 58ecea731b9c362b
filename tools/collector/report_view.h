#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "report_store.h"

namespace collector {

// The listing: "reports: N", one tab-separated line per report (id, received, ver, program,
// code, address, state), then "groups: M" and one line per identical crash (count, program,
// code, address), most frequent first. Texts are converted to UTF-8; a missing value is "-".
// A report with an entry in stackKeys (by id) groups by that key instead of code and address,
// and the group line shows the key in the address column.
// What the crash summary of a report's log says, in UTF-8 ("" where it says nothing); the code
// is "unknown" for a summary without exception record.
struct CrashFields {
  std::string program;
  std::string code;
  std::string address;
};
CrashFields CrashFieldsOf(const StoredReport& report);

// One group of identical crashes, as list shows it: count, the first report's id (its stable
// id), the program and code of that report, and the key text (address, or the stack frames).
struct ReportGroup {
  size_t count = 0;
  int64_t firstId = 0;
  std::string program;
  std::string code;
  std::string where;
  std::vector<size_t> members;  // indexes into the reports, in their order
};

// The groups of list, most frequent first; ties by first id. stackKeys as for FormatList.
std::vector<ReportGroup> GroupReports(const std::vector<StoredReport>& reports,
                                      const std::map<int64_t, std::string>& stackKeys);

std::string FormatList(const std::vector<StoredReport>& reports,
                       const std::map<int64_t, std::string>& stackKeys = {});

// The header that show prints before the log: one "name: value" line each, then an empty line.
// A report with a stack also has "stack: N frames" (frameCount) after the log line.
std::string FormatShowHeader(const StoredReport& report, size_t frameCount = 0);

}  // namespace collector
