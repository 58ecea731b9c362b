#include "render/report_view.h"

#include "gbk.h"

namespace collector {
namespace {

// One field of a tab-separated line: UTF-8, no control characters, never empty.
std::string Field(const std::string& text) {
  std::string clean = StripControls(text);
  return clean.empty() ? "-" : clean;
}

std::string GbkField(const std::string& gbk) { return Field(GbkToUtf8(gbk)); }

}  // namespace

std::string FormatReportLine(const CrashEntry& entry) {
  return std::to_string(entry.id) + "\t" + Field(entry.receivedUtc) + "\t" + Field(entry.ver) +
         "\t" + Field(entry.program) + "\t" + Field(entry.code) + "\t" + Field(entry.address) +
         "\t" + Field(entry.state) + "\n";
}

std::string FormatGroupLine(const GroupSummary& group) {
  std::string where;
  for (const std::string& frame : group.topFrames) {
    where += (where.empty() ? "" : " | ") + frame;
  }
  return std::to_string(group.count) + "\t" + Field(group.program) + "\t" + Field(group.code) +
         "\t" + Field(group.topFrames.empty() ? group.address : where) + "\n";
}

std::string MinidumpText(const MinidumpSummary& dump) {
  if (!dump.present) {
    return "";
  }
  if (!dump.decoded) {
    return "not decoded: " + StripControls(dump.error);
  }
  std::string size = std::to_string(dump.bytes) + " bytes";
  if (!dump.readable) {
    return "unreadable (" + size + "): " + StripControls(dump.error);
  }
  return std::to_string(dump.threads) + (dump.threads == 1 ? " thread, " : " threads, ") +
         std::to_string(dump.modules) + (dump.modules == 1 ? " module (" : " modules (") + size +
         ")";
}

std::string FormatShowHeader(const ReportDetail& detail) {
  const StoredReport& report = detail.row;
  const CrashEntry& crash = detail.crash;
  std::string out;
  out += "id: " + std::to_string(detail.hasRow ? report.id : crash.id) + "\n";
  if (!detail.hasRow) {
    out += "received: " + Field(crash.receivedUtc) + "\n";
    out += "ver: " + (crash.hasVer ? Field(crash.ver) : std::string("(missing)")) + "\n";
    out += "state: " + Field(crash.state) + "\n";
    out += "pruned: the upload and its log were removed by retention\n";
  } else {
    out += "received: " + GbkField(report.receivedUtc) + "\n";
    out += "peer: " + GbkField(report.peer) + "\n";
    out += "path: " + GbkField(report.path) + "\n";
    out += "ver: " + (report.hasVer ? GbkField(report.ver) : std::string("(missing)")) + "\n";
    out += "file: " + GbkField(report.fileName) + ", " + std::to_string(report.payloadSize) +
           " bytes\n";
    out += "state: " + report.state + "\n";
    out += "note: " + GbkField(report.note) + "\n";
    out += "answered: " + std::to_string(report.httpStatus) + "\n";
  }
  if (detail.hasCrash) {
    out += "group: " + std::to_string(crash.groupId) + "\n";
  }
  out += "program: " + Field(crash.program) + "\n";
  out += "code: " + Field(crash.code) + "\n";
  out += "address: " + Field(crash.address) + "\n";
  if (detail.hasLog) {
    out += "log: " + std::to_string(detail.log.size()) + " bytes\n";
  } else {
    out += "log: (none)\n";
  }
  if (detail.hasStack) {
    out += "stack: " + std::to_string(detail.stackFrames) + " frames\n";
  }
  if (detail.minidump.present) {
    out += "minidump: " + MinidumpText(detail.minidump) + "\n";
  }
  out += "\n";
  return out;
}

}  // namespace collector
