#pragma once

#include <string>

#include "readmodel/read_model.h"
#include "readmodel/report_detail.h"

namespace collector {

// The listing is "reports: N", one tab-separated line per report (id, received, ver, program,
// code, address, state), then "groups: M" and one line per group of identical crashes (count,
// program, code, address or the top frames joined by " | "), most frequent first. A missing
// value is "-"; no field holds a tab or a line end.
std::string FormatReportLine(const CrashEntry& entry);
std::string FormatGroupLine(const GroupSummary& group);

// What a report's crash.dmp holds, e.g. "12 threads, 34 modules (123456 bytes)", or why it
// could not be read; "" when the report has none.
std::string MinidumpText(const MinidumpSummary& dump);

// The header that show prints before the log: one "name: value" line each, then an empty line.
// A report with a stack also has "stack: N frames" after the log line, one with a minidump
// "minidump: " and its MinidumpText.
std::string FormatShowHeader(const ReportDetail& detail);

}  // namespace collector
