#pragma once

#include <windows.h>

#include <cstddef>

// What the crash path needs, set up at InstallCrashRpt so that nothing has to be created at crash
// time: a block of reserved address space the filter gives back first, so that the dialog, the
// packing and the upload can still allocate in a process that ran out; a thread with its own stack
// that reports a stack overflow and watches every other report; and the windowing set up once.

// Enough address space for the dialog and the upload of a 1 MB log.txt with room to spare: that
// Send holds the log text, its copy in the archive, LZO's worst-case output, the archive image and
// two copies of the request body at once (about 6 MB at its peak), each block in its own 64 KB
// granules. Reserved, not committed: it costs the game no memory, only address space.
constexpr std::size_t kMemoryReserveBytes = 32u << 20;
// How long after the fault the crash dialog may take to appear. Longer means a lock the report
// needs is held by the crashed thread: the process ends with the exception code instead of hanging
// in silence. Once the dialog is up the bound no longer applies.
constexpr DWORD kDialogBoundMs = 10000;
// The crash thread's stack, reserved at its start and committed as it is used.
constexpr std::size_t kCrashThreadStackBytes = 1u << 20;

// The top of the calling thread's stack, from its thread information block.
DWORD StackBaseOfThisThread();

// Called by InstallCrashRpt, outside the registry lock (the new thread's attach takes it). Returns
// once the crash thread is ready, or after a short bound when it cannot start yet.
void PrepareCrashPath(HINSTANCE instance);
// Ends the crash thread and gives the reserve back. underLoaderLock: called from DllMain, where
// the thread cannot run its own exit, so it is ended where it waits.
void DismantleCrashPath(bool underLoaderLock);
// The library's process detach at process termination: the crash thread is gone and the
// library's static objects are being destroyed.
void NoteProcessEnding();

// Releases the memory reserve; the first thing the filter does. Safe to call more than once.
void ReleaseMemoryReserve();
// True when the crash path can no longer run: the process is terminating (its other threads have
// been ended) or the crash thread has died. The filter then ends the process.
bool CrashPathGone();
// Gives up the loader lock if the calling thread, which crashed and will never run again, holds it:
// the report of this crash or of an earlier one needs that lock (to start a thread's windowing, to
// open a socket, to start the game again), and would otherwise wait for ever on a thread that waits
// for it.
void ReleaseLoaderLockOfCrashedThread();
// Runs the report on the calling thread while the crash thread watches the bound.
void ReportOnThisThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers);
// The same for a thread other than the calling one, which stands still (a hung thread, suspended):
// its stack is read from stackBase down.
void ReportForThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers, DWORD threadId,
                     DWORD stackBase);
// Runs the report on the crash thread while the calling thread waits and watches the bound; for a
// thread that has no stack left. False when there is no crash thread.
bool ReportOnCrashThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers);
