#include "capture/crash_summary.h"
#include "capture/hook_registry.h"
#include "capture/registry_lock.h"
#include "capture/report_guard.h"

namespace {

struct OverflowReport {
  HINSTANCE instance;
  EXCEPTION_POINTERS* pointers;
};

DWORD WINAPI ReportOverflowThread(LPVOID parameter) {
  auto* report = static_cast<OverflowReport*>(parameter);
  ReportCrash(report->instance, report->pointers);
  return 0;
}

// A thread that overflowed its stack has only the guard page left, far too little for a dialog,
// so the report runs on a fresh thread while the faulting one waits. Its record and stack stay
// intact meanwhile.
void ReportStackOverflow(HINSTANCE instance, EXCEPTION_POINTERS* pointers) {
  OverflowReport report{instance, pointers};
  DWORD threadId = 0;
  HANDLE thread =
      CreateThread(nullptr, 0, ReportOverflowThread, &report, CREATE_SUSPENDED, &threadId);
  if (thread == nullptr) {
    ReportCrash(instance, pointers);
    return;
  }
  // The helper runs the report this thread owns: a fault on it must end the process, not wait
  // for this thread, which waits for the helper.
  LendReport(threadId);
  ResumeThread(thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  LendReport(GetCurrentThreadId());
}

}  // namespace

LONG WINAPI CrashRptFilter(EXCEPTION_POINTERS* pointers) {
  // The first crash keeps the report for good: the process ends after it, so later faults on
  // other threads wait here instead of overwriting the summary on screen.
  if (AcquireReport()) {
    const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
    if (record != nullptr && record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
      ReportStackOverflow(LibraryInstance, pointers);
    } else {
      ReportCrash(LibraryInstance, pointers);
    }
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

extern "C" int __cdecl InstallCrashRpt() {
  {
    RegistryLockHolder hold;
    HooksEnabled = 1;
  }
  return InstallThreadHook();
}

extern "C" void __cdecl UninstallCrashRpt() {
  RegistryLockHolder hold;  // recursive: UninstallThreadHook takes it again
  UninstallThreadHook();
  if (HooksEnabled != 0) RestoreDisplacedFilter();
  TheHookRegistry.Clear();
  HooksEnabled = 0;
}

extern "C" int __cdecl TestSendDlg() {
  if (AcquireReport()) {
    ReportCrash(LibraryInstance, nullptr);
    ReleaseReport();
  }
  return 0;
}

void HandleDllNotification(HINSTANCE instance, DWORD reason, bool processEnding) {
  LibraryInstance = instance;
  switch (reason) {
    case DLL_THREAD_ATTACH:
      InstallThreadHook();
      break;
    case DLL_THREAD_DETACH:
      UninstallThreadHook();
      break;
    case DLL_PROCESS_DETACH: {
      // A terminating process runs no more code that a filter could serve, and its other threads
      // were ended wherever they were, possibly holding the registry lock.
      if (processEnding) break;
      bool enabled;
      {
        RegistryLockHolder hold;
        enabled = HooksEnabled != 0;
      }
      if (enabled) UninstallCrashRpt();
      break;
    }
    default:
      break;
  }
}
