#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "report/log_text.h"
#include "report/report_version.h"
#include "tests/unit/report/report_test_folder.h"

namespace {

std::string Text(const ReportVersion& version) {
  char text[kVersionTextSize];
  FormatVersionText(version, text);
  return text;
}

TEST(ReportVersionTest, CsvGivesTheFirstThreeNumbersAfterTheFirstLineFeed) {
  const struct {
    const char* csv;
    const char* version;
  } cases[] = {
      {"name,major,minor,patch\r\nVexo Quest,1,2,3\r\n", "1.2.3"},
      {"v\n12,3,4\n", "12.3.4"},
      {"v\n1.10.3\n", "1.10.3"},
      {"v\n1,08,3\n", "1.0.8"},  // 08 reads as octal 0, then the 8 on its own
      {"v\n5\n7,8\n", "5.7.8"},
      {"v\n100.200.300\n", "100.200.3"},
      {"v\n-7,0x1f\n", "7.31.0"},  // a '-' is no digit; 0x is hexadecimal
      {"1,2,3", "0.0.0"},
      {"v\n0,0,0\n", "0.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.version, Text(VersionFromCsvText(c.csv))) << c.csv;
}

TEST(ReportVersionTest, ConfValueIsDottedNumbersElseOneZeroZero) {
  const struct {
    const char* value;
    const char* version;
  } cases[] = {
      {"2.5", "2.5.0"},       {"1..3", "1.0.3"},  {"-1.0.0", "-1.0.0"}, {"0x10.1.1", "16.1.1"},
      {"1.4.27.9", "1.4.27"}, {"0.0.0", "1.0.0"}, {"abc", "1.0.0"},     {"", "1.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.version, Text(VersionFromConfValue(c.value))) << c.value;
}

unsigned ConfTwoFive(char* buffer, unsigned size) {
  std::snprintf(buffer, size, "2.5");
  return 3;
}

TEST(ReportVersionTest, CsvWithoutVersionFallsBackToConfThenToOneZeroZero) {
  ReportTestFolder folder;
  const std::string csv = folder.Prefix() + "ver.csv";
  EXPECT_EQ("1.0.0", Text(ReadReportVersion(csv.c_str(), nullptr)));
  EXPECT_EQ("2.5.0", Text(ReadReportVersion(csv.c_str(), ConfTwoFive)));
  folder.Write("ver.csv", "v\n0,0,0\n");
  EXPECT_EQ("2.5.0", Text(ReadReportVersion(csv.c_str(), ConfTwoFive)));
  folder.Write("ver.csv", "v\n3,0,0\n");
  EXPECT_EQ("3.0.0", Text(ReadReportVersion(csv.c_str(), ConfTwoFive)));
}

std::string Bytes(const LogText& text) { return std::string(text.data(), text.size()); }

TEST(LogTextTest, LogLineBreakAndSummaryOrTheFallbackLine) {
  // log.txt读取失败 CR LF
  const std::string fallback = "log.txt\xB6\xC1\xC8\xA1\xCA\xA7\xB0\xDC\r\n";
  const std::string nulLog("\0first\0", 7);
  const struct {
    std::string log;
    const char* summary;
    std::string text;
  } cases[] = {
      {"line\r\n", "S\r\n", "line\r\n\r\nS\r\n"},
      {nulLog, "S", nulLog + "\r\nS"},  // the game's log is sent whole, NUL bytes included
      {"x", "", "x\r\n"},
      {"", "S", fallback + "S"},
      {"", "", ""},  // nothing to send
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, Bytes(LogText::Assemble(c.log.data(), c.log.size(), c.summary))) << c.log;
  }

  ReportTestFolder folder;
  const std::string path = folder.Prefix() + "log.txt";
  EXPECT_EQ(fallback + "S", Bytes(LogText::Read(path.c_str(), "S")));
  folder.Write("log.txt", "");
  EXPECT_EQ(fallback + "S", Bytes(LogText::Read(path.c_str(), "S")));
  EXPECT_TRUE(LogText::Read(path.c_str(), "").empty());
}

}  // namespace
