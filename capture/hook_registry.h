#pragma once

#include <windows.h>

#include <cstdint>

// One armed thread: which filter its arming replaced, so that disarming it puts exactly that back.
struct ThreadHook {
  std::uint32_t threadId;
  LPTOP_LEVEL_EXCEPTION_FILTER previousFilter;
  ThreadHook* prev;
  ThreadHook* next;
};

constexpr std::uint32_t kMaxThreadHooks = 0x1FFFFFFF;

// The armed threads in arming order. Not locked by itself: the arming routines hold RegistryLock
// around every use.
class HookRegistry {
 public:
  explicit HookRegistry(std::uint32_t maxCount = kMaxThreadHooks);
  ~HookRegistry();
  HookRegistry(const HookRegistry&) = delete;
  HookRegistry& operator=(const HookRegistry&) = delete;

  // The oldest record for threadId, or null.
  ThreadHook* Find(std::uint32_t threadId) const;
  // Allocates a record that is not linked yet. Throws std::length_error("list<T> too long") when
  // the registry is full and std::bad_alloc when the heap is; in both cases nothing changes.
  ThreadHook* NewRecord(std::uint32_t threadId) const;
  // Links a record from NewRecord at the end. Cannot fail.
  void Append(ThreadHook* record);
  void Remove(ThreadHook* record);
  void Clear();

  std::uint32_t count() const { return count_; }
  // Lets tests reach the limit without half a billion threads.
  void set_max_count(std::uint32_t maxCount) { maxCount_ = maxCount; }
  const ThreadHook* first() const { return head_; }

 private:
  ThreadHook* head_ = nullptr;
  ThreadHook* tail_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t maxCount_;
};

// Result of the per-thread arming routines.
enum ThreadHookResult : int {
  kThreadHookDone = 0,     // armed or disarmed now (or, for arming, the library is not enabled)
  kThreadHookNothing = 1,  // nothing to do: already armed, or no record to disarm
  kThreadHookFailed =
      2,  // no memory for a record, or the registry is full: the thread stays unarmed
};

extern int HooksEnabled;
extern HookRegistry TheHookRegistry;

// Arm and disarm the calling thread; both take the registry lock.
int InstallThreadHook();
int UninstallThreadHook();

// If CrashRptFilter is the process's filter, installs the last filter an arming displaced that
// was not our own, so that disabling or unloading the library never leaves the process a filter
// inside an unloaded module. Registry lock held.
void RestoreDisplacedFilter();
