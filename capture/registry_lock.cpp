#include "capture/registry_lock.h"

namespace {

// A static object, so the lock exists before DllMain's first notification and after its last.
CriticalSection registryLock;

}  // namespace

CriticalSection& RegistryLock() { return registryLock; }
