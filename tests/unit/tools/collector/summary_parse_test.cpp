#include "formats/summary_parse.h"

#include <gtest/gtest.h>

#include "gbk_texts.h"

namespace {

using collector::CrashFacts;
using collector::ParseCrashFacts;
using namespace collector_test;

TEST(ParseCrashFacts, ReadsEveryLineOfTheSummaryAfterTheGameLog) {
  std::string log = "[12:00:01] map loaded\r\n[12:00:02] player joined\r\n\r\n" +
                    SummaryFor("game.exe", "0xc0000005", "0x401000");
  CrashFacts facts = ParseCrashFacts(log);
  EXPECT_TRUE(facts.found);
  EXPECT_FALSE(facts.unknownError);
  EXPECT_EQ(facts.time, "2021-03-02 04:05:06");
  EXPECT_EQ(facts.program, "game.exe");
  EXPECT_EQ(facts.code, "0xc0000005");
  EXPECT_EQ(facts.address, "0x401000");
  EXPECT_EQ(facts.flags, "0");
}

TEST(ParseCrashFacts, KeepsGbkProgramNamesAndSignExtendedAddresses) {
  CrashFacts facts =
      ParseCrashFacts(SummaryFor(kGameGbk + ".exe", "0x80000003", "0xffffffff80001234"));
  EXPECT_EQ(facts.program, kGameGbk + ".exe");
  EXPECT_EQ(facts.code, "0x80000003");
  EXPECT_EQ(facts.address, "0xffffffff80001234");
}

TEST(ParseCrashFacts, RecognisesTheSummaryWithoutExceptionRecord) {
  CrashFacts facts = ParseCrashFacts("log\r\n" + UnknownSummary("game.exe"));
  EXPECT_TRUE(facts.found);
  EXPECT_TRUE(facts.unknownError);
  EXPECT_EQ(facts.program, "game.exe");
  EXPECT_EQ(facts.code, "");
  EXPECT_EQ(facts.address, "");
}

TEST(ParseCrashFacts, UsesOnlyTheLastSummaryWhenTheGameLogHoldsAnOlderOne) {
  // The older summary names another program and code; the current one has no program line
  // (its module handle was missing), which must not let the old name through.
  std::string current = kTimeLabel + "2021-03-02 04:05:06\r\n\r\n" + kCodeLabel + "0xc0000094\r\n" +
                        kAddressLabel + "0x402000\r\n" + kFlagsLabel + "1\r\n";
  std::string log = SummaryFor("old.exe", "0xc0000005", "0x401000") + "more log\r\n" + current;
  CrashFacts facts = ParseCrashFacts(log);
  EXPECT_EQ(facts.program, "");
  EXPECT_EQ(facts.code, "0xc0000094");
  EXPECT_EQ(facts.address, "0x402000");
  EXPECT_EQ(facts.flags, "1");
}

TEST(ParseCrashFacts, IgnoresLabelsInsideALineAndFindsNothingInPlainLogs) {
  CrashFacts facts = ParseCrashFacts("note: " + kCodeLabel + "0x1\r\nplain text\n");
  EXPECT_FALSE(facts.found);
  EXPECT_EQ(facts.code, "");
  EXPECT_FALSE(ParseCrashFacts("").found);
  // A summary cut off in the middle of a line still gives what is there.
  facts = ParseCrashFacts(kTimeLabel + "2021-03-02 04:05:06\r\n\r\n" + kProgramLabel + "ga");
  EXPECT_EQ(facts.program, "ga");
}

}  // namespace
