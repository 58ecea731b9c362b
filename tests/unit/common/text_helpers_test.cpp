#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "common/text_helpers.h"

TEST(ParseLenientInt, NullAndRejectedStartsGiveDefault) {
  EXPECT_EQ(ParseLenientInt(nullptr, 42), 42);
  EXPECT_EQ(ParseLenientInt("", 42), 42);
  EXPECT_EQ(ParseLenientInt("+5", 42), 42);
  EXPECT_EQ(ParseLenientInt("abc", -2), -2);
  EXPECT_EQ(ParseLenientInt("\xD6\xD0" "5", 7), 7);
  EXPECT_EQ(ParseLenientInt("   ", 9), 9);
}

TEST(ParseLenientInt, SkipsControlBytesAndBlanks) {
  EXPECT_EQ(ParseLenientInt(" \t\r\n\x01 12", 0), 12);
  EXPECT_EQ(ParseLenientInt("\x1f" "7x", 0), 7);
}

TEST(ParseLenientInt, DetectsBaseLikePercentI) {
  EXPECT_EQ(ParseLenientInt("10", 0), 10);
  EXPECT_EQ(ParseLenientInt("010", 0), 8);
  EXPECT_EQ(ParseLenientInt("08", -1), 0);
  EXPECT_EQ(ParseLenientInt("0x1F", 0), 31);
  EXPECT_EQ(ParseLenientInt("0X1f.2", 0), 31);
  EXPECT_EQ(ParseLenientInt("0xg", 5), 0);
  EXPECT_EQ(ParseLenientInt("0", 5), 0);
  EXPECT_EQ(ParseLenientInt("123abc", 0), 123);
}

TEST(ParseLenientInt, MinusReadsDecimalOnly) {
  EXPECT_EQ(ParseLenientInt("-", 9), 0);
  EXPECT_EQ(ParseLenientInt("-12", 0), -12);
  EXPECT_EQ(ParseLenientInt("-010", 0), -10);
  EXPECT_EQ(ParseLenientInt("-0x10", 3), 0);
  EXPECT_EQ(ParseLenientInt("-2147483648", 0), INT_MIN);
}

TEST(ParseLenientInt, OverlongNumbersWrapInsteadOfTrapping) {
  // 4294967297 = 2^32 + 1; runs under UBSan, so any signed overflow here would abort.
  EXPECT_EQ(ParseLenientInt("4294967297", 0), 1);
  EXPECT_EQ(ParseLenientInt("99999999999999999999", 0), ParseLenientInt("99999999999999999999", 1));
}

TEST(DupString, CopiesWithNulAndPassesNull) {
  EXPECT_EQ(DupString(nullptr), nullptr);
  char* copy = DupString("log.txt");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "log.txt");
  delete[] copy;
  char* empty = DupString("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], '\0');
  delete[] empty;
}

TEST(ReportUrlRule, NeedsHttpSchemeAndAtLeastEightCharacters) {
  EXPECT_FALSE(IsUsableReportUrl(nullptr));
  EXPECT_FALSE(IsUsableReportUrl(""));
  EXPECT_FALSE(IsUsableReportUrl("http://"));
  EXPECT_TRUE(IsUsableReportUrl("HTTP://x"));
  EXPECT_TRUE(IsUsableReportUrl("hTtP://127.0.0.1:8080/up"));
  EXPECT_FALSE(IsUsableReportUrl("https://x"));
  EXPECT_FALSE(IsUsableReportUrl(" http://x"));
}

TEST(ParseLenientInt, ReportsWhereTheNumberEnded) {
  struct Case {
    const char* text;
    int value;
    int consumed;
  };
  const Case cases[] = {
      {"12,3", 12, 2}, {"08", 0, 1},    {"0x1Fz", 31, 4}, {"0xg", 0, 1},
      {" -7.", -7, 3}, {"abc", -1, 0}, {"010", 8, 3},    {"", -1, 0},
  };
  for (const Case& c : cases) {
    const char* end = nullptr;
    EXPECT_EQ(ParseLenientInt(c.text, -1, &end), c.value) << c.text;
    EXPECT_EQ(end - c.text, c.consumed) << c.text;
  }
}
