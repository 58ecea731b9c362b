#include "capture/report_guard.h"

#include <windows.h>

namespace {

class ReportLock {
 public:
  ReportLock() { InitializeCriticalSection(&section); }
  ~ReportLock() { DeleteCriticalSection(&section); }
  CRITICAL_SECTION section;
};

ReportLock reportLock;
// The thread id of the owner, 0 when free. Only the owner stores its own id, so a thread that
// reads its own id here owns the report.
volatile LONG reportOwner = 0;

}  // namespace

bool AcquireReport() {
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  if (InterlockedCompareExchange(&reportOwner, 0, 0) == self) return false;
  EnterCriticalSection(&reportLock.section);
  InterlockedExchange(&reportOwner, self);
  return true;
}

void ReleaseReport() {
  InterlockedExchange(&reportOwner, 0);
  LeaveCriticalSection(&reportLock.section);
}
