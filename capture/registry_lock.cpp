#include "capture/registry_lock.h"

#include "capture/hook_registry.h"

namespace {

// A static object, so the lock exists before DllMain's first notification and after its last.
class LockStorage {
 public:
  LockStorage() { InitializeCriticalSection(&section); }
  ~LockStorage() { DeleteCriticalSection(&section); }
  CRITICAL_SECTION section;
};

LockStorage registryLock;
LPTOP_LEVEL_EXCEPTION_FILTER displacedFilter = nullptr;

}  // namespace

RegistryLockHolder::RegistryLockHolder() { EnterCriticalSection(&registryLock.section); }

RegistryLockHolder::~RegistryLockHolder() { LeaveCriticalSection(&registryLock.section); }

void NoteDisplacedFilter(LPTOP_LEVEL_EXCEPTION_FILTER replaced) {
  if (replaced != CrashRptFilter) displacedFilter = replaced;
}

void RestoreDisplacedFilter() {
  // The platform can only swap filters, so reading the current one means putting it back at once.
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(displacedFilter);
  if (current != CrashRptFilter) SetUnhandledExceptionFilter(current);
}
