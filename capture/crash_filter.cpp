#include "capture/crash_filter.h"

#include "capture/crash_path.h"
#include "capture/crash_summary.h"
#include "capture/entry_points.h"
#include "capture/handler_process.h"
#include "capture/kept_filter.h"
#include "capture/report_guard.h"

LONG WINAPI CrashRptFilter(EXCEPTION_POINTERS* pointers) {
  // With KEEPFILTER, the filter ours displaced answers first.
  LONG answer = EXCEPTION_CONTINUE_SEARCH;
  if (RunDisplacedFilter(pointers, &answer)) return answer;
  return ReportException(pointers);
}

LONG ReportException(EXCEPTION_POINTERS* pointers) {
  // First, before anything can allocate: a process that ran out of memory gets it back here.
  ReleaseMemoryReserve();
  const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
  const DWORD code = record != nullptr ? record->ExceptionCode : 0;
  // Late in termination the crash thread is gone and the library's objects are being destroyed:
  // nothing of the report can run safely any more.
  if (CrashPathGone()) TerminateProcess(GetCurrentProcess(), code);
  // The first crash keeps the report for good: the process ends after it, so later faults on
  // other threads wait here instead of overwriting the summary on screen.
  if (ReportOwnedElsewhere()) ReleaseLoaderLockOfCrashedThread();
  if (AcquireReport()) {
    // With a handler process this thread only hands the crash over and waits: the handler reads
    // everything from outside, and ends the game when the report is over.
    HandOffToHandler(pointers, GetCurrentThreadId(), StackBaseOfThisThread());
    // A thread that overflowed its stack has only the guard page left, far too little for a
    // dialog: the crash thread reports while this one waits, its record and stack intact.
    if (code != EXCEPTION_STACK_OVERFLOW || !ReportOnCrashThread(LibraryInstance, pointers)) {
      ReportOnThisThread(LibraryInstance, pointers);
    }
    // The report is over: end the game with the code here, as the platform would after this
    // filter, but without first unwinding the crashed thread, which in a process out of memory
    // can fail and end it with another code.
    TerminateProcess(GetCurrentProcess(), code);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}
