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
  std::string text = GbkToUtf8(gbk);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = ' ';
    }
  }
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

std::string FormatList(const std::vector<StoredReport>& reports) {
  using Key = std::tuple<std::string, std::string, std::string>;
  struct Group {
    size_t count = 0;
    int64_t firstId = 0;
  };
  std::map<Key, Group> groups;
  std::string out = "reports: " + std::to_string(reports.size()) + "\n";
  for (const StoredReport& report : reports) {
    Crash crash = CrashOf(report);
    Key key{Field(crash.program), Field(crash.code), Field(crash.address)};
    out += std::to_string(report.id) + "\t" + Field(report.receivedUtc) + "\t" + Field(report.ver) +
           "\t" + std::get<0>(key) + "\t" + std::get<1>(key) + "\t" + std::get<2>(key) + "\t" +
           report.state + "\n";
    Group& group = groups[key];
    if (group.count++ == 0) {
      group.firstId = report.id;
    }
  }
  std::vector<std::pair<Key, Group>> ordered(groups.begin(), groups.end());
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
    if (a.second.count != b.second.count) {
      return a.second.count > b.second.count;
    }
    return a.second.firstId < b.second.firstId;
  });
  out += "groups: " + std::to_string(ordered.size()) + "\n";
  for (const auto& [key, group] : ordered) {
    out += std::to_string(group.count) + "\t" + std::get<0>(key) + "\t" + std::get<1>(key) + "\t" +
           std::get<2>(key) + "\n";
  }
  return out;
}

std::string FormatShowHeader(const StoredReport& report) {
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
  out += "\n";
  return out;
}

}  // namespace collector
