#include "capture/hook_registry.h"

#include <new>
#include <stdexcept>

#include "capture/crash_filter.h"
#include "capture/registry_lock.h"

int HooksEnabled = 0;
HookRegistry TheHookRegistry;

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER displacedFilter = nullptr;

void NoteDisplacedFilter(LPTOP_LEVEL_EXCEPTION_FILTER replaced) {
  if (replaced != CrashRptFilter) displacedFilter = replaced;
}

}  // namespace

void RestoreDisplacedFilter() {
  // The platform can only swap filters, so reading the current one means putting it back at once.
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(displacedFilter);
  if (current != CrashRptFilter) SetUnhandledExceptionFilter(current);
}

HookRegistry::HookRegistry(std::uint32_t maxCount) : maxCount_(maxCount) {}

HookRegistry::~HookRegistry() { Clear(); }

ThreadHook* HookRegistry::Find(std::uint32_t threadId) const {
  for (ThreadHook* record = head_; record != nullptr; record = record->next) {
    if (record->threadId == threadId) return record;
  }
  return nullptr;
}

ThreadHook* HookRegistry::NewRecord(std::uint32_t threadId) const {
  if (count_ >= maxCount_) throw std::length_error("list<T> too long");
  return new ThreadHook{threadId, nullptr, nullptr, nullptr};
}

void HookRegistry::Append(ThreadHook* record) {
  record->prev = tail_;
  record->next = nullptr;
  if (tail_ != nullptr) {
    tail_->next = record;
  } else {
    head_ = record;
  }
  tail_ = record;
  ++count_;
}

void HookRegistry::Remove(ThreadHook* record) {
  if (record->prev != nullptr) {
    record->prev->next = record->next;
  } else {
    head_ = record->next;
  }
  if (record->next != nullptr) {
    record->next->prev = record->prev;
  } else {
    tail_ = record->prev;
  }
  --count_;
  delete record;
}

void HookRegistry::Clear() {
  ThreadHook* record = head_;
  while (record != nullptr) {
    ThreadHook* next = record->next;
    delete record;
    record = next;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
}

int InstallThreadHook() {
  RegistryLockHolder hold;
  if (HooksEnabled == 0) return kThreadHookDone;
  const std::uint32_t threadId = GetCurrentThreadId();
  if (TheHookRegistry.Find(threadId) != nullptr) return kThreadHookNothing;
  // The record is made before the filter changes, so a full heap or registry leaves the thread
  // exactly as it was; this runs inside DllMain, where nothing may be thrown out.
  ThreadHook* record;
  try {
    record = TheHookRegistry.NewRecord(threadId);
  } catch (const std::exception&) {
    return kThreadHookFailed;
  }
  record->previousFilter = SetUnhandledExceptionFilter(CrashRptFilter);
  NoteDisplacedFilter(record->previousFilter);
  TheHookRegistry.Append(record);
  return kThreadHookDone;
}

int UninstallThreadHook() {
  RegistryLockHolder hold;
  if (HooksEnabled == 0) return kThreadHookNothing;
  ThreadHook* record = TheHookRegistry.Find(GetCurrentThreadId());
  if (record == nullptr) return kThreadHookNothing;
  SetUnhandledExceptionFilter(record->previousFilter);
  TheHookRegistry.Remove(record);
  return kThreadHookDone;
}
