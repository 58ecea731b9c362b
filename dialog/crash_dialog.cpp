#include "dialog/crash_dialog.h"

#include <cstring>
#include <cwchar>

#include "common/text_helpers.h"
#include "dialog/dialog_ids.h"
#include "dialog/host_module.h"
#include "dialog/player_text.h"
#include "dialog/send_crash_report.h"

BOOL WINAPI StartHostProcess(const wchar_t* commandLine, UINT show) {
  // CreateProcessW may write into the command line it is given.
  wchar_t line[kCrashHostPathChars + 3];
  lstrcpynW(line, commandLine, sizeof line / sizeof line[0]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return FALSE;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return TRUE;
}

HostLauncher LaunchHost = StartHostProcess;

namespace {

constexpr int kHeaderInset = 10;
constexpr std::size_t kApologySize = kCrashHostPathChars + 64;

struct DialogParameters {
  const CrashRecord* crash;
  void (*onShown)();
};

const CrashRecord* CrashOf(HWND dialog) {
  return reinterpret_cast<const CrashRecord*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

const wchar_t* HostPathOf(HWND dialog) {
  const CrashRecord* crash = CrashOf(dialog);
  return crash != nullptr ? reinterpret_cast<const wchar_t*>(crash->hostPath) : L"";
}

void InitDialog(HWND dialog, const CrashRecord& crash) {
  HWND desktop = GetDesktopWindow();
  if (desktop != nullptr) {
    RECT desk;
    RECT own;
    GetWindowRect(desktop, &desk);
    GetWindowRect(dialog, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    SetWindowPos(dialog, HWND_TOPMOST, (desk.right - width) / 2, (desk.bottom - height) / 2, width,
                 height, SWP_SHOWWINDOW);
  }
  HWND restart = GetDlgItem(dialog, IDC_RESTART);
  if (restart != nullptr) {
    SendMessageA(restart, BM_SETCHECK, BST_CHECKED, 0);
    SetWindowTextW(restart, PlayerText("重启游戏"));
  }
  HWND send = GetDlgItem(dialog, IDC_SEND);
  if (!IsUsableReportUrl(crash.url) && send != nullptr) EnableWindow(send, FALSE);
  // The handler process shows the dialog for a game that has the focus.
  SetForegroundWindow(dialog);
}

void Paint(HWND dialog) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(dialog, &paint);
  RECT band;
  GetHeaderRect(dialog, &band);
  band.left += kHeaderInset;
  band.top += kHeaderInset;
  band.right -= kHeaderInset;
  band.bottom -= kHeaderInset;

  // The name as the platform has it: shown right whatever its characters.
  const wchar_t* baseName = HostBaseNameW(HostPathOf(dialog));
  wchar_t apology[kApologySize];
  lstrcpynW(apology, baseName[0] != L'\0' ? baseName : PlayerText("程序"), kCrashHostPathChars);
  const std::size_t used = std::wcslen(apology);
  lstrcpynW(apology + used, PlayerText(" 遇到问题需要关闭，我们对此引起的不便表示抱歉。"),
            static_cast<int>(kApologySize - used));

  HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
  HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  DrawTextW(dc, apology, -1, &band, DT_NOPREFIX | DT_WORDBREAK);
  if (font != nullptr && previous != nullptr) SelectObject(dc, previous);
  EndPaint(dialog, &paint);
}

BOOL EraseBackground(HWND dialog, HDC dc) {
  if (dc == nullptr) return FALSE;
  RECT client;
  GetClientRect(dialog, &client);
  FillRect(dc, &client, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
  RECT band;
  GetHeaderRect(dialog, &band);
  HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
  FillRect(dc, &band, white);
  DeleteObject(white);
  return TRUE;
}

void Close(HWND dialog) {
  HWND restart = GetDlgItem(dialog, IDC_RESTART);
  if (restart != nullptr && SendMessageA(restart, BM_GETCHECK, 0, 0) == BST_CHECKED) {
    const wchar_t* path = HostPathOf(dialog);
    if (path[0] != L'\0') {
      // Quoted: unquoted, a path with blanks would start whatever program its first words name.
      wchar_t commandLine[kCrashHostPathChars + 3] = L"\"";
      lstrcpynW(commandLine + 1, path, kCrashHostPathChars);
      lstrcatW(commandLine, L"\"");
      LaunchHost(commandLine, SW_SHOW);
    }
  }
  DestroyWindow(dialog);
  // The modal loop only notices the window is gone when it next retrieves a message; a close sent
  // from another thread arrives inside that retrieval, so wake the loop.
  PostMessageA(nullptr, WM_NULL, 0, 0);
}

}  // namespace

void RunCrashDialog(HINSTANCE instance, const CrashRecord& crash, void (*onShown)()) {
  DialogParameters parameters = {&crash, onShown};
  // A wide dialog: its texts come from the resource as they are, not through the system's code
  // page.
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CRASH), nullptr, CrashDlgProc,
                  reinterpret_cast<LPARAM>(&parameters));
}

void GetHeaderRect(HWND dialog, RECT* out) {
  RECT client;
  GetClientRect(dialog, &client);
  out->left = 0;
  out->top = 0;
  out->right = client.right;
  out->bottom = 100;
  HWND separator = GetDlgItem(dialog, IDC_SEPARATOR);
  RECT line;
  if (separator != nullptr && GetWindowRect(separator, &line)) {
    POINT topLeft{line.left, line.top};
    ScreenToClient(dialog, &topLeft);
    out->bottom = topLeft.y;
  }
}

INT_PTR CALLBACK CrashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* parameters = reinterpret_cast<const DialogParameters*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(parameters->crash));
      InitDialog(dialog, *parameters->crash);
      if (parameters->onShown != nullptr) parameters->onShown();
      return TRUE;
    }
    case WM_PAINT:
      Paint(dialog);
      return FALSE;
    case WM_ERASEBKGND:
      return EraseBackground(dialog, reinterpret_cast<HDC>(wParam));
    case WM_CLOSE:
      Close(dialog);
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_SEND:
          if (CrashOf(dialog) != nullptr) SendCrashReport(dialog, *CrashOf(dialog));
          SendMessageA(dialog, WM_CLOSE, 0, 0);
          return TRUE;
        case IDOK:
        case IDCANCEL:
        case IDC_DONT_SEND:
          SendMessageA(dialog, WM_CLOSE, 0, 0);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_DESTROY:
      return TRUE;
    default:
      return FALSE;
  }
}
