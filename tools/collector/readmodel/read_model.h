#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/sql_session.h"

namespace collector {

class ReportStore;

// What the read side keeps of one report, worked out once when it arrives, so that lists,
// groups and charts never decode a log or run the symbolizer. Texts are UTF-8 with control
// characters replaced (safe for a terminal line), but otherwise as uploaded: untrusted, escaped
// by whoever writes them out.
struct CrashEntry {
  int64_t id = 0;  // the report's id
  int64_t groupId = 0;
  std::string receivedUtc;
  int64_t hour = -1;  // Unix hour of receivedUtc, -1 when it cannot be read
  bool hasVer = false;
  std::string ver;
  std::string program;
  std::string code;  // "unknown" for a summary without exception record
  std::string address;
  std::string state;
  std::string groupKey;                // what identical crashes share
  std::vector<std::string> topFrames;  // a stack group's frames, empty for a summary group
  std::string frameRefs;               // the raw top frames, to key again once symbols arrive
};

// One group of identical crashes. Its id is its first report's id.
struct GroupSummary {
  int64_t id = 0;
  std::string program;
  std::string code;
  std::string address;
  std::vector<std::string> topFrames;  // symbolized top frames, empty without a stack
  uint64_t count = 0;
  std::vector<std::string> versions;  // distinct ver, in order of first appearance
  std::string firstSeen;
  std::string lastSeen;
  std::string status = "open";  // "open", "resolved" or "ignored"
  std::string resolvedIn;       // the version a resolved group was fixed in, "" for none named
  bool regressed = false;       // resolved, then a report from that version or later came
};

// Which reports to count: an empty field matches everything.
struct ReportFilter {
  std::string version;  // ver
  std::string program;  // the group's program
  std::string status;   // the group's status (group lists only)
};

// What a studio hears about, found inside the transaction that makes it so, so that of several
// collectors on one database exactly one finds each.
struct GroupEvent {
  std::string kind;  // "new_group", "regression" or "spike"
  int64_t groupId = 0;
  std::string program;
  std::string code;
  std::vector<std::string> topFrames;
  std::string version;  // of the report that caused it (the highest, for a regression)
  uint64_t count = 0;   // the group's reports; the hour's for a spike
  int64_t hour = -1;    // Unix hour of a spike
};

struct AlertRules {
  uint64_t spikePerHour = 0;  // a group's reports in one hour that make a spike; 0: off
};

// Negative, zero or positive as version a is before, the same as or after b: dotted parts
// compared as numbers where both are digits, else as text; a missing part counts as 0.
int CompareVersions(const std::string& a, const std::string& b);

struct GroupQuery {
  ReportFilter filter;
  uint64_t offset = 0;
  uint64_t limit = 50;
};

struct HourCount {
  std::string ver;
  int64_t hour = 0;
  uint64_t count = 0;
};

// Stores the entries (ids set, groupId ignored) and adds them to their groups' counters, inside
// the caller's transaction. The group rows are taken in key order, so two writers never wait on
// each other in a circle. A resolved group that gets a report from its version or a later one
// opens again, marked regressed (an ignored group stays ignored). With events, the new groups,
// regressions and spikes of these entries are added to it.
bool RecordCrashes(SqlSession& session, const std::vector<const CrashEntry*>& entries,
                   std::string& error, const AlertRules& rules = AlertRules(),
                   std::vector<GroupEvent>* events = nullptr);

// Sets a group's status: "open" (which clears regressed), "resolved" with the version it was
// fixed in ("" for none named) or "ignored". found is false for an unknown group.
bool SetGroupStatus(ReportStore& store, int64_t groupId, const std::string& status,
                    const std::string& version, bool& found, std::string& error);

// Counts, versions, first and last seen and the hourly counts of these groups made again from
// their entries; a group left without entries goes. For regrouping and for checking.
bool RebuildGroups(SqlSession& session, const std::vector<int64_t>& groupIds, std::string& error);

// Regressed groups first, then the most frequent, ties by id. With a version filter the counts
// and times are that version's. more tells whether another page follows.
bool ListGroups(ReportStore& store, const GroupQuery& query, std::vector<GroupSummary>& out,
                bool& more, std::string& error);

bool FindGroup(ReportStore& store, int64_t id, const ReportFilter& filter, GroupSummary& out,
               bool& found, std::string& error);

// A group's reports in id order, from the first id after afterId; at most limit of them.
bool GroupMembers(ReportStore& store, int64_t groupId, int64_t afterId, uint64_t limit,
                  std::vector<CrashEntry>& out, std::string& error);

bool FindCrash(ReportStore& store, int64_t id, CrashEntry& out, bool& found, std::string& error);

// Every entry in id order, read in pages, so memory stays flat whatever the count.
bool ForEachCrash(ReportStore& store, const std::function<void(const CrashEntry&)>& visit,
                  std::string& error);

// Every group, most frequent first, read in pages.
bool ForEachGroup(ReportStore& store, const std::function<void(const GroupSummary&)>& visit,
                  std::string& error);

bool CountCrashes(ReportStore& store, uint64_t& count, std::string& error);

// Crashes per hour and version within [firstHour, lastHour] for the chart; the program filter
// is each report's own program.
bool HourlyCounts(ReportStore& store, const ReportFilter& filter, int64_t firstHour,
                  int64_t lastHour, std::vector<HourCount>& out, std::string& error);

// The distinct versions and programs, for the filter choices.
bool Facets(ReportStore& store, std::vector<std::string>& versions,
            std::vector<std::string>& programs, std::string& error);

// The entry's group key and frames set again (after symbols arrived); the groups it leaves and
// joins are rebuilt. Entries whose key did not change cost nothing.
bool Regroup(SqlSession& session, const std::vector<CrashEntry>& changed, std::string& error);

// Stored symbolizer results: function, file and line by symbol file and address.
struct FrameSymbol {
  int64_t symbolId = 0;
  uint64_t address = 0;
  std::string function;
  std::string file;
  uint32_t line = 0;
  bool found = false;  // a result is stored (it may say nothing is known)
};
bool LookupFrameSymbols(SqlSession& session, std::vector<FrameSymbol>& frames, std::string& error);
bool SaveFrameSymbols(SqlSession& session, const std::vector<FrameSymbol>& frames,
                      std::string& error);

// Unix seconds of an ISO-8601 UTC time as stored ("2026-12-08T14:31:26.123Z"), or -1.
int64_t UnixSeconds(const std::string& iso);

// A report or group id from a URL path: decimal digits only, at most 18 of them.
bool ParseId(const std::string& text, int64_t& id);

}  // namespace collector
