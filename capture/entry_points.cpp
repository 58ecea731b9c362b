#include "capture/entry_points.h"

#include "capture/crash_path.h"
#include "capture/crash_summary.h"
#include "capture/handler_process.h"
#include "capture/hang_watch.h"
#include "capture/hook_registry.h"
#include "capture/kept_filter.h"
#include "capture/registry_lock.h"
#include "capture/report_guard.h"
#include "capture/runtime_deaths.h"

HINSTANCE LibraryInstance = nullptr;

namespace {

constexpr char kIniPath[] = ".\\crashrpt.ini";

// underLoaderLock: the library is being unloaded, from DllMain.
void Disable(bool underLoaderLock) {
  // Before the registry lock: the crash thread's own detach takes it on the way out.
  StopWatchingForHangs(underLoaderLock);
  StopCrashHandler();
  DismantleCrashPath(underLoaderLock);
  StopWatchingRuntimes();
  RegistryLockHolder hold;  // recursive: UninstallThreadHook takes it again
  UninstallThreadHook();
  StopKeepingFilter();
  if (HooksEnabled != 0) RestoreDisplacedFilter();
  TheHookRegistry.Clear();
  HooksEnabled = 0;
}

}  // namespace

extern "C" int __cdecl InstallCrashRpt() {
  // Before HooksEnabled: the crash thread is the library's own and is not armed.
  PrepareCrashPath(LibraryInstance);
  StartCrashHandler(LibraryInstance);
  WatchRuntimes();
  // Read once, here: a game that changes the file later changes nothing until the next start.
  WatchForHangs(LibraryInstance, GetPrivateProfileIntA("INFO", "HANGSECONDS", 0, kIniPath));
  if (GetPrivateProfileIntA("INFO", "KEEPFILTER", 0, kIniPath) == 1) KeepFilter();
  {
    RegistryLockHolder hold;
    HooksEnabled = 1;
  }
  return InstallThreadHook();
}

extern "C" void __cdecl UninstallCrashRpt() { Disable(false); }

extern "C" int __cdecl TestSendDlg() {
  if (AcquireReport()) {
    // Nothing crashed: no stack, no dump.
    TheCrash().stackTrace[0] = '\0';
    TheCrash().minidump = nullptr;
    TheCrash().minidumpSize = 0;
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
      if (processEnding) {
        NoteProcessEnding();
        break;
      }
      bool enabled;
      {
        RegistryLockHolder hold;
        enabled = HooksEnabled != 0;
      }
      if (enabled) Disable(true);
      break;
    }
    default:
      break;
  }
}
