#include "render/report_view.h"

#include <gtest/gtest.h>

#include "gbk_texts.h"

namespace {

using collector::FormatShowHeader;
using collector::StoredReport;
using namespace collector_test;

StoredReport WithLog(int64_t id, const std::string& log) {
  StoredReport report;
  report.id = id;
  report.receivedUtc = "2026-01-02T03:04:05.000Z";
  report.hasVer = true;
  report.ver = "1.0.0";
  report.hasLog = true;
  report.log = log;
  report.state = "archive";
  return report;
}

TEST(FormatList, KeepsEachReportAndGroupOnOneLine) {
  collector::CrashEntry entry;
  entry.id = 7;
  entry.receivedUtc = "2026-01-02T03:04:05.000Z";
  entry.ver = "1\t2\r\n3";
  entry.state = "archive";
  EXPECT_EQ(collector::FormatReportLine(entry),
            "7\t2026-01-02T03:04:05.000Z\t1 2  3\t-\t-\t-\tarchive\n");
  collector::GroupSummary group;
  group.count = 3;
  group.program = "a.exe";
  group.topFrames = {"Crash", "Inner\tcall", "main"};
  EXPECT_EQ(collector::FormatGroupLine(group), "3\ta.exe\t-\tCrash | Inner call | main\n");
}

TEST(FormatShowHeader, NamesTheReportAndItsState) {
  StoredReport report = WithLog(9, SummaryFor("a.exe", "0xc0000005", "0x401000"));
  report.peer = "127.0.0.1:4000";
  report.path = "/crash";
  report.fileName = "log.pak";
  report.payloadSize = 99;
  report.note = "log.txt, raw";
  report.httpStatus = 200;
  collector::ReportDetail detail;
  detail.hasRow = true;
  detail.row = report;
  detail.hasCrash = true;
  detail.crash.code = "0xc0000005";
  detail.hasLog = true;
  detail.log = report.log;
  std::string header = FormatShowHeader(detail);
  EXPECT_NE(header.find("id: 9\n"), std::string::npos);
  EXPECT_NE(header.find("peer: 127.0.0.1:4000\n"), std::string::npos);
  EXPECT_NE(header.find("ver: 1.0.0\n"), std::string::npos);
  EXPECT_NE(header.find("file: log.pak, 99 bytes\n"), std::string::npos);
  EXPECT_NE(header.find("state: archive\n"), std::string::npos);
  EXPECT_NE(header.find("code: 0xc0000005\n"), std::string::npos);
  ASSERT_GE(header.size(), 2u);
  EXPECT_EQ(header.substr(header.size() - 2), "\n\n");
  detail.row.hasVer = false;
  EXPECT_NE(FormatShowHeader(detail).find("ver: (missing)\n"), std::string::npos);
}

}  // namespace
