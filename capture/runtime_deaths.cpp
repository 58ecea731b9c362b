#include "capture/runtime_deaths.h"

#include <winternl.h>

#include <cstddef>
#include <cstdint>

#include "capture/crash_filter.h"

namespace {

// The C runtimes' own numbers, the same in every Microsoft runtime.
constexpr int kSigAbrt = 22;
constexpr unsigned kWriteAbortMessage = 0x1;

using SignalHandler = void(__cdecl*)(int);
using SignalFn = SignalHandler(__cdecl*)(int, SignalHandler);
using PureCallHandler = void(__cdecl*)();
using SetPureCallFn = PureCallHandler(__cdecl*)(PureCallHandler);
using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*,
                                               unsigned, std::uintptr_t);
using SetInvalidParameterFn = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
using SetAbortBehaviorFn = unsigned(__cdecl*)(unsigned, unsigned);

const SignalHandler kSignalDefault = nullptr;
const SignalHandler kSignalError = reinterpret_cast<SignalHandler>(-1);

// msvcrt.dll, the Visual C++ 2002 to 2013 runtimes, and the universal runtime that the
// api-ms-win-crt-* forwarders lead to.
const wchar_t* const kRuntimeNames[] = {L"msvcrt.dll",   L"msvcr70.dll",  L"msvcr71.dll",
                                        L"msvcr80.dll",  L"msvcr90.dll",  L"msvcr100.dll",
                                        L"msvcr110.dll", L"msvcr120.dll", L"ucrtbase.dll"};
constexpr int kMaxRuntimes = 16;

// What was taken over in one runtime, so that disabling the library puts exactly that back.
struct HookedRuntime {
  HMODULE module;
  bool abort;
  unsigned abortBehavior;  // the runtime's own, before the message flag was cleared
  bool pureCall;
  bool invalidParameter;
};

// The start of the loader's record of a module, the same on every 32-bit Windows and in Wine.
struct LoaderEntryHead {
  LIST_ENTRY links[3];
  void* dllBase;
  void* entryPoint;
};
static_assert(offsetof(LoaderEntryHead, entryPoint) == 0x1C, "32-bit loader record");

struct DllNotificationData {
  ULONG flags;
  const UNICODE_STRING* fullName;
  const UNICODE_STRING* baseName;
  void* base;
  ULONG size;
};
constexpr ULONG kDllLoaded = 1;
constexpr ULONG kDllUnloaded = 2;
using DllNotificationFn = VOID(CALLBACK*)(ULONG reason, const DllNotificationData* data, void*);
using RegisterNotificationFn = LONG(NTAPI*)(ULONG, DllNotificationFn, void*, void**);
using UnregisterNotificationFn = LONG(NTAPI*)(void*);
using FindEntryFn = LONG(NTAPI*)(void* address, LoaderEntryHead** entry);
using LockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);
using EntryFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

// A runtime being loaded whose entry point runs through RuntimeEntry once.
struct PendingRuntime {
  void* base;
  LoaderEntryHead* entry;
  EntryFn original;
};

// Everything below is used under the loader lock only: the loader holds it around its
// notifications and entry points, and the library takes it around its own calls.
HookedRuntime hooked[kMaxRuntimes];
int hookedCount = 0;
PendingRuntime pending[kMaxRuntimes];
void* notificationCookie = nullptr;

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE Ntdll() { return GetModuleHandleA("ntdll.dll"); }

class LoaderLockHolder {
 public:
  LoaderLockHolder() {
    lock_ = Export<LockLoaderFn>(Ntdll(), "LdrLockLoaderLock");
    unlock_ = Export<UnlockLoaderFn>(Ntdll(), "LdrUnlockLoaderLock");
    if (lock_ == nullptr || unlock_ == nullptr || lock_(0, nullptr, &cookie_) != 0) unlock_ = nullptr;
  }
  ~LoaderLockHolder() {
    if (unlock_ != nullptr) unlock_(0, cookie_);
  }
  LoaderLockHolder(const LoaderLockHolder&) = delete;
  LoaderLockHolder& operator=(const LoaderLockHolder&) = delete;

 private:
  LockLoaderFn lock_ = nullptr;
  UnlockLoaderFn unlock_ = nullptr;
  ULONG_PTR cookie_ = 0;
};

// The handlers run on the thread that is dying, inside the runtime: the return address is in the
// runtime function that noticed the death, and the registers taken next lead back to the game.
__attribute__((noinline)) void __cdecl OnAbort(int) {
  ReportDeathHere(kAbortCode, __builtin_return_address(0));
}

__attribute__((noinline)) void __cdecl OnPureCall() {
  ReportDeathHere(kPureCallCode, __builtin_return_address(0));
}

__attribute__((noinline)) void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*,
                                                          const wchar_t*, unsigned,
                                                          std::uintptr_t) {
  ReportDeathHere(kInvalidParameterCode, __builtin_return_address(0));
}

bool IsRuntimeName(const UNICODE_STRING* name) {
  if (name == nullptr || name->Buffer == nullptr) return false;
  const std::size_t length = name->Length / sizeof(wchar_t);
  for (const wchar_t* candidate : kRuntimeNames) {
    std::size_t i = 0;
    while (i < length && candidate[i] != L'\0' &&
           (name->Buffer[i] | 0x20) == (candidate[i] | 0x20)) {
      ++i;
    }
    if (i == length && candidate[i] == L'\0') return true;
  }
  return false;
}

// Takes over the runtime's handlers, each only where the game has not set its own: the game's
// handler was there first and is left in place, not called from ours. Loader lock held.
void HookRuntime(HMODULE module) {
  for (int i = 0; i < hookedCount; ++i) {
    if (hooked[i].module == module) return;
  }
  if (hookedCount == kMaxRuntimes) return;
  HookedRuntime record = {module, false, 0, false, false};
  if (auto setSignal = Export<SignalFn>(module, "signal")) {
    const SignalHandler previous = setSignal(kSigAbrt, OnAbort);
    if (previous == kSignalDefault) {
      record.abort = true;
      // Later runtimes show "the application has requested the Runtime to terminate it" before
      // the signal; the crash dialog says it instead.
      if (auto behavior = Export<SetAbortBehaviorFn>(module, "_set_abort_behavior")) {
        record.abortBehavior = behavior(0, kWriteAbortMessage);
      }
    } else if (previous != kSignalError) {
      setSignal(kSigAbrt, previous);
    }
  }
  // msvcrt.dll has no pure-call handler to set: its _purecall ends the process (code 255)
  // unreported, as reaching it would mean patching the runtime's code.
  if (auto setPureCall = Export<SetPureCallFn>(module, "_set_purecall_handler")) {
    const PureCallHandler previous = setPureCall(OnPureCall);
    record.pureCall = previous == nullptr;
    if (!record.pureCall) setPureCall(previous);
  }
  if (auto setInvalid = Export<SetInvalidParameterFn>(module, "_set_invalid_parameter_handler")) {
    const InvalidParameterHandler previous = setInvalid(OnInvalidParameter);
    record.invalidParameter = previous == nullptr;
    if (!record.invalidParameter) setInvalid(previous);
  }
  // The runtime keeps pointers into this library until UnhookAll: it must not go away first.
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(module), &pinned);
  hooked[hookedCount++] = record;
}

// Puts each handler back unless the game replaced ours since; then the game's stays.
void UnhookAll() {
  for (int i = 0; i < hookedCount; ++i) {
    const HookedRuntime& record = hooked[i];
    if (record.abort) {
      auto setSignal = Export<SignalFn>(record.module, "signal");
      const SignalHandler current = setSignal(kSigAbrt, kSignalDefault);
      if (current != OnAbort) setSignal(kSigAbrt, current);
      if (auto behavior = Export<SetAbortBehaviorFn>(record.module, "_set_abort_behavior")) {
        behavior(record.abortBehavior & kWriteAbortMessage, kWriteAbortMessage);
      }
    }
    if (record.pureCall) {
      auto setPureCall = Export<SetPureCallFn>(record.module, "_set_purecall_handler");
      const PureCallHandler current = setPureCall(nullptr);
      if (current != OnPureCall) setPureCall(current);
    }
    if (record.invalidParameter) {
      auto setInvalid = Export<SetInvalidParameterFn>(record.module,
                                                      "_set_invalid_parameter_handler");
      const InvalidParameterHandler current = setInvalid(nullptr);
      if (current != OnInvalidParameter) setInvalid(current);
    }
  }
  hookedCount = 0;
}

// A runtime loaded after InstallCrashRpt: its handlers can only be set once its own entry point
// has run, and the loader notifies before that. Its entry point is routed through here once, by
// the loader's own record, so the runtime is hooked before LoadLibrary returns to the game. This
// changes a data field of the loader, never code: anti-cheat software watches code.
BOOL WINAPI RuntimeEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  EntryFn original = nullptr;
  for (PendingRuntime& slot : pending) {
    if (slot.base == instance) {
      original = slot.original;
      slot.entry->entryPoint = reinterpret_cast<void*>(original);
      slot = PendingRuntime{};
      break;
    }
  }
  if (original == nullptr) return TRUE;
  const BOOL result = original(instance, reason, reserved);
  if (result && reason == DLL_PROCESS_ATTACH) HookRuntime(instance);
  return result;
}

VOID CALLBACK OnDllNotification(ULONG reason, const DllNotificationData* data, void*) {
  if (data == nullptr) return;
  if (reason == kDllUnloaded) {
    for (PendingRuntime& slot : pending) {
      if (slot.base == data->base) slot = PendingRuntime{};
    }
    return;
  }
  if (reason != kDllLoaded || !IsRuntimeName(data->baseName)) return;
  auto find = Export<FindEntryFn>(Ntdll(), "LdrFindEntryForAddress");
  LoaderEntryHead* entry = nullptr;
  if (find == nullptr || find(data->base, &entry) != 0 || entry == nullptr ||
      entry->entryPoint == nullptr || entry->entryPoint == reinterpret_cast<void*>(RuntimeEntry)) {
    return;
  }
  for (PendingRuntime& slot : pending) {
    if (slot.base == nullptr) {
      slot = PendingRuntime{data->base, entry, reinterpret_cast<EntryFn>(entry->entryPoint)};
      entry->entryPoint = reinterpret_cast<void*>(RuntimeEntry);
      return;
    }
  }
}

}  // namespace

void WatchRuntimes() {
  LoaderLockHolder hold;
  if (notificationCookie == nullptr) {
    if (auto registerFn =
            Export<RegisterNotificationFn>(Ntdll(), "LdrRegisterDllNotification")) {
      registerFn(0, OnDllNotification, nullptr, &notificationCookie);
    }
  }
  for (const wchar_t* name : kRuntimeNames) {
    if (HMODULE module = GetModuleHandleW(name)) HookRuntime(module);
  }
}

void StopWatchingRuntimes() {
  LoaderLockHolder hold;
  if (notificationCookie != nullptr) {
    if (auto unregisterFn =
            Export<UnregisterNotificationFn>(Ntdll(), "LdrUnregisterDllNotification")) {
      unregisterFn(notificationCookie);
    }
    notificationCookie = nullptr;
  }
  // A slot still here belongs to a load that failed before its entry point ran: that module and
  // its record are gone already.
  for (PendingRuntime& slot : pending) slot = PendingRuntime{};
  UnhookAll();
}

void ReportDeathHere(DWORD code, void* address) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = address;
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers = {&record, &context};
  // The same path as an unhandled exception: summary, dialog, Send, restart.
  ReportException(&pointers);
  TerminateProcess(GetCurrentProcess(), code);
  ExitProcess(code);
}
