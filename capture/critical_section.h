#pragma once

#include <windows.h>

// A critical section that is never deleted. The crash filter can run at any point of the process's
// life, static destruction included, so the locks it takes must outlive every destructor; the
// process's end reclaims them. Without debug information nothing is linked into the process's
// list of locks, so unloading the library leaves nothing dangling there either.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSectionEx(&section_, 0, CRITICAL_SECTION_NO_DEBUG_INFO); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

// Holds a CriticalSection for its own lifetime.
class CriticalSectionHolder {
 public:
  explicit CriticalSectionHolder(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~CriticalSectionHolder() { section_.Leave(); }
  CriticalSectionHolder(const CriticalSectionHolder&) = delete;
  CriticalSectionHolder& operator=(const CriticalSectionHolder&) = delete;

 private:
  CriticalSection& section_;
};
