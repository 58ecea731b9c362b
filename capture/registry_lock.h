#pragma once

#include <windows.h>

// Holds the library's registry lock for its lifetime. The lock guards HooksEnabled, the registry
// and the displaced filter: the exported calls run outside the loader lock and would otherwise race
// the thread attach and detach notifications. Nothing that takes the loader lock is called while it
// is held, so the two locks cannot deadlock.
class RegistryLockHolder {
 public:
  RegistryLockHolder();
  ~RegistryLockHolder();
  RegistryLockHolder(const RegistryLockHolder&) = delete;
  RegistryLockHolder& operator=(const RegistryLockHolder&) = delete;
};

// Remembers the filter that an arming replaced when it was not our own, so that disabling or
// unloading the library can put it back instead of leaving the process a filter inside an unloaded
// module. Call with the lock held.
void NoteDisplacedFilter(LPTOP_LEVEL_EXCEPTION_FILTER replaced);
// If CrashRptFilter is the process's filter, installs the last displaced one. Lock held.
void RestoreDisplacedFilter();
