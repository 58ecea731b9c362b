#include "capture/handler_process.h"

#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/crash_path.h"
#include "capture/crash_summary.h"
#include "capture/entry_points.h"
#include "capture/stack_capture.h"
#include "dialog/crash_dialog.h"
#include "dialog/host_module.h"

namespace {

enum Request : LONG { kNoRequest = 0, kCrash = 1, kQuit = 2 };

// Shared by the game and the handler: written by the game at install (the paths) and at the crash
// (the request), by the handler when it is ready.
struct HandlerBlock {
  volatile LONG ready;
  volatile LONG request;
  DWORD threadId;
  DWORD stackBase;
  DWORD pointers;  // EXCEPTION_POINTERS* in the game
  char hostPath[kHostPathSize];
  wchar_t hostPathW[kHostWidePathSize];
};

// The game's side: made at install, used at the crash.
struct GameSide {
  HANDLE mapping;
  HandlerBlock* block;
  HANDLE wake;     // auto-reset: the game has a request
  HANDLE done;     // manual: the handler gives the crash back
  HANDLE shown;    // manual: the handler's dialog is on screen
  HANDLE ready;    // manual: the handler can take a crash
  HANDLE handler;  // the handler process
};

GameSide game;

constexpr char kIniPath[] = ".\\crashrpt.ini";
// How long InstallCrashRpt waits for the handler to be ready: a crash before then is reported in
// process. Starting a process takes tens of milliseconds; a loaded machine may take seconds.
constexpr DWORD kHandlerStartWaitMs = 5000;

void CloseIf(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

bool HandlerWanted() {
  char mode[16] = {};
  GetPrivateProfileStringA("INFO", "HANDLER", "", mode, sizeof mode, kIniPath);
  return lstrcmpiA(mode, "process") == 0;
}

// --- The handler's side ------------------------------------------------------------------------

constexpr std::size_t kPebProcessParameters = 0x10;
constexpr std::size_t kParametersCurrentDirectory = 0x24;

// Moves to the game's current directory as it is now: crashrpt.ini, log.txt and ver.csv are read
// from there, and the restarted game starts there, as they would in process.
void EnterGameDirectory(ProcessMemory& memory) {
  PROCESS_BASIC_INFORMATION basic = {};
  ULONG got = 0;
  if (NtQueryInformationProcess(memory.process(), ProcessBasicInformation, &basic, sizeof basic,
                                &got) < 0) {
    return;
  }
  const uint32_t peb = reinterpret_cast<uint32_t>(basic.PebBaseAddress);
  uint32_t parameters = 0;
  struct {
    uint16_t length;
    uint16_t maximum;
    uint32_t buffer;
  } directory = {};
  if (!memory.Read(peb + kPebProcessParameters, &parameters, sizeof parameters) ||
      !memory.Read(parameters + kParametersCurrentDirectory, &directory, sizeof directory)) {
    return;
  }
  wchar_t path[MAX_PATH + 1] = {};
  const std::size_t length = directory.length / sizeof(wchar_t);
  if (length == 0 || length > MAX_PATH || !memory.Read(directory.buffer, path, length * 2)) return;
  SetCurrentDirectoryW(path);
}

HANDLE shownEvent = nullptr;
void NotifyShown() { SetEvent(shownEvent); }

// Reports the game's crash: the same summary, stack, dump and dialog as in process, then ends the
// game with the exception code. False when the crash cannot be read: the game reports it itself.
bool ReportGameCrash(HANDLE process, DWORD processId, const HandlerBlock& block) {
  static ProcessMemory memory(process);
  EXCEPTION_POINTERS pointers = {};
  CrashSite site = {};
  if (!memory.Read(block.pointers, &pointers, sizeof pointers) ||
      !memory.Read(reinterpret_cast<uint32_t>(pointers.ExceptionRecord), &site.record,
                   sizeof site.record) ||
      !memory.Read(reinterpret_cast<uint32_t>(pointers.ContextRecord), &site.context,
                   sizeof site.context)) {
    return false;
  }
  site.threadId = block.threadId;
  site.stackBase = block.stackBase;
  EnterGameDirectory(memory);
  CrashRecord& crash = TheCrash();
  const char* exeName = block.hostPath[0] != '\0' ? HostBaseName(block.hostPath) : nullptr;
  CaptureCrash(memory, processId, 0, site, exeName, CaptureWanted(), crash);
  FillCrashRecord(crash, &site.record, block.hostPath[0] != '\0' ? block.hostPath : nullptr,
                  block.hostPathW);
  RunCrashDialog(LibraryInstance, crash, NotifyShown);
  TerminateProcess(process, site.record.ExceptionCode);
  return true;
}

HANDLE Duplicate(HANDLE process, unsigned long value) {
  HANDLE mine = nullptr;
  if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)),
                       GetCurrentProcess(), &mine, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return mine;
}

void RunHandler(const char* commandLine) {
  // The game's id and four of its handles, as StartCrashHandler wrote them. Read without
  // sscanf, whose MinGW implementation would add a tenth to the library's size.
  unsigned long values[6] = {};
  const char* at = commandLine;
  for (unsigned long& value : values) {
    char* end = nullptr;
    value = std::strtoul(at, &end, 16);
    if (end == at) return;
    at = end;
  }
  const unsigned long processId = values[0], mapping = values[1], wake = values[2],
                      done = values[3], shown = values[4], ready = values[5];
  HANDLE process = OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE |
                                   PROCESS_DUP_HANDLE | SYNCHRONIZE,
                               FALSE, processId);
  if (process == nullptr) return;
  HANDLE view = Duplicate(process, mapping);
  HANDLE wakeEvent = Duplicate(process, wake);
  HANDLE doneEvent = Duplicate(process, done);
  shownEvent = Duplicate(process, shown);
  HANDLE readyEvent = Duplicate(process, ready);
  auto* block = view != nullptr ? static_cast<HandlerBlock*>(MapViewOfFile(
                                      view, FILE_MAP_WRITE, 0, 0, sizeof(HandlerBlock)))
                                : nullptr;
  if (block == nullptr || wakeEvent == nullptr || doneEvent == nullptr || shownEvent == nullptr ||
      readyEvent == nullptr) {
    return;
  }
  // The first window sets up this thread's windowing: done now, the dialog comes up faster.
  HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                LibraryInstance, nullptr);
  if (window != nullptr) DestroyWindow(window);
  InterlockedExchange(&block->ready, 1);
  SetEvent(readyEvent);
  HANDLE either[2] = {wakeEvent, process};
  while (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0) {
    const LONG request = InterlockedCompareExchange(&block->request, 0, 0);
    if (request == kQuit) break;
    if (request != kCrash) continue;
    if (!ReportGameCrash(process, processId, *block)) SetEvent(doneEvent);
    break;
  }
}

}  // namespace

void StartCrashHandler(HINSTANCE instance) {
  if (game.handler != nullptr || !HandlerWanted()) return;
  game.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    sizeof(HandlerBlock), nullptr);
  game.block = game.mapping != nullptr ? static_cast<HandlerBlock*>(MapViewOfFile(
                                             game.mapping, FILE_MAP_WRITE, 0, 0, 0))
                                       : nullptr;
  game.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  game.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  game.shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  game.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (game.block == nullptr || game.wake == nullptr || game.done == nullptr ||
      game.shown == nullptr || game.ready == nullptr) {
    StopCrashHandler();
    return;
  }
  ReadHostModulePath(game.block->hostPath);
  ReadHostModulePathW(game.block->hostPathW);

  wchar_t library[MAX_PATH] = {};
  wchar_t runner[MAX_PATH] = {};
  if (GetModuleFileNameW(instance, library, MAX_PATH) == 0 ||
      GetSystemDirectoryW(runner, MAX_PATH - 16) == 0) {
    StopCrashHandler();
    return;
  }
  lstrcatW(runner, L"\\rundll32.exe");
  wchar_t commandLine[3 * MAX_PATH];
  _snwprintf(commandLine, sizeof commandLine / sizeof commandLine[0],
             L"\"%ls\" \"%ls\",VexoCrashHandler %lx %lx %lx %lx %lx %lx", runner, library,
             GetCurrentProcessId(), reinterpret_cast<unsigned long>(game.mapping),
             reinterpret_cast<unsigned long>(game.wake),
             reinterpret_cast<unsigned long>(game.done),
             reinterpret_cast<unsigned long>(game.shown),
             reinterpret_cast<unsigned long>(game.ready));
  commandLine[sizeof commandLine / sizeof commandLine[0] - 1] = L'\0';
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(runner, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    StopCrashHandler();
    return;
  }
  CloseHandle(started.hThread);
  game.handler = started.hProcess;
  // The game has the focus now: its handler may take it for the dialog.
  AllowSetForegroundWindow(started.dwProcessId);
  HANDLE either[2] = {game.ready, game.handler};
  WaitForMultipleObjects(2, either, FALSE, kHandlerStartWaitMs);
}

void StopCrashHandler() {
  if (game.block != nullptr && game.handler != nullptr) {
    InterlockedExchange(&game.block->request, kQuit);
    SetEvent(game.wake);
  }
  if (game.block != nullptr) UnmapViewOfFile(game.block);
  CloseIf(game.mapping);
  CloseIf(game.wake);
  CloseIf(game.done);
  CloseIf(game.shown);
  CloseIf(game.ready);
  CloseIf(game.handler);
  game = GameSide{};
}

bool HandOffToHandler(EXCEPTION_POINTERS* pointers, DWORD threadId, DWORD stackBase) {
  HandlerBlock* block = game.block;
  if (block == nullptr || game.handler == nullptr ||
      InterlockedCompareExchange(&block->ready, 0, 0) == 0 ||
      WaitForSingleObject(game.handler, 0) != WAIT_TIMEOUT) {
    return false;
  }
  block->threadId = threadId;
  block->stackBase = stackBase;
  block->pointers = reinterpret_cast<DWORD>(pointers);
  InterlockedExchange(&block->request, kCrash);
  SetEvent(game.wake);
  HANDLE waits[3] = {game.handler, game.done, game.shown};
  DWORD result = WaitForMultipleObjects(3, waits, FALSE, kDialogBoundMs);
  if (result == WAIT_TIMEOUT) {
    const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
    TerminateProcess(GetCurrentProcess(), record != nullptr ? record->ExceptionCode : 0);
  }
  // On screen: the handler ends the game once the player is done, unless it goes away first.
  if (result == WAIT_OBJECT_0 + 2) WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  return false;
}

extern "C" void CALLBACK VexoCrashHandler(HWND, HINSTANCE, LPSTR commandLine, int) {
  if (commandLine != nullptr) RunHandler(commandLine);
  ExitProcess(0);
}
