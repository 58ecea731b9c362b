#pragma once

#include <windows.h>

// The crash handler process (crashrpt.ini [INFO] HANDLER=process): a second process, started
// from this same DLL through rundll32 when the game arms the library, that reports the game's
// crash from outside. It reads the crashed game's memory with its own heap and its own loader, so
// a game whose heap is corrupt, or whose locks are held, still gets its dialog and its report.

// Starts the handler when crashrpt.ini asks for it and waits, for a bounded time, until it is
// ready: a crash before then is reported in process. Everything the crash needs is made here.
void StartCrashHandler(HINSTANCE instance);
// Tells the handler to go and lets go of it; safe under the loader lock (it waits for nothing).
void StopCrashHandler();

// The game's side of a crash: hands the crash of threadId (pointers in this process's memory,
// stackBase its stack's top) to the handler and waits. The handler ends the process when the
// report is over, so this returns only when there is no handler ready, or it went away or gave
// the crash back: then the report is made in process. Allocates nothing and takes no lock; ends
// the process with the exception code when the handler shows no dialog within the crash bound.
bool HandOffToHandler(EXCEPTION_POINTERS* pointers, DWORD threadId, DWORD stackBase);

// rundll32's entry: the handler process's whole life.
extern "C" void CALLBACK VexoCrashHandler(HWND window, HINSTANCE instance, LPSTR commandLine,
                                          int show);
