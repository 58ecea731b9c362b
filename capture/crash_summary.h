#pragma once

#include <windows.h>

#include <cstddef>

#include "report/crash_record.h"

// Writes the crash summary for the given moment, host module path (null when the process has no
// module handle: the program-name line is left out) and exception record (null: the line for an
// unknown error stands in for the exception lines). Returns the number of bytes before the NUL.
std::size_t FormatCrashSummary(char* out, std::size_t size, const SYSTEMTIME& time,
                               const char* modulePath, const EXCEPTION_RECORD* record);

// The crash this process reports. Static, so that nothing of it needs the heap.
CrashRecord& TheCrash();

// Reads the upload URL from crashrpt.ini in the current directory, writes the summary for now,
// the exception record (null: none) and the host executable (GBK and wide paths; null or empty:
// unknown). The stack and the dump are left as they are.
void FillCrashRecord(CrashRecord& crash, const EXCEPTION_RECORD* record, const char* hostPath,
                     const wchar_t* hostPathW);

// Fills TheCrash() for this process and runs the crash dialog from instance's resources; returns
// 0 once the dialog is gone. onShown, when given, is called on the dialog's thread once the
// dialog is on screen.
int ReportCrash(HINSTANCE instance, EXCEPTION_POINTERS* pointers, void (*onShown)() = nullptr);
