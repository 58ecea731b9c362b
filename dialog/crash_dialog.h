#pragma once

#include <windows.h>

#include "report/crash_record.h"

// Runs the crash dialog for crash from instance's resources; returns once it is gone. onShown,
// when given, is called on the dialog's thread once the dialog is on screen.
void RunCrashDialog(HINSTANCE instance, const CrashRecord& crash, void (*onShown)() = nullptr);

INT_PTR CALLBACK CrashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The white header band in client coordinates: full width, down to the separator's top edge (100
// when the separator cannot be had).
void GetHeaderRect(HWND dialog, RECT* out);

// Starts the host again on close: StartHostProcess in the product; tests put a recorder here.
using HostLauncher = BOOL(WINAPI*)(const wchar_t* commandLine, UINT show);
extern HostLauncher LaunchHost;
// Starts commandLine as WinExec would (no handles inherited, the current directory and
// environment passed on, the window shown as show) but from a wide command line, so that any
// folder or file name works; unlike WinExec it does not wait for the new process to go idle.
BOOL WINAPI StartHostProcess(const wchar_t* commandLine, UINT show);
