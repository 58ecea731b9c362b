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
// The thread id of the owner (or of the thread it lent the report to), 0 when free. Only the
// owner stores an id here, so a thread that reads its own id acts as the owner.
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

void LendReport(unsigned long threadId) {
  InterlockedExchange(&reportOwner, static_cast<LONG>(threadId));
}
