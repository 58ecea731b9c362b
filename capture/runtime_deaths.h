#pragma once

#include <windows.h>

// Deaths that are not structured exceptions, and the codes their reports carry (in the summary and
// as the exit code).
// abort() and std::terminate (whose default handler calls abort): STATUS_FATAL_APP_EXIT.
constexpr DWORD kAbortCode = 0x40000015;
// A pure virtual function called through a half-built or half-destroyed object.
constexpr DWORD kPureCallCode = 0xE0505643;
// An invalid argument caught by a C runtime function: STATUS_INVALID_CRUNTIME_PARAMETER.
constexpr DWORD kInvalidParameterCode = 0xC0000417;
// A game whose window stopped answering (HANGSECONDS).
constexpr DWORD kHangCode = 0xE048414E;

// Takes over abort, pure calls and invalid parameters in every C runtime the process has loaded,
// and in every one it loads later, until StopWatchingRuntimes. A handler the game set itself
// before stays in place.
void WatchRuntimes();
// Puts back what WatchRuntimes replaced. underLoaderLock: called from DllMain.
void StopWatchingRuntimes();

// Reports a death on the calling thread through the crash path, with the thread's registers as
// they are here, then ends the process with code. address: where the death was noticed.
[[noreturn]] void ReportDeathHere(DWORD code, void* address);
