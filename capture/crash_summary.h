#pragma once

#include <windows.h>

#include <cstddef>

// Writes the crash summary for the given moment, host module path (null when the process has no
// module handle: the program-name line is left out) and exception record (null: the line for an
// unknown error stands in for the exception lines). Returns the number of bytes before the NUL.
std::size_t FormatCrashSummary(char* out, std::size_t size, const SYSTEMTIME& time,
                               const char* modulePath, const EXCEPTION_RECORD* record);

// Reads the upload URL, writes CrashSummary for now and the host executable, and runs the crash
// dialog from instance's resources; returns 0 once the dialog is gone.
// onShown, when given, is called on the dialog's thread once the dialog is on screen.
int ReportCrash(HINSTANCE instance, EXCEPTION_POINTERS* pointers, void (*onShown)() = nullptr);
