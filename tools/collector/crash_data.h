#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report_store.h"
#include "report_view.h"

namespace collector {

// One group of identical crashes as the read side shows it. Texts are UTF-8 (converted from
// GBK) but otherwise as uploaded: untrusted, escaped by whoever writes them out.
struct GroupSummary {
  int64_t id = 0;  // the group's first report id
  std::string program;
  std::string code;
  std::string address;
  std::vector<std::string> topFrames;  // symbolized top frames, empty without a stack
  size_t count = 0;
  std::vector<std::string> versions;  // distinct ver, in order of first appearance
  std::string firstSeen;
  std::string lastSeen;
  std::vector<size_t> members;  // indexes into CrashData::reports
};

// Every report (without payload bytes) and its groups, most frequent first.
struct CrashData {
  std::vector<StoredReport> reports;
  std::vector<GroupSummary> groups;
};

// Which reports to count: an empty field matches everything.
struct ReportFilter {
  std::string version;  // ver, UTF-8
  std::string program;  // the crash summary's program, UTF-8
};

bool ReportMatches(const StoredReport& report, const ReportFilter& filter);

// Reads and groups every report; stacks are symbolized with the symbols stored now.
bool LoadCrashData(ReportStore& store, CrashData& out, std::string& error);

// The groups restricted to the reports that match: count, versions and first and last seen are
// those of the matching reports; a group without any is left out. Ids stay the groups' own.
std::vector<GroupSummary> FilterGroups(const CrashData& data, const ReportFilter& filter);

// A report or group id from a URL path: decimal digits only, at most 18 of them.
bool ParseId(const std::string& text, int64_t& id);

// The report's stack as show prints it, one line per frame; empty without stack.txt.
std::vector<std::string> StackLines(ReportStore& store, const StoredReport& report);

}  // namespace collector
