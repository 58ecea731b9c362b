#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "capture/crash_summary.h"
#include "capture/crash_filter.h"
#include "capture/entry_points.h"
#include "capture/hook_registry.h"
#include "dialog/host_module.h"

namespace {

// 异常时间：
#define TIME_LABEL "\xD2\xEC\xB3\xA3\xCA\xB1\xBC\xE4\xA3\xBA"
// 程序名称：
#define NAME_LABEL "\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA"
// 异常编号：
#define CODE_LABEL "\xD2\xEC\xB3\xA3\xB1\xE0\xBA\xC5\xA3\xBA"
// 异常地址：
#define ADDRESS_LABEL "\xD2\xEC\xB3\xA3\xB5\xD8\xD6\xB7\xA3\xBA"
// 异常分类：
#define FLAGS_LABEL "\xD2\xEC\xB3\xA3\xB7\xD6\xC0\xE0\xA3\xBA"
// 未知的错误信息！
#define UNKNOWN_LINE "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xA1"

SYSTEMTIME FixedTime() {
  SYSTEMTIME time{};
  time.wYear = 2021;
  time.wMonth = 3;
  time.wDay = 2;
  time.wHour = 4;
  time.wMinute = 5;
  time.wSecond = 6;
  return time;
}

EXCEPTION_RECORD Record(DWORD code, DWORD flags, ULONG_PTR address) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionFlags = flags;
  record.ExceptionAddress = reinterpret_cast<void*>(address);
  return record;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
    out += ' ';
  }
  return out;
}

std::string Summary(const char* modulePath, const EXCEPTION_RECORD* record) {
  char buffer[1024];
  std::memset(buffer, 'Z', sizeof buffer);
  const std::size_t length = FormatCrashSummary(buffer, sizeof buffer, FixedTime(), modulePath,
                                                record);
  EXPECT_EQ(buffer[length], '\0');
  return std::string(buffer, length);
}

TEST(Platform, AnsiCodePageIsGbk) { EXPECT_EQ(GetACP(), 936u); }

TEST(CrashSummaryText, AccessViolationWithHighAddress) {
  const EXCEPTION_RECORD record = Record(EXCEPTION_ACCESS_VIOLATION, 0, 0x8badf00d);
  const std::string expected =
      TIME_LABEL "2021-03-02 04:05:06\r\n\r\n"
      NAME_LABEL "game.exe\r\n\r\n"
      CODE_LABEL "0xc0000005\r\n"
      ADDRESS_LABEL "0xffffffff8badf00d\r\n"
      FLAGS_LABEL "0\r\n";
  EXPECT_EQ(Hex(Summary("C:\\Game\\bin\\game.exe", &record)), Hex(expected));
}

TEST(CrashSummaryText, LowAddressHasNoLeadingZerosAndFlagsPrintSigned) {
  const EXCEPTION_RECORD record = Record(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0x401a);
  const std::string expected =
      TIME_LABEL "2021-03-02 04:05:06\r\n\r\n"
      NAME_LABEL "a.exe\r\n\r\n"
      CODE_LABEL "0xe06d7363\r\n"
      ADDRESS_LABEL "0x401a\r\n"
      FLAGS_LABEL "1\r\n";
  EXPECT_EQ(Hex(Summary("D:\\a.exe", &record)), Hex(expected));

  const EXCEPTION_RECORD small = Record(0x5, 0xFFFFFFFF, 0);
  EXPECT_NE(Summary("x", &small).find(CODE_LABEL "0x00000005\r\n" ADDRESS_LABEL
                                      "0x0\r\n" FLAGS_LABEL "-1\r\n"),
            std::string::npos);
}

TEST(CrashSummaryText, NoRecordGivesUnknownLine) {
  EXPECT_EQ(Hex(Summary("game.exe", nullptr)),
            Hex(TIME_LABEL "2021-03-02 04:05:06\r\n\r\n" NAME_LABEL "game.exe\r\n\r\n"
                UNKNOWN_LINE "\r\n"));
}

TEST(CrashSummaryText, NoModuleLeavesOutTheNameLine) {
  const EXCEPTION_RECORD record = Record(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0x10);
  EXPECT_EQ(Hex(Summary(nullptr, &record)),
            Hex(TIME_LABEL "2021-03-02 04:05:06\r\n\r\n" CODE_LABEL "0xc0000094\r\n" ADDRESS_LABEL
                           "0x10\r\n" FLAGS_LABEL "0\r\n"));
  EXPECT_EQ(Hex(Summary("", nullptr)),
            Hex(TIME_LABEL "2021-03-02 04:05:06\r\n\r\n" NAME_LABEL "\r\n\r\n" UNKNOWN_LINE "\r\n"));
}

TEST(CrashSummaryText, ProgramNameRules) {
  EXPECT_STREQ(HostBaseName("C:\\Game\\bin\\game.exe"), "game.exe");
  EXPECT_STREQ(HostBaseName("game.exe"), "game.exe");
  EXPECT_STREQ(HostBaseName("C:\\Game\\"), "C:\\Game\\");
  // 乗 is 0x81 0x5C in GBK: its trail byte is taken for a backslash, as the bytewise search does.
  EXPECT_STREQ(HostBaseName("C:\\x\x81\x5C" "y.exe"), "y.exe");
  EXPECT_STREQ(HostBaseName("\x81\x5C"), "\x81\x5C");
  EXPECT_EQ(Summary("C:\\Game\\", nullptr).find(NAME_LABEL "C:\\Game\\\r\n\r\n"), 33u);
}

TEST(CrashSummaryText, StopsAtTheBufferEnd) {
  char buffer[16];
  std::memset(buffer, 'Z', sizeof buffer);
  const std::size_t length = FormatCrashSummary(buffer, sizeof buffer, FixedTime(), "g", nullptr);
  EXPECT_EQ(length, 15u);
  EXPECT_EQ(buffer[15], '\0');
}

TEST(HookRegistryList, KeepsArmingOrderAndUnlinksAnywhere) {
  HookRegistry registry;
  ThreadHook* first = registry.NewRecord(1);
  registry.Append(first);
  ThreadHook* second = registry.NewRecord(2);
  registry.Append(second);
  ThreadHook* third = registry.NewRecord(3);
  registry.Append(third);
  EXPECT_EQ(registry.count(), 3u);
  EXPECT_EQ(registry.Find(2), second);
  EXPECT_EQ(registry.Find(9), nullptr);
  registry.Remove(second);
  EXPECT_EQ(registry.count(), 2u);
  EXPECT_EQ(registry.first(), first);
  EXPECT_EQ(first->next, third);
  EXPECT_EQ(third->prev, first);
  registry.Remove(first);
  EXPECT_EQ(registry.first(), third);
  EXPECT_EQ(third->prev, nullptr);
  registry.Clear();
  EXPECT_EQ(registry.count(), 0u);
  EXPECT_EQ(registry.first(), nullptr);
}

TEST(HookRegistryList, LookupTakesTheOldestMatch) {
  HookRegistry registry;
  ThreadHook* older = registry.NewRecord(7);
  registry.Append(older);
  registry.Append(registry.NewRecord(7));
  EXPECT_EQ(registry.Find(7), older);
}

TEST(HookRegistryList, FullRegistryThrowsLengthErrorAndLinksNothing) {
  HookRegistry registry(2);
  registry.Append(registry.NewRecord(1));
  registry.Append(registry.NewRecord(2));
  try {
    registry.NewRecord(3);
    FAIL() << "no length error";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "list<T> too long");
  }
  EXPECT_EQ(registry.count(), 2u);
  EXPECT_EQ(registry.Find(3), nullptr);
  EXPECT_EQ(kMaxThreadHooks, 0x1FFFFFFFu);
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

// A record that cannot be added leaves the thread unarmed and the filter untouched.
TEST(ThreadArming, FullRegistryLeavesTheThreadUnarmed) {
  SetUnhandledExceptionFilter(HostFilter);
  TheHookRegistry.set_max_count(0);
  EXPECT_EQ(InstallCrashRpt(), kThreadHookFailed);
  EXPECT_EQ(CurrentFilter(), HostFilter);
  EXPECT_EQ(TheHookRegistry.count(), 0u);
  TheHookRegistry.set_max_count(kMaxThreadHooks);
  EXPECT_EQ(InstallCrashRpt(), kThreadHookDone);
  EXPECT_EQ(CurrentFilter(), CrashRptFilter);
  EXPECT_EQ(TheHookRegistry.count(), 1u);
  UninstallCrashRpt();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  EXPECT_EQ(TheHookRegistry.count(), 0u);
  EXPECT_EQ(HooksEnabled, 0);
  SetUnhandledExceptionFilter(nullptr);
}

}  // namespace
