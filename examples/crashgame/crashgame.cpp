// crashgame KIND: arms VexoCrashRpt.dll and then fails the chosen way.
//   av | div0 | cpp | stack | thread | twocrash | raise CODE FLAGS | testsend | install
//   locate: prints the first crash dialog's window rectangle (left top width height)
//   close: presses "don't send" on every open crash dialog (for scripts without a driver of their own)
// With VEXO_RESTART_MARK set and no arguments it is the restarted game: it appends a line to that
// file, signals the event named by VEXO_RESTART_EVENT (if any) and exits at once.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using ExportFn = int(__cdecl*)();

// What an MSVC-built game raises for a C++ throw. MinGW's own throw never reaches the top-level
// filter (it ends in std::terminate), so the host raises it the way such a game would.
constexpr DWORD kMsvcCppException = 0xE06D7363;
constexpr WORD kDontSendId = 4002;

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

int RecordRestart(const char* markFile) {
  FILE* file = std::fopen(markFile, "ab");
  if (file != nullptr) {
    std::fputs("restarted\n", file);
    std::fclose(file);
  }
  SignalEventNamedIn("VEXO_RESTART_EVENT");
  return 0;
}

void AccessViolation() { *static_cast<volatile int*>(nullptr) = 1; }

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

DWORD WINAPI CrashingThread(LPVOID) {
  AccessViolation();
  return 0;
}

bool OwnDialogShown() {
  for (HWND window = FindWindowA(nullptr, "Vexo Quest"); window != nullptr;
       window = FindWindowExA(nullptr, window, nullptr, "Vexo Quest")) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId()) return true;
  }
  return false;
}

// A second thread crashes first; once its dialog is up, the main thread faults too.
int TwoCrashes() {
  HANDLE thread = CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr);
  if (thread == nullptr) return 3;
  while (!OwnDialogShown()) Sleep(10);
  SignalEventNamedIn("VEXO_SECOND_FAULT_EVENT");
  return DivideByZero();
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
    std::fprintf(stderr, "usage: crashgame av|div0|cpp|stack|thread|twocrash|raise CODE FLAGS|"
                         "testsend|install\n");
    return 2;
  }
  if (std::strcmp(argv[1], "close") == 0) return CloseDialogs();
  if (std::strcmp(argv[1], "locate") == 0) return LocateDialog();
  HMODULE library = LoadLibraryA("VexoCrashRpt.dll");
  if (library == nullptr) {
    std::fprintf(stderr, "crashgame: VexoCrashRpt.dll not loaded (%lu)\n", GetLastError());
    return 3;
  }
  auto install = reinterpret_cast<ExportFn>(GetProcAddress(library, "InstallCrashRpt"));
  auto testSend = reinterpret_cast<ExportFn>(GetProcAddress(library, "TestSendDlg"));
  if (install == nullptr || testSend == nullptr) return 3;
  const int installed = install();

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
    return TwoCrashes();
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
