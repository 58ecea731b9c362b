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
std::string FormatList(const std::vector<StoredReport>& reports,
                       const std::map<int64_t, std::string>& stackKeys = {});

// The header that show prints before the log: one "name: value" line each, then an empty line.
// A report with a stack also has "stack: N frames" (frameCount) after the log line.
std::string FormatShowHeader(const StoredReport& report, size_t frameCount = 0);

}  // namespace collector
