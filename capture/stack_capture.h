#pragma once

#include <windows.h>

#include "capture/process_reader.h"
#include "report/crash_record.h"

// Where a crash happened, copied out of the crashed process.
struct CrashSite {
  EXCEPTION_RECORD record;
  CONTEXT context;
  DWORD threadId;
  // The top of the crashed thread's stack (its TIB's StackBase).
  DWORD stackBase;
};

// What crashrpt.ini's [INFO] asks a crash to record besides the summary: STACKTRACE=1 and
// MINIDUMP=1, read from the current directory.
struct CaptureWants {
  bool stack;
  bool minidump;
};
CaptureWants CaptureWanted();

// Records what wants asks for into crash: stack.txt (the crashed thread's registers, every
// loaded module and the frames of its stack) and crash.dmp (every thread of processId but
// callerThreadId, the modules and the memory around the fault). Other threads stand still while
// the dump is written. Uses static memory and pages of its own only, and takes no lock a crashed
// process may hold: it runs on the crash path's own thread, or in the handler process.
// exeName: the executable's file name (GBK), which usually exports none.
void CaptureCrash(ProcessMemory& memory, DWORD processId, DWORD callerThreadId,
                  const CrashSite& site, const char* exeName, CaptureWants wants,
                  CrashRecord& crash);
