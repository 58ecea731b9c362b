#pragma once

#include <windows.h>

// HANGSECONDS=N in crashrpt.ini (5 to 600): the library's own thread watches the thread that
// called InstallCrashRpt. When a window of that thread has not answered a message for N seconds,
// the game is hung: that thread's registers and stack are taken and the crash dialog is shown
// from the watching thread, with kHangCode. A thread without windows is never reported.
// Starts the watch for the calling thread; does nothing for other values of N.
void WatchForHangs(HINSTANCE instance, int seconds);
// Ends the watch; returns within about a second. underLoaderLock: called from DllMain.
void StopWatchingForHangs(bool underLoaderLock);
