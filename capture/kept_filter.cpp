#include "capture/kept_filter.h"

#include "capture/crash_filter.h"

namespace {

// The platform keeps one top-level filter, and anyone may replace it. Ours is put back from a
// vectored handler, which sees every exception first, before any frame handles it: by the time
// an exception is unhandled, the filter the platform calls is ours again, and the one it
// displaced is remembered and called first. Nothing is patched: patching
// SetUnhandledExceptionFilter is what anti-cheat software flags, and polling from a thread would
// lose a crash that follows the replacement at once.
void* vectoredHandler = nullptr;
volatile LONG keeping = 0;
LPTOP_LEVEL_EXCEPTION_FILTER volatile displaced = nullptr;
// Whether ours was ever displaced: a displaced NULL filter is one to put back, too.
volatile LONG displacedAny = 0;
// Set on a thread while it runs the displaced filter: a filter that calls the one it replaced
// (ours) must get "continue search" back, not a second report. A TLS slot, not thread_local,
// which MinGW allocates from the heap on first use.
DWORD chainingSlot = TLS_OUT_OF_INDEXES;

LONG CALLBACK ReassertFilter(EXCEPTION_POINTERS*) {
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(CrashRptFilter);
  if (previous != CrashRptFilter) {
    InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&displaced),
                               reinterpret_cast<void*>(previous));
    InterlockedExchange(&displacedAny, 1);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void KeepFilter() {
  if (vectoredHandler != nullptr) return;
  if (chainingSlot == TLS_OUT_OF_INDEXES) chainingSlot = TlsAlloc();
  if (chainingSlot == TLS_OUT_OF_INDEXES) return;
  InterlockedExchange(&keeping, 1);
  // Last in the vectored chain: the game's own vectored handlers see the exception first.
  vectoredHandler = AddVectoredExceptionHandler(0, ReassertFilter);
}

void StopKeepingFilter() {
  if (vectoredHandler == nullptr) return;
  RemoveVectoredExceptionHandler(vectoredHandler);
  vectoredHandler = nullptr;
  InterlockedExchange(&keeping, 0);
  // Never displaced: what the arming itself displaced is put back by the caller.
  if (InterlockedExchange(&displacedAny, 0) == 0) return;
  const LPTOP_LEVEL_EXCEPTION_FILTER kept = displaced;
  displaced = nullptr;
  const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(kept);
  if (current != CrashRptFilter) SetUnhandledExceptionFilter(current);
}

bool RunDisplacedFilter(EXCEPTION_POINTERS* pointers, LONG* answer) {
  if (InterlockedCompareExchange(&keeping, 0, 0) == 0) return false;
  if (TlsGetValue(chainingSlot) != nullptr) {
    *answer = EXCEPTION_CONTINUE_SEARCH;
    return true;
  }
  const LPTOP_LEVEL_EXCEPTION_FILTER filter = displaced;
  if (filter == nullptr) return false;
  TlsSetValue(chainingSlot, reinterpret_cast<void*>(1));
  const LONG result = filter(pointers);
  TlsSetValue(chainingSlot, nullptr);
  if (result == EXCEPTION_CONTINUE_SEARCH) return false;
  *answer = result;
  return true;
}
