#pragma once

#include <windows.h>

// The library's own module handle, which holds the dialog resource; DllMain stores it on every
// call.
extern HINSTANCE LibraryInstance;

// The entry point's work, kept apart from DllMain so the static library can be driven by tests.
// processEnding: DLL_PROCESS_DETACH because the process is terminating (a non-null reserved
// argument), when nothing is restored.
void HandleDllNotification(HINSTANCE instance, DWORD reason, bool processEnding);

extern "C" {
int __cdecl InstallCrashRpt();
void __cdecl UninstallCrashRpt();
int __cdecl TestSendDlg();
}
