#pragma once

#include <string>
#include <vector>

#include "report_store.h"

namespace collector {

// The listing: "reports: N", one tab-separated line per report (id, received, ver, program,
// code, address, state), then "groups: M" and one line per identical crash (count, program,
// code, address), most frequent first. Texts are converted to UTF-8; a missing value is "-".
std::string FormatList(const std::vector<StoredReport>& reports);

// The header that show prints before the log: one "name: value" line each, then an empty line.
std::string FormatShowHeader(const StoredReport& report);

}  // namespace collector
