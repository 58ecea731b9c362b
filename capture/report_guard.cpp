#include "capture/report_guard.h"

#include "capture/critical_section.h"

namespace {

CriticalSection reportLock;
// The thread id of the owner (or of the thread it lent the report to), 0 when free. Only the
// owner stores an id here, so a thread that reads its own id acts as the owner.
volatile LONG reportOwner = 0;

}  // namespace

bool AcquireReport() {
  const LONG self = static_cast<LONG>(GetCurrentThreadId());
  if (InterlockedCompareExchange(&reportOwner, 0, 0) == self) return false;
  reportLock.Enter();
  InterlockedExchange(&reportOwner, self);
  return true;
}

void ReleaseReport() {
  InterlockedExchange(&reportOwner, 0);
  reportLock.Leave();
}

void LendReport(unsigned long threadId) {
  InterlockedExchange(&reportOwner, static_cast<LONG>(threadId));
}

bool ReportOwnedElsewhere() {
  const LONG owner = InterlockedCompareExchange(&reportOwner, 0, 0);
  return owner != 0 && owner != static_cast<LONG>(GetCurrentThreadId());
}
