#pragma once

#include <windows.h>

// KEEPFILTER=1 in crashrpt.ini: a filter that the game or another library sets after
// InstallCrashRpt, or a NULL filter, no longer costs the report. That filter still runs first, and
// its answer stands unless it declines.
void KeepFilter();
// Puts back the filter KeepFilter last displaced, if ours is still the process's.
void StopKeepingFilter();

// For CrashRptFilter, before it reports: runs the filter ours displaced, if any. True when that
// filter's answer stands; *answer holds it.
bool RunDisplacedFilter(EXCEPTION_POINTERS* pointers, LONG* answer);
