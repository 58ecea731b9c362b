#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "readmodel/read_model.h"

namespace collector {

class ReportStore;
struct StoredReport;

// What the read side keeps of a report, worked out once as it arrives: the crash summary's
// fields from the decoded log, and the group key: the top three stack frames by function name
// where stored symbols know them (results looked up from earlier runs of the symbolizer first),
// else MODULE+0xOFFSET, else the summary's program, code and address. The stack is the crashing
// thread walked from the minidump (dump, null for none) where it parses, else stack.txt's.
CrashEntry DescribeCrash(ReportStore& store, const StoredReport& report, bool hasLog,
                         const std::string& log, bool hasStack, const std::string& stack,
                         const std::string* dump = nullptr);

// Stores the reports with their crash entries (one each, in the same order) and their groups'
// counters, in one transaction: the way every report is written. ids and errors as
// ReportStore::StoreBatch gives them. With events, the new groups, regressions and spikes of
// the transaction that committed (see RecordCrashes).
bool StoreWithEntries(ReportStore& store, const std::vector<const StoredReport*>& reports,
                      const std::vector<const CrashEntry*>& entries, std::vector<int64_t>& ids,
                      std::vector<std::string>& errors, std::string& error,
                      const AlertRules& rules = AlertRules(),
                      std::vector<GroupEvent>* events = nullptr);

// Builds the read model of reports stored before it existed (by an older collector, or copied
// in by migrate), a page at a time; progress is told how many are done. Safe to run again: it
// starts after the last report that has an entry.
bool BackfillCrashEntries(ReportStore& store, const std::function<void(uint64_t)>& progress,
                          std::string& error);

// Keys again every report whose top frames lie in one of these modules (names, or the debug ids
// of their module lines, compared without case), now that their symbols are stored, and moves those whose key changed to their new
// groups. Reports keyed from their crash.dmp are walked again first: the new images' CFI may
// find other frames. changed gets how many moved.
bool RegroupStacks(ReportStore& store, const std::vector<std::string>& modules, uint64_t& changed,
                   std::string& error);

// The same for every report with a stack: after the way keys are made has changed.
bool RegroupAllStacks(ReportStore& store, uint64_t& changed, std::string& error);

}  // namespace collector
