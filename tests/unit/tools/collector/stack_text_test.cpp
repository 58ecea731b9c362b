#include "stack_text.h"

#include <gtest/gtest.h>

namespace {

using collector::ParseStackText;
using collector::StackTrace;

// The DLL's own example: formatting what was parsed gives the same bytes back.
const std::string kExample =
    "VexoCrashRpt stack 1\r\n"
    "exception 0xc0000005 0x0040155d\r\n"
    "thread 0x00000124\r\n"
    "registers eax=0x00000000 ebx=0x00000001 ecx=0x0063fe40 edx=0x00000000 esi=0x00000002 "
    "edi=0x00000000 ebp=0x0063fe28 esp=0x0063fe10 eip=0x0040155d eflags=0x00010246\r\n"
    "module 0x00400000 0x00021000 0x656f1a2b 3F2504E04F8911D39A0C0305E82C33011 crashgame.exe\r\n"
    "module 0x62b80000 0x00060000 0x656f1a2a - Vexo Crash Rpt.dll|C:\\b\\vexo.pdb\r\n"
    "#0 crashgame.exe+0x155d context\r\n"
    "#1 Vexo Crash Rpt.dll+0x1592 fp\r\n"
    "#2 crashgame.exe+0x15c0 scan\r\n"
    "#3 0x7b62f0a1 scan\r\n";

TEST(StackText, ReadsTheGrammarAndWritesItBack) {
  StackTrace trace = ParseStackText(kExample);
  EXPECT_TRUE(trace.hasHeader);
  EXPECT_EQ(trace.code, 0xc0000005u);
  EXPECT_EQ(trace.thread, 0x124u);
  ASSERT_EQ(trace.registers.size(), 10u);
  EXPECT_EQ(trace.registers[9], std::make_pair(std::string("eflags"), 0x10246u));
  ASSERT_EQ(trace.modules.size(), 2u);
  EXPECT_EQ(trace.modules[0].debugId, "3F2504E04F8911D39A0C0305E82C33011");
  EXPECT_EQ(trace.modules[1].name, "Vexo Crash Rpt.dll");
  EXPECT_EQ(trace.modules[1].debugFile, "C:\\b\\vexo.pdb");
  EXPECT_TRUE(trace.modules[1].debugId.empty());
  ASSERT_EQ(trace.frames.size(), 4u);
  EXPECT_EQ(trace.frames[1].module, "Vexo Crash Rpt.dll");
  EXPECT_EQ(trace.frames[1].offset, 0x1592u);
  EXPECT_EQ(trace.frames[3].address, 0x7b62f0a1u);
  EXPECT_EQ(collector::ModuleOf(trace, trace.frames[1]), &trace.modules[1]);
  EXPECT_EQ(collector::FormatStackText(trace), kExample);
}

TEST(StackText, SkipsWhatItDoesNotKnow) {
  std::string text = std::string("garbage\0\xFF\r\n", 11) +
                     "module 0x1 0x2 0x3 NOTANID x.dll\r\n"  // bad debug id
                     "module 0x1 0x2 0x3 -\r\n"              // no name
                     "#0 x.dll+0xzz fp\r\n"                  // bad offset
                     "#1 x.dll+0x10\r\n"                     // no method
                     "#x 0x1 fp\r\n"
                     "exception 0xc0000005\r\n"
                     "#2 x.dll+0x10 fp\n";  // LF alone is still a line end
  for (int i = 0; i < 70; ++i) {
    text += "#" + std::to_string(i + 3) + " 0x00000001 scan\r\n";
  }
  StackTrace trace = ParseStackText(text);
  EXPECT_FALSE(trace.hasHeader);
  EXPECT_FALSE(trace.hasException);
  EXPECT_TRUE(trace.modules.empty());
  ASSERT_EQ(trace.frames.size(), collector::kMaxStackFrames);
  EXPECT_EQ(trace.frames[0].index, 2u);
  EXPECT_EQ(trace.frames[0].module, "x.dll");
  EXPECT_EQ(collector::ModuleOf(trace, trace.frames[0]), nullptr);
}

}  // namespace
