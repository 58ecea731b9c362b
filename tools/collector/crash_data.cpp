#include "crash_data.h"

#include <algorithm>
#include <map>

#include "gbk.h"
#include "symbols/stack_symbolize.h"

namespace collector {
namespace {

// Count, versions and first and last seen of the given members; the rest from the group.
GroupSummary Summarize(const std::vector<StoredReport>& reports, const GroupSummary& group,
                       const std::vector<size_t>& members) {
  GroupSummary out = group;
  out.members = members;
  out.count = members.size();
  out.versions.clear();
  for (size_t member : members) {
    std::string ver = GbkToUtf8(reports[member].ver);
    bool known = false;
    for (const std::string& seen : out.versions) {
      known = known || seen == ver;
    }
    if (!known) {
      out.versions.push_back(ver);
    }
  }
  // The earliest and latest times, not those of the first and last id: instances that share
  // one database need not store their reports in time order.
  out.firstSeen.clear();
  out.lastSeen.clear();
  for (size_t member : members) {
    std::string received = GbkToUtf8(reports[member].receivedUtc);
    if (out.firstSeen.empty() || received < out.firstSeen) {
      out.firstSeen = received;
    }
    if (received > out.lastSeen) {
      out.lastSeen = received;
    }
  }
  return out;
}

}  // namespace

bool ReportMatches(const StoredReport& report, const ReportFilter& filter) {
  if (!filter.version.empty() && GbkToUtf8(report.ver) != filter.version) {
    return false;
  }
  return filter.program.empty() || CrashFieldsOf(report).program == filter.program;
}

bool LoadCrashData(ReportStore& store, CrashData& out, std::string& error) {
  out = CrashData();
  if (!store.List(out.reports, error)) {
    return false;
  }
  std::map<int64_t, std::vector<std::string>> frames;
  std::map<int64_t, std::string> keys = StackGroupKeys(store, out.reports, &frames);
  for (const ReportGroup& group : GroupReports(out.reports, keys)) {
    const StoredReport& first = out.reports[group.members.front()];
    CrashFields crash = CrashFieldsOf(first);
    GroupSummary summary;
    summary.id = group.firstId;
    summary.program = crash.program;
    summary.code = crash.code;
    summary.address = crash.address;
    auto top = frames.find(first.id);
    if (top != frames.end()) {
      summary.topFrames = top->second;
    }
    out.groups.push_back(Summarize(out.reports, summary, group.members));
  }
  return true;
}

std::vector<GroupSummary> FilterGroups(const CrashData& data, const ReportFilter& filter) {
  std::vector<GroupSummary> out;
  for (const GroupSummary& group : data.groups) {
    std::vector<size_t> members;
    for (size_t member : group.members) {
      if (ReportMatches(data.reports[member], filter)) {
        members.push_back(member);
      }
    }
    if (!members.empty()) {
      out.push_back(Summarize(data.reports, group, members));
    }
  }
  // Filtering can change the counts, so the order is made again: most frequent first.
  std::stable_sort(out.begin(), out.end(),
                   [](const GroupSummary& a, const GroupSummary& b) { return a.count > b.count; });
  return out;
}

std::vector<std::string> StackLines(ReportStore& store, const StoredReport& report) {
  std::vector<std::string> lines;
  if (!report.hasStack) {
    return lines;
  }
  StackTrace trace = ParseStackText(report.stack);
  if (!trace.frames.empty()) {
    // Kept in a local: a range over .front() of the returned temporary would outlive it.
    std::vector<std::vector<ResolvedFrame>> resolved =
        ResolveStacks(store, {trace}, kMaxStackFrames);
    for (const ResolvedFrame& frame : resolved.front()) {
      lines.push_back(FrameLine(frame));
    }
  }
  return lines;
}

bool ParseId(const std::string& text, int64_t& id) {
  if (text.empty() || text.size() > 18) {
    return false;
  }
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    id = id * 10 + (c - '0');
  }
  return true;
}

}  // namespace collector
