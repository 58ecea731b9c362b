#include "gbk.h"

#include <gtest/gtest.h>

namespace {

using collector::GbkToUtf8;

TEST(GbkToUtf8, ConvertsAsciiAndDoubleByteCharacters) {
  EXPECT_EQ(GbkToUtf8(""), "");
  EXPECT_EQ(GbkToUtf8("log.txt\r\n"), "log.txt\r\n");
  // "程序名称：" in GBK becomes the same text in UTF-8.
  EXPECT_EQ(GbkToUtf8("\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA"),
            "\xE7\xA8\x8B\xE5\xBA\x8F\xE5\x90\x8D\xE7\xA7\xB0\xEF\xBC\x9A");
  // Code page 936 puts the euro sign at 0x80.
  EXPECT_EQ(GbkToUtf8("\x80"), "\xE2\x82\xAC");
}

TEST(GbkToUtf8, ReplacesInvalidBytesAndCarriesOn) {
  // 0xFF is never valid; a lead byte 0xB3 at the very end is cut off.
  EXPECT_EQ(GbkToUtf8("a\xFF"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(GbkToUtf8("ab\xB3"), "ab\xEF\xBF\xBD");
  // A lead byte followed by a byte that cannot trail it: only the lead byte is lost.
  EXPECT_EQ(GbkToUtf8("\xB3\x0A"
                      "x"),
            "\xEF\xBF\xBD\nx");
}

TEST(GbkToUtf8, KeepsNulBytesAndLongInputWhole) {
  EXPECT_EQ(GbkToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
  // Much longer than one conversion step, with a character straddling every step boundary.
  std::string gbk;
  std::string utf8;
  for (int i = 0; i < 5000; ++i) {
    gbk += "x\xD3\xCE";  // "x游"
    utf8 += "x\xE6\xB8\xB8";
  }
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
}

// A log shown on a terminal keeps its lines and its text, but no escape sequence gets through.
TEST(StripTerminalControls, KeepsLinesAndTextDropsEscapes) {
  const std::string log = std::string(
                              "\x1b[2J\x1b]0;owned\x07line 1\r\n\tx\xC2\x9B"
                              "31m") +
                          std::string("\0", 1) +
                          "\x7f\xE6\xB8\xB8 \xC2\xA0"
                          "end\n";
  EXPECT_EQ(collector::StripTerminalControls(log),
            " [2J ]0;owned line 1\r\n\tx 31m  \xE6\xB8\xB8 \xC2\xA0"
            "end\n");
}

}  // namespace
