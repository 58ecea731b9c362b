#pragma once

#include <windows.h>

INT_PTR CALLBACK CrashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The white header band in client coordinates: full width, down to the separator's top edge (100
// when the separator cannot be had).
void GetHeaderRect(HWND dialog, RECT* out);

// Starts the host again on close. WinExec in the product; tests put a recorder here.
using HostLauncher = UINT(WINAPI*)(LPCSTR commandLine, UINT show);
extern HostLauncher LaunchHost;
