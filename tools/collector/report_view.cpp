#include "report_view.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "gbk.h"
#include "summary_parse.h"

namespace collector {
namespace {

// One field of a tab-separated line: UTF-8, no control characters, never empty.
std::string Field(const std::string& gbk) {
  std::string text = StripControls(GbkToUtf8(gbk));
  return text.empty() ? "-" : text;
}

struct Crash {
  std::string program;
  std::string code;
  std::string address;
};

Crash CrashOf(const StoredReport& report) {
  Crash crash;
  if (!report.hasLog) {
    return crash;
  }
  CrashFacts facts = ParseCrashFacts(report.log);
  crash.program = facts.program;
  crash.code = facts.unknownError && facts.code.empty() ? "unknown" : facts.code;
  crash.address = facts.address;
  return crash;
}

}  // namespace

CrashFields CrashFieldsOf(const StoredReport& report) {
  Crash crash = CrashOf(report);
  return CrashFields{GbkToUtf8(crash.program), GbkToUtf8(crash.code), GbkToUtf8(crash.address)};
}

std::vector<ReportGroup> GroupReports(const std::vector<StoredReport>& reports,
                                      const std::map<int64_t, std::string>& stackKeys) {
  // The first member tells stack groups from summary groups, so the two never merge.
  using Key = std::tuple<bool, std::string, std::string, std::string>;
  std::map<Key, ReportGroup> groups;
  for (size_t i = 0; i < reports.size(); ++i) {
    const StoredReport& report = reports[i];
    Crash crash = CrashOf(report);
    std::string program = Field(crash.program);
    std::string code = Field(crash.code);
    std::string address = Field(crash.address);
    auto stackKey = stackKeys.find(report.id);
    // A stack group shows the program and code of its first report.
    Key key = stackKey == stackKeys.end() ? Key{false, program, code, address}
                                          : Key{true, stackKey->second, "", ""};
    ReportGroup& group = groups[key];
    if (group.count++ == 0) {
      group.firstId = report.id;
      group.program = program;
      group.code = code;
      group.where = std::get<0>(key) ? std::get<1>(key) : address;
    }
    group.members.push_back(i);
  }
  std::vector<ReportGroup> ordered;
  for (auto& entry : groups) {
    ordered.push_back(std::move(entry.second));
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
    if (a.count != b.count) {
      return a.count > b.count;
    }
    return a.firstId < b.firstId;
  });
  return ordered;
}

std::string FormatList(const std::vector<StoredReport>& reports,
                       const std::map<int64_t, std::string>& stackKeys) {
  std::string out = "reports: " + std::to_string(reports.size()) + "\n";
  for (const StoredReport& report : reports) {
    Crash crash = CrashOf(report);
    out += std::to_string(report.id) + "\t" + Field(report.receivedUtc) + "\t" + Field(report.ver) +
           "\t" + Field(crash.program) + "\t" + Field(crash.code) + "\t" + Field(crash.address) +
           "\t" + report.state + "\n";
  }
  std::vector<ReportGroup> groups = GroupReports(reports, stackKeys);
  out += "groups: " + std::to_string(groups.size()) + "\n";
  for (const ReportGroup& group : groups) {
    out += std::to_string(group.count) + "\t" + group.program + "\t" + group.code + "\t" +
           group.where + "\n";
  }
  return out;
}

std::string FormatShowHeader(const StoredReport& report, size_t frameCount) {
  Crash crash = CrashOf(report);
  std::string out;
  out += "id: " + std::to_string(report.id) + "\n";
  out += "received: " + Field(report.receivedUtc) + "\n";
  out += "peer: " + Field(report.peer) + "\n";
  out += "path: " + Field(report.path) + "\n";
  out += "ver: " + (report.hasVer ? Field(report.ver) : std::string("(missing)")) + "\n";
  out += "file: " + Field(report.fileName) + ", " + std::to_string(report.payloadSize) + " bytes\n";
  out += "state: " + report.state + "\n";
  out += "note: " + Field(report.note) + "\n";
  out += "answered: " + std::to_string(report.httpStatus) + "\n";
  out += "program: " + Field(crash.program) + "\n";
  out += "code: " + Field(crash.code) + "\n";
  out += "address: " + Field(crash.address) + "\n";
  if (report.hasLog) {
    out += "log: " + std::to_string(report.log.size()) + " bytes\n";
  } else {
    out += "log: (none)\n";
  }
  if (report.hasStack) {
    out += "stack: " + std::to_string(frameCount) + " frames\n";
  }
  out += "\n";
  return out;
}

}  // namespace collector
