#include "minidump.h"

#include <gtest/gtest.h>

#include <cstring>

#include "minidump_builder.h"

namespace {

using collector::Minidump;
using collector::ParseMinidump;
using collector_test::DumpBytes;
using collector_test::SampleMinidump;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string ParseError(const std::string& bytes) {
  Minidump dump;
  std::string error;
  EXPECT_FALSE(ParseMinidump(Bytes(bytes), bytes.size(), &dump, &error));
  EXPECT_TRUE(dump.threads.empty() && dump.modules.empty());
  return error;
}

TEST(Minidump, ReadsEveryStreamOfAHandMadeDump) {
  std::string bytes = SampleMinidump();
  Minidump dump;
  std::string error;
  ASSERT_TRUE(ParseMinidump(Bytes(bytes), bytes.size(), &dump, &error)) << error;
  EXPECT_EQ(dump.timestamp, 0x65000000u);
  EXPECT_TRUE(dump.system.present);
  EXPECT_EQ(dump.system.processorLevel, 6);
  EXPECT_EQ(dump.system.processorRevision, 0x3A09);
  EXPECT_EQ(dump.system.processorCount, 2);
  EXPECT_EQ(dump.system.buildNumber, 7601u);
  EXPECT_EQ(dump.system.platformId, 2u);
  EXPECT_EQ(dump.system.csdVersion, "Service Pack 1");

  ASSERT_TRUE(dump.exception.present);
  EXPECT_EQ(dump.exception.threadId, 0x124u);
  EXPECT_EQ(dump.exception.code, 0xC0000005u);
  EXPECT_EQ(dump.exception.address, 0x0040155Du);
  EXPECT_TRUE(dump.exception.context.present);
  EXPECT_EQ(dump.exception.context.eip, 0x0040155Du);
  EXPECT_EQ(dump.exception.context.esp, 0x0019FF00u);
  EXPECT_EQ(dump.exception.context.eax, 0xEAEAEAEAu);
  EXPECT_EQ(dump.exception.context.raw.size, collector::X86Context::kSize);

  ASSERT_EQ(dump.threads.size(), 2u);
  EXPECT_EQ(dump.threads[0].id, 0x124u);
  EXPECT_EQ(dump.threads[0].teb, 0x7FFDE000u);
  EXPECT_EQ(dump.threads[0].stackStart, 0x0019F000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dump.threads[0].stack.data),
                        dump.threads[0].stack.size),
            std::string("\x11\x22\x33\x44stack", 9));
  EXPECT_EQ(dump.threads[1].context.eip, 0x77000010u);

  ASSERT_EQ(dump.modules.size(), 2u);
  EXPECT_EQ(dump.modules[0].name, "C:\\game\\crashgame.exe");
  EXPECT_EQ(dump.modules[0].pdbName, "crashgame.pdb");
  EXPECT_EQ(dump.modules[0].DebugId(), "3F2504E011898D4F9A0C0305E82C33011");
  EXPECT_EQ(dump.modules[0].CodeId(), "656F1A2B21000");
  EXPECT_EQ(dump.modules[1].name, "C:\\windows\\\xE6\xB8\xB8\xE6\x88\x8F.dll");  // 游戏.dll
  EXPECT_FALSE(dump.modules[1].hasCodeView);
  EXPECT_EQ(dump.modules[1].DebugId(), "");
  EXPECT_EQ(dump.modules[1].CodeId(), "00000001a0000");

  // Read serves stacks and ranges, and nothing that straddles their ends.
  uint32_t word = 0;
  ASSERT_TRUE(dump.Read(0x0019F000, &word, 4));
  EXPECT_EQ(word, 0x44332211u);
  ASSERT_TRUE(dump.Read(0x004016FC, &word, 4));
  EXPECT_EQ(word, 0x90909090u);
  EXPECT_FALSE(dump.Read(0x004016FE, &word, 4));
  EXPECT_FALSE(dump.Read(0x0019EFFF, &word, 4));
  EXPECT_FALSE(dump.Read(0xFFFFFFFFFFFFFFFFull, &word, 4));
}

TEST(Minidump, RefusesWhatPointsOutsideTheInput) {
  const std::string good = SampleMinidump();
  EXPECT_EQ(ParseError(""), "not a minidump (no MDMP header)");
  EXPECT_EQ(ParseError(good.substr(0, 40)), "stream directory outside the file");
  EXPECT_EQ(ParseError(good.substr(0, good.size() - 1)), "service pack string outside the file");

  // Every stream's directory entry in turn pointed past the end.
  for (int i = 0; i < 5; ++i) {
    DumpBytes bad{good};
    bad.Set32(32 + 12 * i + 8, static_cast<uint32_t>(good.size() - 2));
    EXPECT_NE(ParseError(bad.bytes).find("outside the file"), std::string::npos) << i;
  }

  // A thread list claiming four billion threads in a stream of 100 bytes.
  DumpBytes absurd{good};
  uint32_t threadList = 32 + 5 * 12;
  absurd.Set32(threadList, 0xFFFFFFFF);
  EXPECT_EQ(ParseError(absurd.bytes),
            "thread list stream claims 4294967295 entries, more than it holds");

  // A directory claiming more streams than the file holds.
  DumpBytes streams{good};
  streams.Set32(8, 0x20000000);
  EXPECT_EQ(ParseError(streams.bytes), "stream directory outside the file");

  // A thread's stack beyond the end.
  DumpBytes stack{good};
  stack.Set32(threadList + 4 + 32 + 4, static_cast<uint32_t>(good.size()));
  EXPECT_EQ(ParseError(stack.bytes), "thread 0: stack outside the file");

  // Unknown streams are skipped; a second stream of a known kind does not replace the first.
  DumpBytes unknown{good};
  unknown.Set32(32, 0x4000);
  unknown.Set32(32 + 12 * 2, 4);
  Minidump dump;
  ASSERT_TRUE(ParseMinidump(Bytes(unknown.bytes), unknown.bytes.size(), &dump, nullptr));
  EXPECT_TRUE(dump.threads.empty());
  EXPECT_TRUE(dump.memory.empty());
  EXPECT_EQ(dump.modules.size(), 2u);
}

}  // namespace
