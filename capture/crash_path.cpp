#include "capture/crash_path.h"

#include <cerrno>
#include <cstdio>

#include "capture/crash_summary.h"
#include "capture/critical_section.h"
#include "capture/report_guard.h"
#include "capture/stack_capture.h"
#include "dialog/host_module.h"

namespace {

// How long InstallCrashRpt waits for the crash thread: a host that arms the library while holding
// the loader lock (from its own DllMain) would otherwise wait for a thread that cannot start before
// that lock is free.
constexpr DWORD kReadyWaitMs = 5000;
// How long UninstallCrashRpt lets the crash thread finish before ending it where it is.
constexpr DWORD kQuitWaitMs = 5000;
// How long a crashed thread waits for its stack trace before the report goes on without it.
constexpr DWORD kCaptureWaitMs = 5000;

enum class Request { kNone, kWatch, kReport, kQuit };

// Plain data, so nothing of it is destroyed while the process ends.
struct CrashPathState {
  HANDLE thread;
  DWORD threadId;
  HANDLE wake;      // auto-reset: a request is waiting
  HANDLE ready;     // manual: the thread has set itself up
  HANDLE shown;     // manual: the crash dialog is on screen
  HANDLE reported;  // manual: the crash thread's report is over
  void* volatile reserve;
  HINSTANCE instance;
  HANDLE captured;  // manual: the stack trace the crashed thread waits for is written
  // The request, written by the report's owner before it sets wake.
  Request request;
  EXCEPTION_POINTERS* pointers;
  DWORD code;
  DWORD faultTick;
  CaptureWants wants;
  DWORD crashedThreadId;
  DWORD crashedStackBase;
};

CrashPathState state;
CriticalSection setupLock;
volatile LONG processEnding = 0;

void NotifyDialogShown() { SetEvent(state.shown); }

// Records the crashed thread's stack and the dump where crashrpt.ini asks for them, from this
// thread (the crash path's own): the crashed thread waits meanwhile, its record and stack intact.
void CaptureHere(const EXCEPTION_POINTERS* pointers, DWORD threadId, DWORD stackBase,
                 CaptureWants wants) {
  CrashRecord& crash = TheCrash();
  crash.stackTrace[0] = '\0';
  crash.minidump = nullptr;
  crash.minidumpSize = 0;
  if (pointers == nullptr || pointers->ExceptionRecord == nullptr ||
      pointers->ContextRecord == nullptr) {
    return;
  }
  CrashSite site;
  site.record = *pointers->ExceptionRecord;
  site.context = *pointers->ContextRecord;
  site.threadId = threadId;
  site.stackBase = stackBase;
  char hostPath[kHostPathSize];
  const char* exeName = ReadHostModulePath(hostPath) ? HostBaseName(hostPath) : "";
  ProcessMemory memory(GetCurrentProcess());
  CaptureCrash(memory, GetCurrentProcessId(), GetCurrentThreadId(), site, exeName, wants, crash);
}

bool Wanted(CaptureWants wants) { return wants.stack || wants.minidump; }

DWORD TimeLeftInBound() {
  const DWORD elapsed = GetTickCount() - state.faultTick;
  return elapsed >= kDialogBoundMs ? 0 : kDialogBoundMs - elapsed;
}

void EndProcess() { TerminateProcess(GetCurrentProcess(), state.code); }

void EndUnlessShownInBound() {
  if (WaitForSingleObject(state.shown, TimeLeftInBound()) != WAIT_OBJECT_0) EndProcess();
}

// Wine sets up a thread's and the process's windowing with its first window, and cannot do that
// once the address space is exhausted; after one window the crash dialog still opens then.
void PrepareWindowing(HINSTANCE instance) {
  HWND window =
      CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
  if (window != nullptr) DestroyWindow(window);
}

// The C runtime sets up a thread's own data on its first call that needs it, from the process
// heap, which a crashed thread may have locked: this thread sets it up now.
void PrepareRuntime() {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", 0u);
  errno = 0;
}

DWORD WINAPI CrashThreadMain(LPVOID) {
  PrepareRuntime();
  PrepareWindowing(state.instance);
  SetEvent(state.ready);
  for (;;) {
    WaitForSingleObject(state.wake, INFINITE);
    switch (state.request) {
      case Request::kQuit:
        return 0;
      case Request::kWatch:
        if (Wanted(state.wants)) {
          CaptureHere(state.pointers, state.crashedThreadId, state.crashedStackBase, state.wants);
          SetEvent(state.captured);
        }
        EndUnlessShownInBound();
        break;
      case Request::kReport:
        CaptureHere(state.pointers, state.crashedThreadId, state.crashedStackBase,
                    CaptureWanted());
        ReportCrash(state.instance, state.pointers, NotifyDialogShown);
        SetEvent(state.reported);
        break;
      case Request::kNone:
        break;
    }
  }
}

void Post(Request request, EXCEPTION_POINTERS* pointers, CaptureWants wants,
          DWORD threadId = GetCurrentThreadId(), DWORD stackBase = StackBaseOfThisThread()) {
  const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
  state.wants = wants;
  state.crashedThreadId = threadId;
  state.crashedStackBase = stackBase;
  state.faultTick = GetTickCount();
  state.code = record != nullptr ? record->ExceptionCode : 0;
  state.pointers = pointers;
  state.request = request;
  SetEvent(state.wake);
}

HANDLE NewEvent(bool manualReset) { return CreateEventA(nullptr, manualReset, FALSE, nullptr); }

void CloseEvent(HANDLE& event) {
  if (event != nullptr) CloseHandle(event);
  event = nullptr;
}

}  // namespace

DWORD StackBaseOfThisThread() {
  DWORD base = 0;
  asm("movl %%fs:0x04, %0" : "=r"(base));
  return base;
}

void PrepareCrashPath(HINSTANCE instance) {
  CriticalSectionHolder hold(setupLock);
  RememberHostModulePath();
  if (state.reserve == nullptr) {
    state.reserve = VirtualAlloc(nullptr, kMemoryReserveBytes, MEM_RESERVE, PAGE_NOACCESS);
  }
  if (state.thread != nullptr) return;
  state.instance = instance;
  // Kept from an earlier call whose thread could not be started.
  if (state.wake == nullptr) state.wake = NewEvent(false);
  if (state.ready == nullptr) state.ready = NewEvent(true);
  if (state.shown == nullptr) state.shown = NewEvent(true);
  if (state.reported == nullptr) state.reported = NewEvent(true);
  if (state.captured == nullptr) state.captured = NewEvent(true);
  if (state.wake == nullptr || state.ready == nullptr || state.shown == nullptr ||
      state.reported == nullptr || state.captured == nullptr) {
    return;
  }
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, kCrashThreadStackBytes, CrashThreadMain, nullptr,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
  if (thread == nullptr) return;
  state.threadId = threadId;
  state.thread = thread;
  WaitForSingleObject(state.ready, kReadyWaitMs);
}

void DismantleCrashPath(bool underLoaderLock) {
  CriticalSectionHolder hold(setupLock);
  if (state.thread != nullptr) {
    bool ended = false;
    if (!underLoaderLock) {
      state.request = Request::kQuit;
      SetEvent(state.wake);
      ended = WaitForSingleObject(state.thread, kQuitWaitMs) == WAIT_OBJECT_0;
    }
    // Under the loader lock the thread could not finish its exit; it waits, holding nothing.
    if (!ended) {
      TerminateThread(state.thread, 0);
      WaitForSingleObject(state.thread, kQuitWaitMs);
    }
    CloseHandle(state.thread);
    state.thread = nullptr;
    state.threadId = 0;
  }
  CloseEvent(state.wake);
  CloseEvent(state.ready);
  CloseEvent(state.shown);
  CloseEvent(state.reported);
  CloseEvent(state.captured);
  state.request = Request::kNone;
  ReleaseMemoryReserve();
}

void ReleaseLoaderLockOfCrashedThread() {
  // The thread's TEB (fs:0x30) points to the PEB, and the PEB to the loader lock at 0xA0, the same
  // on every 32-bit Windows and in Wine.
  constexpr std::size_t kPebLoaderLockOffset = 0xA0;
  const unsigned char* peb = nullptr;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  auto* loaderLock = *reinterpret_cast<CRITICAL_SECTION* const*>(peb + kPebLoaderLockOffset);
  if (loaderLock == nullptr) return;
  const auto self = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
  while (loaderLock->OwningThread == self && loaderLock->RecursionCount > 0) {
    LeaveCriticalSection(loaderLock);
  }
}

void NoteProcessEnding() { InterlockedExchange(&processEnding, 1); }

void ReleaseMemoryReserve() {
  void* block = InterlockedExchangePointer(const_cast<void**>(&state.reserve), nullptr);
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

bool CrashPathGone() {
  if (InterlockedCompareExchange(&processEnding, 0, 0) != 0) return true;
  return state.thread != nullptr && WaitForSingleObject(state.thread, 0) == WAIT_OBJECT_0;
}

void ReportOnThisThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers) {
  ReportForThread(instance, pointers, GetCurrentThreadId(), StackBaseOfThisThread());
}

void ReportForThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers, DWORD threadId,
                     DWORD stackBase) {
  if (state.thread != nullptr) {
    const CaptureWants wants = CaptureWanted();
    Post(Request::kWatch, pointers, wants, threadId, stackBase);
    // The crash thread reads this thread's stack while it stands still.
    if (Wanted(wants)) WaitForSingleObject(state.captured, kCaptureWaitMs);
  }
  ReportCrash(instance, pointers, NotifyDialogShown);
}

bool ReportOnCrashThread(HINSTANCE instance, EXCEPTION_POINTERS* pointers) {
  if (state.thread == nullptr) return false;
  state.instance = instance;
  // The crash thread runs the report this thread owns: a fault on it must end the process, not
  // wait for this thread, which waits for it.
  LendReport(state.threadId);
  ReleaseLoaderLockOfCrashedThread();
  Post(Request::kReport, pointers, CaptureWants{});
  // This thread watches the bound: the crash thread may be the one stuck on a lock.
  HANDLE either[2] = {state.shown, state.reported};
  if (WaitForMultipleObjects(2, either, FALSE, TimeLeftInBound()) == WAIT_TIMEOUT) EndProcess();
  WaitForSingleObject(state.reported, INFINITE);
  LendReport(GetCurrentThreadId());
  return true;
}
