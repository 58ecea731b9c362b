#pragma once

#include <windows.h>

// Records the crashed thread's registers, every loaded module and the frames of its stack into
// StackTrace (the text of stack.txt). Uses static memory only and takes no lock: it runs on the
// crash path's own thread, for a thread that may have no stack left and may hold any lock.
// stackBase: the top of the crashed thread's stack (its TIB's StackBase).
void CaptureStackTrace(const EXCEPTION_POINTERS* pointers, DWORD threadId, DWORD stackBase);

// True when crashrpt.ini's [INFO] STACKTRACE is 1.
bool StackTraceWanted();
