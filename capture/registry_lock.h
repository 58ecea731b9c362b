#pragma once

#include "capture/critical_section.h"

// Guards HooksEnabled, the registry and the displaced filter: the exported calls run outside the
// loader lock and would otherwise race the thread attach and detach notifications. Nothing that
// takes the loader lock is called while it is held, so the two locks cannot deadlock. Recursive.
CriticalSection& RegistryLock();

// Holds the registry lock for its lifetime.
class RegistryLockHolder : public CriticalSectionHolder {
 public:
  RegistryLockHolder() : CriticalSectionHolder(RegistryLock()) {}
};
