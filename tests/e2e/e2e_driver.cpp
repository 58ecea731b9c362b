// Starts a game host under the test's control, finds its crash dialog and plays a player's part:
// reads the dialog, optionally unticks the restart box, presses a button, reads and confirms
// every message box the dialog owns, and waits for the host to end. Everything it sees is
// printed as one "key=value" line per event (texts as hex of their GBK bytes) for the runner.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kIdcSend = 4001;
constexpr int kIdcDontSend = 4002;
constexpr int kIdcStatus = 4003;
constexpr int kIdcNotice = 4005;
constexpr int kIdcRestart = 4006;

struct Options {
  std::string exe;
  std::string args;
  std::string dir;
  std::string action = "send";  // send, dontsend, ok, cancel, close
  bool untick = false;
  DWORD timeoutMs = 120000;
  // Also reports how long the dialog took to show after the fault (the host stamps the fault
  // time into a file) and the memory the host committed while sending.
  bool measure = false;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out.empty() ? "-" : out;
}

std::string WindowText(HWND window) {
  if (window == nullptr) return "";
  // Read wide and handed on as GBK, whatever the system's code page: what the player would see.
  // Bounded, as a last resort: a hung thread's window would never answer.
  wchar_t wide[2048] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, sizeof wide / sizeof wide[0],
                      reinterpret_cast<LPARAM>(wide), SMTO_BLOCK, 10000, &copied);
  char buffer[4096] = {};
  WideCharToMultiByte(936, 0, wide, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
  return buffer;
}

void Emit(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The game's children whose executable is named name (any, when empty).
std::vector<DWORD> ChildrenOf(DWORD parent, const wchar_t* name = L"") {
  std::vector<DWORD> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return children;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == parent &&
        (name[0] == L'\0' || lstrcmpiW(entry.szExeFile, name) == 0)) {
      children.push_back(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return children;
}

struct Search {
  // The game and the processes it started: its crash handler shows the dialog from one of them.
  std::vector<DWORD> processIds;
  HWND owner;
  HWND found;
  DWORD foundIn;
};

Search SearchFor(DWORD game, HWND owner = nullptr) {
  Search search = {ChildrenOf(game), owner, nullptr, 0};
  search.processIds.push_back(game);
  return search;
}

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  bool ours = false;
  for (DWORD id : search->processIds) ours = ours || id == pid;
  if (!ours || !IsWindowVisible(window)) return TRUE;
  // Only dialogs are asked for their text: the game's own window may belong to a hung thread.
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") != 0) return TRUE;
  if (WindowText(window) == "Vexo Quest" && GetDlgItem(window, kIdcSend) != nullptr) {
    search->found = window;
    search->foundIn = pid;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  if (GetWindow(window, GW_OWNER) == search->owner && std::strcmp(className, "#32770") == 0 &&
      IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// Wide, as UTF-8: an ANSI argument loses what the system's code page lacks (a game named 游戏.exe
// on an English system).
std::string Utf8(const wchar_t* text) {
  char buffer[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
  return buffer;
}

std::wstring Wide(const std::string& utf8) {
  wchar_t buffer[4096] = {};
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, buffer, sizeof buffer / sizeof buffer[0] - 1);
  return buffer;
}

bool ParseArgs(Options* options) {
  int argc = 0;
  wchar_t** wideArgs = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (wideArgs == nullptr) return false;
  std::vector<std::string> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(Utf8(wideArgs[i]));
  LocalFree(wideArgs);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--exe") {
      options->exe = next();
    } else if (arg == "--args") {
      options->args = next();
    } else if (arg == "--dir") {
      options->dir = next();
    } else if (arg == "--action") {
      options->action = next();
    } else if (arg == "--untick") {
      options->untick = true;
    } else if (arg == "--measure") {
      options->measure = true;
    } else if (arg == "--timeout-ms") {
      options->timeoutMs = static_cast<DWORD>(std::strtoul(next().c_str(), nullptr, 10));
    } else {
      return false;
    }
  }
  return !options->exe.empty();
}

double MillisecondsSince(LONGLONG counts) {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - counts) * 1000.0 /
         static_cast<double>(frequency.QuadPart);
}

// The fault's moment as the host stamped it, or 0.
LONGLONG ReadFaultStamp(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  long long counts = 0;
  if (std::fscanf(file, "%lld", &counts) != 1) counts = 0;
  std::fclose(file);
  return counts;
}

SIZE_T CommittedBytes(HANDLE process, bool peak) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return peak ? counters.PeakPagefileUsage : counters.PagefileUsage;
}

}  // namespace

int main() {
  Options options;
  if (!ParseArgs(&options)) {
    std::fprintf(
        stderr,
        "usage: e2e_driver --exe PATH [--args TEXT] [--dir DIR] "
        "[--action send|dontsend|ok|cancel|close] [--untick] [--timeout-ms N] [--measure]\n");
    return 2;
  }
  std::wstring commandLine = Wide("\"" + options.exe + "\" " + options.args);
  std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back(L'\0');
  char stampPath[MAX_PATH] = {};
  if (options.measure) {
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, "vxf", 0, stampPath);
    DeleteFileA(stampPath);
    SetEnvironmentVariableA("VEXO_FAULT_CLOCK", stampPath);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const std::wstring exe = Wide(options.exe);
  const std::wstring dir = Wide(options.dir);
  if (!CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      options.dir.empty() ? nullptr : dir.c_str(), &startup, &process)) {
    Emit("event=error what=CreateProcess code=" + std::to_string(GetLastError()));
    return 3;
  }
  const DWORD start = GetTickCount();
  auto timeLeft = [&]() -> bool { return GetTickCount() - start < options.timeoutMs; };

  // Wait for the dialog, or for the host to end without one.
  Search search = SearchFor(process.dwProcessId);
  const DWORD pollMs = options.measure ? 1 : 20;
  while (search.found == nullptr && timeLeft()) {
    if (WaitForSingleObject(process.hProcess, pollMs) == WAIT_OBJECT_0) break;
    search = SearchFor(process.dwProcessId);
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  }
  HWND dialog = search.found;
  if (options.measure && dialog != nullptr) {
    const LONGLONG fault = ReadFaultStamp(stampPath);
    char line[96];
    std::snprintf(line, sizeof line, "event=timing crash_to_dialog_ms=%.1f",
                  fault != 0 ? MillisecondsSince(fault) : -1.0);
    Emit(line);
  }
  // The dialog shows itself while it is still being set up; wait until the restart box has its
  // text and the modal loop answers, or what is read and pressed now could be lost.
  static const char kRestartText[] = "\xD6\xD8\xC6\xF4\xD3\xCE\xCF\xB7";  // 重启游戏
  while (dialog != nullptr && timeLeft() &&
         WindowText(GetDlgItem(dialog, kIdcRestart)) != kRestartText) {
    WaitForSingleObject(process.hProcess, 20);
  }
  DWORD_PTR ignored;
  if (dialog != nullptr) SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored);
  if (dialog == nullptr) {
    Emit("event=nodialog");
  } else {
    HWND restart = GetDlgItem(dialog, kIdcRestart);
    Emit(std::string("event=dialog process=") +
         (search.foundIn == process.dwProcessId ? "game" : "handler") + " send_enabled=" +
         std::to_string(IsWindowEnabled(GetDlgItem(dialog, kIdcSend))) +
         " restart_checked=" + std::to_string(SendMessageA(restart, BM_GETCHECK, 0, 0)) +
         " restart_text=" + Hex(WindowText(restart)) +
         " send_text=" + Hex(WindowText(GetDlgItem(dialog, kIdcSend))) +
         " dontsend_text=" + Hex(WindowText(GetDlgItem(dialog, kIdcDontSend))) +
         " notice_text=" + Hex(WindowText(GetDlgItem(dialog, kIdcNotice))) +
         " status=" + Hex(WindowText(GetDlgItem(dialog, kIdcStatus))));
    if (options.untick) SendMessageA(restart, BM_SETCHECK, BST_UNCHECKED, 0);

    const SIZE_T committedBefore = CommittedBytes(process.hProcess, false);
    // Posted, not sent: the Send action blocks the dialog's thread in its own message boxes.
    if (options.action == "send") {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(kIdcSend, BN_CLICKED), 0);
    } else if (options.action == "dontsend") {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(kIdcDontSend, BN_CLICKED), 0);
    } else if (options.action == "ok") {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (options.action == "cancel") {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      PostMessageA(dialog, WM_CLOSE, 0, 0);
    }

    // Confirm every message box the dialog shows until the dialog is gone.
    int boxes = 0;
    while (IsWindow(dialog) && timeLeft()) {
      Search boxSearch = SearchFor(process.dwProcessId, dialog);
      EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&boxSearch));
      if (boxSearch.found == nullptr) {
        WaitForSingleObject(process.hProcess, 20);
        continue;
      }
      HWND box = boxSearch.found;
      ++boxes;
      if (options.measure) {
        // The upload is over once its box shows; the peak covers everything Send held at once.
        const SIZE_T peak = CommittedBytes(process.hProcess, true);
        Emit("event=memory before_kb=" + std::to_string(committedBefore / 1024) +
             " peak_kb=" + std::to_string(peak / 1024));
      }
      Emit("event=box caption=" + Hex(WindowText(box)) +
           " text=" + Hex(WindowText(GetDlgItem(box, 0xFFFF))) +
           " status=" + Hex(WindowText(GetDlgItem(dialog, kIdcStatus))) +
           " elapsed_ms=" + std::to_string(GetTickCount() - start));
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      while (IsWindow(box) && timeLeft()) WaitForSingleObject(process.hProcess, 10);
    }
    Emit("event=closed boxes=" + std::to_string(boxes) +
         " dialog_gone=" + std::to_string(!IsWindow(dialog)));
  }

  // A crash handler the game started must end with it; those still running are counted once they
  // have had a few seconds to notice.
  std::vector<HANDLE> handlers;
  for (DWORD id : ChildrenOf(process.dwProcessId, L"rundll32.exe")) {
    HANDLE handler = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (handler != nullptr) handlers.push_back(handler);
  }
  DWORD waited = WaitForSingleObject(process.hProcess, timeLeft() ? options.timeoutMs : 1000);
  int leftover = 0;
  for (HANDLE handler : handlers) {
    if (WaitForSingleObject(handler, 5000) != WAIT_OBJECT_0) {
      ++leftover;
      TerminateProcess(handler, 1);
    }
    CloseHandle(handler);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(exitCode));
  // The game's own time: a wrapper around this driver may wait for a shared display first.
  Emit(std::string("event=exit code=") + code +
       " ended=" + std::to_string(waited == WAIT_OBJECT_0) +
       " handlers_left=" + std::to_string(leftover) +
       " elapsed_ms=" + std::to_string(GetTickCount() - start));
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  if (stampPath[0] != '\0') DeleteFileA(stampPath);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
