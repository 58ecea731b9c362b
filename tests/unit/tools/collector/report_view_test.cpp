#include "report_view.h"

#include <gtest/gtest.h>

#include "gbk_texts.h"

namespace {

using collector::FormatList;
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

TEST(FormatList, ListsReportsAndGroupsIdenticalCrashes) {
  std::vector<StoredReport> reports;
  reports.push_back(WithLog(1, SummaryFor("a.exe", "0xc0000005", "0x401000")));
  reports.push_back(WithLog(2, "log\r\n" + SummaryFor(kGameGbk + ".exe", "0xc0000094", "0x10")));
  // Same crash as 2 at another time: same group.
  reports.push_back(
      WithLog(3, SummaryFor(kGameGbk + ".exe", "0xc0000094", "0x10", "2022-01-01 00:00:00")));
  // Same program and code, other address: its own group.
  reports.push_back(WithLog(4, SummaryFor(kGameGbk + ".exe", "0xc0000094", "0x20")));
  StoredReport broken;
  broken.id = 5;
  broken.receivedUtc = "2026-01-02T03:04:06.000Z";
  broken.state = "undecodable";
  reports.push_back(broken);
  reports.push_back(WithLog(6, UnknownSummary("a.exe")));

  // "游戏" is E6 B8 B8 E6 88 8F in UTF-8.
  const std::string game = "\xE6\xB8\xB8\xE6\x88\x8F.exe";
  EXPECT_EQ(FormatList(reports),
            "reports: 6\n"
            "1\t2026-01-02T03:04:05.000Z\t1.0.0\ta.exe\t0xc0000005\t0x401000\tarchive\n"
            "2\t2026-01-02T03:04:05.000Z\t1.0.0\t" +
                game +
                "\t0xc0000094\t0x10\tarchive\n"
                "3\t2026-01-02T03:04:05.000Z\t1.0.0\t" +
                game +
                "\t0xc0000094\t0x10\tarchive\n"
                "4\t2026-01-02T03:04:05.000Z\t1.0.0\t" +
                game +
                "\t0xc0000094\t0x20\tarchive\n"
                "5\t2026-01-02T03:04:06.000Z\t-\t-\t-\t-\tundecodable\n"
                "6\t2026-01-02T03:04:05.000Z\t1.0.0\ta.exe\tunknown\t-\tarchive\n"
                "groups: 5\n"
                "2\t" +
                game +
                "\t0xc0000094\t0x10\n"
                "1\ta.exe\t0xc0000005\t0x401000\n"
                "1\t" +
                game +
                "\t0xc0000094\t0x20\n"
                "1\t-\t-\t-\n"
                "1\ta.exe\tunknown\t-\n");
}

TEST(FormatList, KeepsEachReportOnOneLine) {
  StoredReport report = WithLog(7, "");
  report.ver = "1\t2\r\n3";
  EXPECT_EQ(FormatList({report}),
            "reports: 1\n7\t2026-01-02T03:04:05.000Z\t1 2  3\t-\t-\t-\tarchive\n"
            "groups: 1\n1\t-\t-\t-\n");
  EXPECT_EQ(FormatList({}), "reports: 0\ngroups: 0\n");
}

TEST(FormatShowHeader, NamesTheReportAndItsState) {
  StoredReport report = WithLog(9, SummaryFor("a.exe", "0xc0000005", "0x401000"));
  report.peer = "127.0.0.1:4000";
  report.path = "/crash";
  report.fileName = "log.pak";
  report.payloadSize = 99;
  report.note = "log.txt, raw";
  report.httpStatus = 200;
  std::string header = FormatShowHeader(report);
  EXPECT_NE(header.find("id: 9\n"), std::string::npos);
  EXPECT_NE(header.find("peer: 127.0.0.1:4000\n"), std::string::npos);
  EXPECT_NE(header.find("ver: 1.0.0\n"), std::string::npos);
  EXPECT_NE(header.find("file: log.pak, 99 bytes\n"), std::string::npos);
  EXPECT_NE(header.find("state: archive\n"), std::string::npos);
  EXPECT_NE(header.find("code: 0xc0000005\n"), std::string::npos);
  ASSERT_GE(header.size(), 2u);
  EXPECT_EQ(header.substr(header.size() - 2), "\n\n");
  report.hasVer = false;
  EXPECT_NE(FormatShowHeader(report).find("ver: (missing)\n"), std::string::npos);
}

}  // namespace
