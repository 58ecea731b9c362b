#include "capture/hang_watch.h"

#include "capture/crash_path.h"
#include "capture/handler_process.h"
#include "capture/report_guard.h"
#include "capture/runtime_deaths.h"

namespace {

constexpr int kMinHangSeconds = 5;
constexpr int kMaxHangSeconds = 600;
// How often an answering window is asked again, and how long one question waits: short, so that
// stopping the watch never waits long. A window that stops answering gets a question each slice;
// the ones left unanswered are answered (and ignored) if it ever wakes up.
constexpr DWORD kSliceMs = 1000;
constexpr DWORD kWatchStackBytes = 64u << 10;
// What IsHungAppWindow waits for before it calls a window hung.
constexpr DWORD kPlatformHungMs = 5000;

struct HangWatch {
  HANDLE thread;
  HANDLE stop;
  HANDLE watched;
  DWORD watchedId;
  DWORD watchedStackBase;
  DWORD hangMs;
  HINSTANCE instance;
};

HangWatch watch;

BOOL CALLBACK TakeFirstWindow(HWND window, LPARAM found) {
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

// A window of the watched thread, kept while it lives: looking it up again each second would
// cost more than the watching itself.
HWND WatchedWindow() {
  static HWND window = nullptr;
  if (window != nullptr && IsWindow(window) &&
      GetWindowThreadProcessId(window, nullptr) == watch.watchedId) {
    return window;
  }
  window = nullptr;
  EnumThreadWindows(watch.watchedId, TakeFirstWindow, reinterpret_cast<LPARAM>(&window));
  return window;
}

bool Stopping(DWORD waitMs) { return WaitForSingleObject(watch.stop, waitMs) != WAIT_TIMEOUT; }

// True once the watched thread's window has gone hangMs without answering; false when it answers,
// has no window, or the watch stops. The platform keeps the time each thread last took a message
// and calls a window hung after 5 s without one: asking that costs the game nothing, so it is
// all an idle game pays. Past those 5 s the window is asked directly until hangMs have passed.
bool Hung() {
  const HWND window = WatchedWindow();
  if (window == nullptr || !IsHungAppWindow(window)) return false;
  const DWORD started = GetTickCount() - kPlatformHungMs;
  for (;;) {
    if (GetTickCount() - started >= watch.hangMs) return true;
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, kSliceMs, &result) != 0) {
      return false;
    }
    // Not answered in the slice, or the window went away (its thread may be answering).
    if (!IsWindow(window) || Stopping(0)) return false;
  }
}

void ReportHang() {
  // A crash being reported holds the report; the process ends with it.
  if (!AcquireReport()) return;
  SuspendThread(watch.watched);
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  GetThreadContext(watch.watched, &context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = kHangCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
  EXCEPTION_POINTERS pointers = {&record, &context};
  HandOffToHandler(&pointers, watch.watchedId, watch.watchedStackBase);
  ReportForThread(watch.instance, &pointers, watch.watchedId, watch.watchedStackBase);
  TerminateProcess(GetCurrentProcess(), kHangCode);
}

DWORD WINAPI WatchMain(LPVOID) {
  while (!Stopping(kSliceMs)) {
    // While a crash is being reported, the watched thread may be waiting for its dialog.
    if (ReportOwnedElsewhere()) continue;
    if (Hung() && !ReportOwnedElsewhere()) ReportHang();
  }
  return 0;
}

}  // namespace

void WatchForHangs(HINSTANCE instance, int seconds) {
  if (seconds < kMinHangSeconds || seconds > kMaxHangSeconds || watch.thread != nullptr) return;
  watch.instance = instance;
  watch.hangMs = static_cast<DWORD>(seconds) * 1000;
  watch.watchedId = GetCurrentThreadId();
  watch.watchedStackBase = StackBaseOfThisThread();
  watch.watched = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE, FALSE,
                             watch.watchedId);
  watch.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (watch.watched == nullptr || watch.stop == nullptr) {
    StopWatchingForHangs(false);
    return;
  }
  watch.thread = CreateThread(nullptr, kWatchStackBytes, WatchMain, nullptr,
                              STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (watch.thread == nullptr) StopWatchingForHangs(false);
}

void StopWatchingForHangs(bool underLoaderLock) {
  if (watch.thread != nullptr) {
    SetEvent(watch.stop);
    // One question's slice at most. Under the loader lock the thread could not finish its exit,
    // and a watch stuck elsewhere is ended where it is.
    if (underLoaderLock || WaitForSingleObject(watch.thread, 2 * kSliceMs + 500) != WAIT_OBJECT_0) {
      TerminateThread(watch.thread, 0);
    }
    CloseHandle(watch.thread);
  }
  if (watch.stop != nullptr) CloseHandle(watch.stop);
  if (watch.watched != nullptr) CloseHandle(watch.watched);
  watch = HangWatch{};
}
