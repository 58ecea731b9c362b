#pragma once

#include <windows.h>

// The process's top-level exception filter while the library is enabled: reports the crash, then
// lets the platform end the process.
LONG WINAPI CrashRptFilter(EXCEPTION_POINTERS* pointers);

// The filter's own work, without the displaced filter KEEPFILTER runs first: for deaths the
// library caught itself.
LONG ReportException(EXCEPTION_POINTERS* pointers);
