#pragma once

#include <windows.h>

#include <string>

// Drives crash dialogs from outside their modal loop with Win32 calls only.
namespace dialog_driver {

constexpr DWORD kWaitMs = 30000;

// The crash dialog owned by process pid, waiting at most timeoutMs for it to appear (polling for
// the window is the only way to learn that a modal loop has shown it). Null on timeout.
HWND FindCrashDialog(DWORD pid, DWORD timeoutMs = kWaitMs);
// How many crash dialogs process pid shows right now.
int CountCrashDialogs(DWORD pid);
// Waits until window is gone, pressing OK on message boxes it owns; false on timeout.
bool WaitGone(HWND window, DWORD timeoutMs = kWaitMs);
std::string ControlText(HWND dialog, int id);
// A message box owned by owner, waiting at most timeoutMs for it to appear; null on timeout.
HWND FindOwnedMessageBox(HWND owner, DWORD timeoutMs = kWaitMs);
// Marks a restart request for child processes: the restarted program appends a line to the file
// and signals the event. Returns the event.
HANDLE ArmRestartMarker(const std::string& markFile, const std::string& eventName);
void ClearRestartMarker();
// A fresh empty folder under the temp directory (name may contain blanks).
std::string MakeTempFolder(const char* prefix);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
std::string ExeDirectory();

}  // namespace dialog_driver
