#include "dialog_driver.h"

#include <cstdio>

namespace dialog_driver {
namespace {

struct Search {
  DWORD pid;
  HWND found;
  int count;
};

BOOL CALLBACK Visit(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char caption[64] = {};
  if (pid == search->pid && GetWindowTextA(window, caption, sizeof caption) > 0 &&
      std::string(caption) == "Vexo Quest" && IsWindowVisible(window)) {
    if (search->found == nullptr) search->found = window;
    ++search->count;
  }
  return TRUE;
}

Search Scan(DWORD pid) {
  Search search{pid, nullptr, 0};
  EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  return search;
}

// 重启游戏: the restart box's text once WM_INITDIALOG has set it.
const char kRestartText[] = "\xD6\xD8\xC6\xF4\xD3\xCE\xCF\xB7";
constexpr int kRestartId = 4006;

// The dialog shows itself early in WM_INITDIALOG; a click that arrives before the dialog manager
// has set the initial focus is lost. Ready means initialised and pumping its modal loop.
bool Ready(HWND dialog) {
  if (ControlText(dialog, kRestartId) != kRestartText) return false;
  DWORD_PTR ignored;
  return SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_BLOCK, kWaitMs, &ignored) != 0;
}

}  // namespace

HWND FindCrashDialog(DWORD pid, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    HWND found = Scan(pid).found;
    if (found != nullptr && Ready(found)) return found;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(20);
  }
}

int CountCrashDialogs(DWORD pid) { return Scan(pid).count; }

BOOL CALLBACK PressOkOnOwned(HWND window, LPARAM owner) {
  if (GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(owner)) {
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

bool WaitGone(HWND window, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (IsWindow(window)) {
    // Message boxes the dialog owns (the Send action's outcome) are acknowledged.
    EnumWindows(PressOkOnOwned, reinterpret_cast<LPARAM>(window));
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

namespace {

struct BoxSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK VisitOwned(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  if (GetWindow(window, GW_OWNER) == search->owner && std::string(className) == "#32770" &&
      IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND FindOwnedMessageBox(HWND owner, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    BoxSearch search{owner, nullptr};
    EnumWindows(VisitOwned, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(20);
  }
}

std::string ControlText(HWND dialog, int id) {
  char text[512] = {};
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return "<missing>";
  SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

HANDLE ArmRestartMarker(const std::string& markFile, const std::string& eventName) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
  SetEnvironmentVariableA("VEXO_RESTART_MARK", markFile.c_str());
  SetEnvironmentVariableA("VEXO_RESTART_EVENT", eventName.c_str());
  return event;
}

void ClearRestartMarker() {
  SetEnvironmentVariableA("VEXO_RESTART_MARK", nullptr);
  SetEnvironmentVariableA("VEXO_RESTART_EVENT", nullptr);
}

std::string MakeTempFolder(const char* prefix) {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  static LONG serial = 0;
  char path[MAX_PATH];
  // Process ids repeat between runs under Wine: only a folder made here counts as fresh.
  do {
    std::snprintf(path, sizeof path, "%s%s %lu-%lu-%ld", base, prefix, GetCurrentProcessId(),
                  GetTickCount(), InterlockedIncrement(&serial));
  } while (!CreateDirectoryA(path, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  return path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}

std::string ExeDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path - 1);
  std::string dir(path);
  return dir.substr(0, dir.rfind('\\') + 1);
}

}  // namespace dialog_driver
