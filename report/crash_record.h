#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kCrashSummarySize = 65536;
constexpr std::size_t kReportUrlSize = 1024;
constexpr std::size_t kStackTraceSize = 49152;
constexpr std::size_t kCrashHostPathChars = 260;

// Everything one crash leaves for the player and the report: filled where the crash is caught
// (inside the game, or by the handler process reading it from outside) and handed to the dialog
// and the upload. Plain data of fixed size, so that the crash path keeps one in static memory and
// needs no heap before the player presses Send.
struct CrashRecord {
  // Time, program name and exception lines, GBK, NUL-terminated.
  char summary[kCrashSummarySize];
  // crashrpt.ini's POSTURL, NUL-terminated.
  char url[kReportUrlSize];
  // stack.txt (ASCII) where crashrpt.ini asks for it; empty otherwise, and then the upload
  // carries no stack.
  char stackTrace[kStackTraceSize];
  // The game's executable as the platform names it (UTF-16), for the apology and the restart;
  // empty when unknown.
  char16_t hostPath[kCrashHostPathChars];
  // crash.dmp where crashrpt.ini asks for it; null otherwise.
  const uint8_t* minidump;
  std::size_t minidumpSize;
};
