// crashgame KIND: arms VexoCrashRpt.dll and then fails the chosen way.
//   av | div0 | cpp | stack | thread | twocrash | raise CODE FLAGS | testsend | install
//   oom: commits the whole address space, then faults
//   heaplock-av | heaplock-stack: faults or overflows its stack holding the process heap's lock
//   loaderlock-av | loaderlock-stack: the same holding the loader lock
//   heap-free | heap-alloc: overruns a block of the process heap into its neighbour, then frees the
//     block or allocates: the heap's own code faults on the damage
//   loaderlock-hang: a side thread takes the loader lock and never gives it back; then faults
//   kill-handler: ends the crash handler process the library started, then faults
//   loaderlock-second: a side thread faults; once its dialog is up, the main thread faults holding
//     the loader lock
//   chain | chain-stack | chain-thread: ChainOuter calls ChainMiddle calls ChainInner, which
//     faults, overflows its stack, or does so on a second thread: a stack trace names all three
//   chain-side: ChainSide calls ChainMiddle calls ChainInner, which faults: the same crash from
//     another caller
//   abort RUNTIME | purecall RUNTIME | invalidparam RUNTIME: loads the C runtime (msvcrt.dll,
//     msvcr100.dll, ucrtbase.dll...) before arming and dies through its abort, _purecall or an
//     invalid argument to its strcpy_s
//   late-abort RUNTIME: the same as abort, with the runtime loaded after arming
//   throw | throw-thread: an uncaught C++ exception, on the main thread or a std::thread
//   filter-declines | filter-handles: sets its own top-level filter (noted in the file named by
//     VEXO_FILTER_MARK), which declines or handles the access violation that follows
//   filter-null: sets a NULL filter, then faults
//   filter-dll: loads crashgame_middleware.dll, which sets a filter of its own, then faults
//   hang: a window on the main thread, then a deadlock of the main thread and a worker
//   busy: a window on the main thread that answers only every 3 s, five times, then exits
//   idle SECONDS: a window on the main thread, idle in its message loop for SECONDS; then prints
//     the process's CPU time (cpu_ms=N), how long InstallCrashRpt took (install_ms=N) and the
//     memory of the game and of its crash handler, if any (game_ws_kb, handler_ws_kb...), and exits
//   threads N: starts N-1 threads that wait, then faults on the main thread
//   exitfault: ends normally and faults late in termination, after the library's own detach
//     (through crashgame_late.dll)
//   locate: prints the first crash dialog's window rectangle (left top width height)
//   close: presses "don't send" on every open crash dialog (for scripts without a driver of their
//   own)
// With VEXO_RESTART_MARK set and no arguments it is the restarted game: it appends a line to that
// file, signals the event named by VEXO_RESTART_EVENT (if any) and exits at once.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using ExportFn = int(__cdecl*)();

// What an MSVC-built game raises for a C++ throw. MinGW's own throw never reaches the top-level
// filter (it ends in std::terminate), so the host raises it the way such a game would.
constexpr DWORD kMsvcCppException = 0xE06D7363;
constexpr WORD kDontSendId = 4002;
constexpr int kRestartId = 4006;

// Tells a waiting test that something happened, through the event the test named in variable.
void SignalEventNamedIn(const char* variable) {
  char eventName[MAX_PATH];
  if (GetEnvironmentVariableA(variable, eventName, sizeof eventName) == 0) return;
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
  if (event != nullptr) {
    SetEvent(event);
    CloseHandle(event);
  }
}

void AppendLine(const char* path, const char* line) {
  FILE* file = std::fopen(path, "ab");
  if (file != nullptr) {
    std::fputs(line, file);
    std::fclose(file);
  }
}

int RecordRestart(const char* markFile) {
  AppendLine(markFile, "restarted\n");
  SignalEventNamedIn("VEXO_RESTART_EVENT");
  return 0;
}

// The game's own top-level filter, set after arming as engines do.
LONG gameFilterAnswer = EXCEPTION_CONTINUE_SEARCH;

LONG WINAPI GameFilter(EXCEPTION_POINTERS*) {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("VEXO_FILTER_MARK", path, sizeof path) > 0) {
    AppendLine(path, "game filter\n");
  }
  return gameFilterAnswer;
}

// Stamps the moment of the fault (the performance counter, as decimal text) into the file named by
// VEXO_FAULT_CLOCK, so that a test can time the way to the dialog. Plain file calls: no C runtime
// buffers between here and the fault.
void StampFaultTime() {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("VEXO_FAULT_CLOCK", path, sizeof path) == 0) return;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%lld", now.QuadPart);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  CloseHandle(file);
}

void AccessViolation() {
  StampFaultTime();
  *static_cast<volatile int*>(nullptr) = 1;
}

int DivideByZero() {
  volatile int zero = 0;
  volatile int one = 1;
  return one / zero;
}

// The volatile buffer keeps the frame from being optimised into a loop; the volatile limit keeps
// the compiler from calling the recursion endless.
volatile int recursionLimit = 0x7FFFFFFF;

int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth >= recursionLimit) return frame[0];
  return Recurse(depth + 1) + frame[0];
}

// A call chain a stack trace must recover: never inlined, cloned or turned into jumps (each
// caller uses the result), so that every function keeps its own frame.
volatile int* volatile chainTarget = nullptr;
volatile bool chainOverflows = false;

// Far more than any thread's stack: the probe of its first pages runs into the guard page.
__attribute__((noipa)) int Overflow(int depth) {
  volatile char frame[64 << 20];
  frame[0] = static_cast<char>(depth);
  return frame[0];
}

__attribute__((noipa)) int ChainInner(int depth) {
  if (chainOverflows) return Overflow(depth + 1) + 1;
  StampFaultTime();
  *chainTarget = depth;
  return depth;
}

__attribute__((noipa)) int ChainMiddle(int depth) { return ChainInner(depth + 1) + 1; }

__attribute__((noipa)) int ChainOuter(int depth) { return ChainMiddle(depth + 1) + 1; }

__attribute__((noipa)) int ChainSide(int depth) { return ChainMiddle(depth + 2) + 2; }

DWORD WINAPI ChainThread(LPVOID) { return static_cast<DWORD>(ChainOuter(0)); }

DWORD WINAPI CrashingThread(LPVOID) {
  AccessViolation();
  return 0;
}

// The process's crash dialog once it is on screen: visible, set up, and painted.
bool OwnDialogShown() {
  static const char kRestartText[] = "\xD6\xD8\xC6\xF4\xD3\xCE\xCF\xB7";  // 重启游戏
  for (HWND window = FindWindowA(nullptr, "Vexo Quest"); window != nullptr;
       window = FindWindowExA(nullptr, window, nullptr, "Vexo Quest")) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char text[32] = {};
    GetWindowTextA(GetDlgItem(window, kRestartId), text, sizeof text);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(window) ||
        std::strcmp(text, kRestartText) != 0) {
      continue;
    }
    // Painted now, by the dialog's own thread, before the caller goes on.
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    return true;
  }
  return false;
}

// ntdll's loader lock, as a DllMain holds it. Under Wine a fault inside a DllMain never reaches
// the filter (the loader catches it), so the lock is taken directly.
bool LockLoader() {
  using LockFn = LONG(NTAPI*)(ULONG flags, ULONG * disposition, ULONG_PTR * cookie);
  auto lock = reinterpret_cast<LockFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock")));
  ULONG_PTR cookie = 0;
  return lock != nullptr && lock(0, nullptr, &cookie) == 0;
}

// Overruns a 64-byte block of the process heap by 64 bytes, over its neighbour's header, and then
// frees it (the heap merges it with the damaged neighbour) or, with the neighbour freed first,
// allocates (the heap follows the damaged free list).
int CorruptHeap(bool thenAllocate) {
  HANDLE heap = GetProcessHeap();
  auto* block = static_cast<char*>(HeapAlloc(heap, 0, 64));
  auto* neighbour = static_cast<char*>(HeapAlloc(heap, 0, 64));
  if (block == nullptr || neighbour == nullptr) return 3;
  if (thenAllocate) HeapFree(heap, 0, neighbour);
  StampFaultTime();
  std::memset(block, 0x41, 128);
  if (thenAllocate) return HeapAlloc(heap, 0, 64) != nullptr ? 4 : 5;
  HeapFree(heap, 0, block);
  return 4;
}

HANDLE loaderLockTaken = nullptr;

DWORD WINAPI HoldLoaderLockForever(LPVOID) {
  if (!LockLoader()) return 3;
  SetEvent(loaderLockTaken);
  Sleep(INFINITE);
  return 0;
}

// The crash handler is the process this one started from rundll32.exe; 0 when there is none.
DWORD CrashHandlerId() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
       more = Process32Next(snapshot, &entry)) {
    if (entry.th32ParentProcessID == GetCurrentProcessId() &&
        lstrcmpiA(entry.szExeFile, "rundll32.exe") == 0) {
      found = entry.th32ProcessID;
    }
  }
  CloseHandle(snapshot);
  return found;
}

void PrintMemory(const char* who, HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (process == nullptr || !GetProcessMemoryInfo(process, &counters, sizeof counters)) return;
  std::printf("%s_ws_kb=%lu %s_private_kb=%lu\n", who,
              static_cast<unsigned long>(counters.WorkingSetSize / 1024), who,
              static_cast<unsigned long>(counters.PagefileUsage / 1024));
}

bool EndCrashHandler() {
  const DWORD handlerId = CrashHandlerId();
  HANDLE handler = handlerId != 0 ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, handlerId)
                                  : nullptr;
  const bool ended = handler != nullptr && TerminateProcess(handler, 1) &&
                     WaitForSingleObject(handler, 10000) == WAIT_OBJECT_0;
  if (handler != nullptr) CloseHandle(handler);
  return ended;
}

// A second thread crashes first; once its dialog is up, the main thread faults too, holding the
// loader lock when asked to.
int TwoCrashes(bool holdLoaderLock) {
  HANDLE thread = CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr);
  if (thread == nullptr) return 3;
  while (!OwnDialogShown()) Sleep(10);
  if (holdLoaderLock && !LockLoader()) return 3;
  SignalEventNamedIn("VEXO_SECOND_FAULT_EVENT");
  return DivideByZero();
}

// Commits every byte of address space it can get, the large pieces first, then takes what is left
// in the heaps, as a game that ran out of memory has. Returns the megabytes committed.
unsigned long ExhaustAddressSpace() {
  unsigned long long committed = 0;
  for (SIZE_T chunk = SIZE_T{64} << 20; chunk >= SIZE_T{64} << 10; chunk /= 2) {
    while (VirtualAlloc(nullptr, chunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE) != nullptr) {
      committed += chunk;
    }
  }
  for (int i = 0; i < 1000000 && std::malloc(256) != nullptr; ++i) committed += 256;
  for (int i = 0; i < 1000000 && HeapAlloc(GetProcessHeap(), 0, 256) != nullptr; ++i) {
    committed += 256;
  }
  return static_cast<unsigned long>(committed >> 20);
}

// Deaths inside a C runtime, reached through its exports as a game built against it would.
bool IsRuntimeDeath(const char* kind) {
  return std::strcmp(kind, "abort") == 0 || std::strcmp(kind, "purecall") == 0 ||
         std::strcmp(kind, "invalidparam") == 0 || std::strcmp(kind, "late-abort") == 0;
}

__attribute__((noipa)) int CallAbort(HMODULE runtime) {
  auto abortFn = reinterpret_cast<void(__cdecl*)()>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "abort")));
  if (abortFn == nullptr) return 3;
  StampFaultTime();
  abortFn();
  return 4;
}

__attribute__((noipa)) int CallPureVirtual(HMODULE runtime) {
  auto pureCall = reinterpret_cast<void(__cdecl*)()>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "_purecall")));
  if (pureCall == nullptr) return 3;
  pureCall();
  return 4;
}

__attribute__((noipa)) int PassInvalidParameter(HMODULE runtime) {
  auto copy = reinterpret_cast<int(__cdecl*)(char*, size_t, const char*)>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "strcpy_s")));
  if (copy == nullptr) return 3;
  return copy(nullptr, 1, "x") == 0 ? 4 : 5;
}

// Never inlined, and its result used after the call (no tail call): the report's stack leads
// through it to the game's caller of the runtime.
__attribute__((noipa)) int DieInRuntime(const char* kind, HMODULE runtime) {
  if (runtime == nullptr) return 3;
  if (std::strcmp(kind, "purecall") == 0) return CallPureVirtual(runtime);
  if (std::strcmp(kind, "invalidparam") == 0) return PassInvalidParameter(runtime);
  volatile int result = CallAbort(runtime);
  return result;
}

__attribute__((noipa)) void ThrowUncaught() { throw std::runtime_error("nobody catches this"); }

HWND CreateGameWindow() {
  return CreateWindowExA(0, "STATIC", "crashgame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320,
                         200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

void PumpMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

CRITICAL_SECTION heldByWorker;
HANDLE workerHolds = nullptr;
HANDLE mainThread = nullptr;

DWORD WINAPI HoldAndWaitForMain(LPVOID) {
  EnterCriticalSection(&heldByWorker);
  SetEvent(workerHolds);
  WaitForSingleObject(mainThread, INFINITE);
  return 0;
}

// The main thread waits for a lock whose holder waits for the main thread.
__attribute__((noipa)) int DeadlockForever() {
  WaitForSingleObject(workerHolds, INFINITE);
  EnterCriticalSection(&heldByWorker);
  return 4;
}

int Hang() {
  if (CreateGameWindow() == nullptr) return 3;
  PumpMessages();
  InitializeCriticalSection(&heldByWorker);
  workerHolds = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  if (workerHolds == nullptr ||
      CreateThread(nullptr, 0, HoldAndWaitForMain, nullptr, 0, nullptr) == nullptr) {
    return 3;
  }
  return DeadlockForever();
}

// Busy for 3 s at a time between message loops: slow, never hung.
int BusyButAnswering() {
  HWND window = CreateGameWindow();
  if (window == nullptr) return 3;
  for (int round = 0; round < 5; ++round) {
    PumpMessages();
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < 3000) {
    }
  }
  PumpMessages();
  DestroyWindow(window);
  return 0;
}

// An idle game in its message loop; what the process spent meanwhile is the library's own cost.
int IdleFor(unsigned seconds) {
  if (CreateGameWindow() == nullptr) return 3;
  FILETIME created, exited, kernelBefore, userBefore, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore);
  SetTimer(nullptr, 0, seconds * 1000, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) {
    DispatchMessageA(&message);
  }
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  const unsigned long long spent =
      ticks(kernel) + ticks(user) - ticks(kernelBefore) - ticks(userBefore);
  std::printf("cpu_ms=%.1f\n", static_cast<double>(spent) / 10000.0);
  PrintMemory("game", GetCurrentProcess());
  if (const DWORD handlerId = CrashHandlerId()) {
    HANDLE handler = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, handlerId);
    PrintMemory("handler", handler);
    if (handler != nullptr) CloseHandle(handler);
  }
  return 0;
}

DWORD WINAPI WaitForever(LPVOID) {
  Sleep(INFINITE);
  return 0;
}

int LocateDialog() {
  HWND window = FindWindowA(nullptr, "Vexo Quest");
  RECT rect;
  if (window == nullptr || !GetWindowRect(window, &rect)) return 1;
  std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  return 0;
}

int CloseDialogs() {
  int closed = 0;
  for (HWND window = FindWindowA(nullptr, "Vexo Quest"); window != nullptr;
       window = FindWindowExA(nullptr, window, nullptr, "Vexo Quest")) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(kDontSendId, BN_CLICKED), 0);
    ++closed;
  }
  std::printf("closed %d\n", closed);
  return closed > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  char markFile[MAX_PATH];
  if (argc < 2) {
    if (GetEnvironmentVariableA("VEXO_RESTART_MARK", markFile, sizeof markFile) > 0) {
      return RecordRestart(markFile);
    }
    std::fprintf(stderr,
                 "usage: crashgame av|div0|cpp|stack|thread|twocrash|raise CODE FLAGS|oom|"
                 "heaplock-av|heaplock-stack|loaderlock-av|loaderlock-stack|heap-free|heap-alloc|"
                 "loaderlock-hang|kill-handler|"
                 "loaderlock-second|exitfault|chain|chain-stack|chain-thread|chain-side|"
                 "abort|purecall|invalidparam|late-abort RUNTIME|throw|throw-thread|"
                 "filter-declines|filter-handles|filter-null|filter-dll|hang|busy|idle SECONDS|"
                 "testsend|install\n");
    return 2;
  }
  if (std::strcmp(argv[1], "close") == 0) return CloseDialogs();
  if (std::strcmp(argv[1], "locate") == 0) return LocateDialog();
  // Loaded first, so that it is detached last, after the crash reporter.
  HMODULE late =
      std::strcmp(argv[1], "exitfault") == 0 ? LoadLibraryA("crashgame_late.dll") : nullptr;
  // A runtime the game uses from its start is loaded before arming; a late one after.
  const bool runtimeDeath = IsRuntimeDeath(argv[1]) && argc >= 3;
  HMODULE runtime = runtimeDeath && std::strncmp(argv[1], "late-", 5) != 0
                        ? LoadLibraryA(argv[2])
                        : nullptr;
  HMODULE library = LoadLibraryA("VexoCrashRpt.dll");
  if (library == nullptr) {
    std::fprintf(stderr, "crashgame: VexoCrashRpt.dll not loaded (%lu)\n", GetLastError());
    return 3;
  }
  auto install = reinterpret_cast<ExportFn>(GetProcAddress(library, "InstallCrashRpt"));
  auto testSend = reinterpret_cast<ExportFn>(GetProcAddress(library, "TestSendDlg"));
  if (install == nullptr || testSend == nullptr) return 3;
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  const int installed = install();
  QueryPerformanceCounter(&after);
  const double installMs =
      static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 / frequency.QuadPart;

  const char* kind = argv[1];
  if (std::strcmp(kind, "av") == 0) {
    AccessViolation();
  } else if (std::strcmp(kind, "div0") == 0) {
    return DivideByZero();
  } else if (std::strcmp(kind, "cpp") == 0) {
    RaiseException(kMsvcCppException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  } else if (std::strcmp(kind, "stack") == 0) {
    return Recurse(0);
  } else if (std::strcmp(kind, "thread") == 0) {
    HANDLE thread = CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr);
    if (thread == nullptr) return 3;
    WaitForSingleObject(thread, INFINITE);
  } else if (std::strcmp(kind, "twocrash") == 0) {
    return TwoCrashes(false);
  } else if (std::strcmp(kind, "loaderlock-second") == 0) {
    return TwoCrashes(true);
  } else if (std::strcmp(kind, "oom") == 0) {
    const unsigned long megabytes = ExhaustAddressSpace();
    std::fprintf(stderr, "crashgame: %lu MB committed\n", megabytes);
    AccessViolation();
  } else if (std::strcmp(kind, "heap-free") == 0 || std::strcmp(kind, "heap-alloc") == 0) {
    return CorruptHeap(kind[5] == 'a');
  } else if (std::strcmp(kind, "loaderlock-hang") == 0) {
    loaderLockTaken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (CreateThread(nullptr, 0, HoldLoaderLockForever, nullptr, 0, nullptr) == nullptr) return 3;
    WaitForSingleObject(loaderLockTaken, INFINITE);
    AccessViolation();
  } else if (std::strcmp(kind, "kill-handler") == 0) {
    if (!EndCrashHandler()) return 3;
    AccessViolation();
  } else if (std::strncmp(kind, "heaplock-", 9) == 0 ||
             std::strncmp(kind, "loaderlock-", 11) == 0) {
    const bool heap = kind[0] == 'h';
    if (heap ? !HeapLock(GetProcessHeap()) : !LockLoader()) return 3;
    if (std::strcmp(std::strchr(kind, '-') + 1, "stack") == 0) return Recurse(0);
    AccessViolation();
  } else if (std::strcmp(kind, "chain") == 0 || std::strcmp(kind, "chain-stack") == 0) {
    chainOverflows = kind[5] == '-';
    return ChainOuter(0);
  } else if (std::strcmp(kind, "chain-side") == 0) {
    return ChainSide(0);
  } else if (std::strcmp(kind, "chain-thread") == 0) {
    HANDLE thread = CreateThread(nullptr, 0, ChainThread, nullptr, 0, nullptr);
    if (thread == nullptr) return 3;
    WaitForSingleObject(thread, INFINITE);
  } else if (runtimeDeath) {
    if (runtime == nullptr) runtime = LoadLibraryA(argv[2]);
    return DieInRuntime(kind, runtime);
  } else if (std::strcmp(kind, "throw") == 0) {
    ThrowUncaught();
  } else if (std::strcmp(kind, "throw-thread") == 0) {
    std::thread worker(ThrowUncaught);
    worker.join();
  } else if (std::strncmp(kind, "filter-", 7) == 0) {
    if (std::strcmp(kind, "filter-handles") == 0) gameFilterAnswer = EXCEPTION_EXECUTE_HANDLER;
    if (std::strcmp(kind, "filter-null") == 0) {
      SetUnhandledExceptionFilter(nullptr);
    } else if (std::strcmp(kind, "filter-dll") == 0) {
      if (LoadLibraryA("crashgame_middleware.dll") == nullptr) return 3;
    } else {
      SetUnhandledExceptionFilter(GameFilter);
    }
    AccessViolation();
  } else if (std::strcmp(kind, "hang") == 0) {
    return Hang();
  } else if (std::strcmp(kind, "busy") == 0) {
    return BusyButAnswering();
  } else if (std::strcmp(kind, "threads") == 0 && argc >= 3) {
    for (int i = 1; i < std::atoi(argv[2]); ++i) {
      if (CreateThread(nullptr, 0, WaitForever, nullptr, 0, nullptr) == nullptr) return 3;
    }
    AccessViolation();
  } else if (std::strcmp(kind, "idle") == 0 && argc >= 3) {
    std::printf("install_ms=%.1f\n", installMs);
    return IdleFor(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
  } else if (std::strcmp(kind, "exitfault") == 0) {
    auto arm = reinterpret_cast<void(__cdecl*)()>(
        reinterpret_cast<void*>(GetProcAddress(late, "ArmLateFault")));
    if (arm == nullptr) return 3;
    arm();
    return 0;
  } else if (std::strcmp(kind, "raise") == 0 && argc >= 4) {
    RaiseException(std::strtoul(argv[2], nullptr, 0), std::strtoul(argv[3], nullptr, 0), 0,
                   nullptr);
  } else if (std::strcmp(kind, "testsend") == 0) {
    const int result = testSend();
    std::printf("TestSendDlg returned %d\n", result);
    return result;
  } else if (std::strcmp(kind, "install") == 0) {
    std::printf("InstallCrashRpt returned %d\n", installed);
    return installed;
  }
  std::fprintf(stderr, "crashgame: unknown kind %s\n", kind);
  return 2;
}
