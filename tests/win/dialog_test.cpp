// The crash dialog in this process, from the product's static library and resources linked into
// the test program, driven from the test thread while a worker thread runs the modal loop.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>

#include "capture/crash_summary.h"
#include "capture/crash_filter.h"
#include "capture/entry_points.h"
#include "capture/hook_registry.h"
#include "capture/report_guard.h"
#include "dialog/crash_dialog.h"
#include "dialog/dialog_ids.h"
#include "dialog/send_crash_report.h"
#include "dialog_driver.h"

namespace {

using namespace dialog_driver;

// 重启游戏
const char kRestartText[] = "\xD6\xD8\xC6\xF4\xD3\xCE\xCF\xB7";
// 异常时间：
const char kTimeLabel[] = "\xD2\xEC\xB3\xA3\xCA\xB1\xBC\xE4\xA3\xBA";
// 程序名称：
const char kNameLabel[] = "\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA";
// 未知的错误信息！ CR LF
const char kUnknownLine[] = "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xA1\r\n";

struct LaunchLog {
  int calls = 0;
  std::string commandLine;
  UINT show = 0;
};
LaunchLog launches;

BOOL WINAPI RecordLaunch(const wchar_t* commandLine, UINT show) {
  ++launches.calls;
  char line[1024] = {};
  WideCharToMultiByte(936, 0, commandLine, -1, line, sizeof line - 1, nullptr, nullptr);
  launches.commandLine = line;
  launches.show = show;
  return TRUE;
}

std::string ExePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path - 1);
  return path;
}

// The thread owns its copy of the work, so a Worker may go away before a hung thread does.
class Worker {
 public:
  explicit Worker(std::function<void()> work) {
    thread_ = CreateThread(nullptr, 0, Run, new std::function<void()>(std::move(work)), 0, &id_);
  }
  ~Worker() {
    Join();
    if (thread_ != nullptr) CloseHandle(thread_);
  }
  bool Join(DWORD timeoutMs = kWaitMs) {
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
  }
  DWORD id() const { return id_; }

 private:
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* work = static_cast<std::function<void()>*>(parameter);
    (*work)();
    delete work;
    return 0;
  }
  HANDLE thread_ = nullptr;
  DWORD id_ = 0;
};

class CrashDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    LibraryInstance = GetModuleHandleA(nullptr);
    launches = LaunchLog{};
    LaunchHost = RecordLaunch;
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    previousDirectory_ = current;
    folder_ = MakeTempFolder("vexo dialog");
    SetCurrentDirectoryA(folder_.c_str());
  }
  void TearDown() override {
    // A failed test may leave a dialog open; close it so later tests are not blocked behind it.
    while (HWND left = FindCrashDialog(GetCurrentProcessId(), 0)) {
      PostMessageA(left, WM_COMMAND, IDC_DONT_SEND, 0);
      if (!WaitGone(left)) break;
    }
    LaunchHost = StartHostProcess;
    SetReportTransport(nullptr);
    SetCurrentDirectoryA(previousDirectory_.c_str());
  }
  void WriteUrl(const std::string& url) {
    WriteFile(folder_ + "\\crashrpt.ini", "[INFO]\r\nPOSTURL=" + url + "\r\n");
  }
  // Runs TestSendDlg on a worker and returns its dialog.
  HWND Open(Worker** worker) {
    *worker = new Worker([] { EXPECT_EQ(TestSendDlg(), 0); });
    return FindCrashDialog(GetCurrentProcessId());
  }
  bool SendEnabledFor(const char* url) {
    if (url != nullptr) WriteUrl(url);
    Worker* worker;
    HWND dialog = Open(&worker);
    EXPECT_NE(dialog, nullptr);
    const bool enabled = dialog != nullptr && IsWindowEnabled(GetDlgItem(dialog, IDC_SEND));
    if (dialog != nullptr) PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
    EXPECT_TRUE(worker->Join());
    delete worker;
    return enabled;
  }

  std::string folder_;
  std::string previousDirectory_;
};

TEST_F(CrashDialog, StartsTickedWithGameRestartTextAndEmptyStatus) {
  WriteUrl("http://127.0.0.1/x");
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, IDC_RESTART), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(ControlText(dialog, IDC_RESTART), kRestartText);
  EXPECT_EQ(ControlText(dialog, IDC_STATUS), "");
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
  // Centred on the desktop (no offset subtracted: the desktop starts at 0, 0).
  RECT desk;
  RECT own;
  GetWindowRect(GetDesktopWindow(), &desk);
  GetWindowRect(dialog, &own);
  EXPECT_EQ(own.left, (desk.right - (own.right - own.left)) / 2);
  EXPECT_EQ(own.top, (desk.bottom - (own.bottom - own.top)) / 2);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(worker->Join());
  delete worker;
}

TEST_F(CrashDialog, SendIsEnabledOnlyForAUsableUrl) {
  EXPECT_FALSE(SendEnabledFor(nullptr));  // no crashrpt.ini at all
  EXPECT_FALSE(SendEnabledFor(""));
  EXPECT_FALSE(SendEnabledFor("http://"));
  EXPECT_FALSE(SendEnabledFor("https://x"));
  EXPECT_TRUE(SendEnabledFor("HTTP://x"));
  EXPECT_TRUE(SendEnabledFor("http://127.0.0.1:8080/upload"));
}

TEST_F(CrashDialog, SummaryAndUrlAreWrittenBeforeTheDialogOpens) {
  const std::string longUrl = "http://" + std::string(1100, 'a');
  WriteUrl(longUrl);
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(std::string(TheCrash().url), longUrl.substr(0, 1022));
  const std::string summary = TheCrash().summary;
  EXPECT_EQ(summary.compare(0, std::strlen(kTimeLabel), kTimeLabel), 0);
  const std::string exe = ExePath();
  EXPECT_NE(summary.find(std::string(kNameLabel) + exe.substr(exe.rfind('\\') + 1) + "\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(summary.substr(summary.size() - std::strlen(kUnknownLine)), kUnknownLine);
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(worker->Join());
  delete worker;
}

TEST_F(CrashDialog, SecondReportRewritesTheSummaryAndRereadsTheUrl) {
  WriteUrl("http://first/");
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  EXCEPTION_POINTERS pointers{&record, nullptr};
  Worker first([&] { EXPECT_EQ(ReportCrash(GetModuleHandleA(nullptr), &pointers), 0); });
  HWND dialog = FindCrashDialog(GetCurrentProcessId());
  ASSERT_NE(dialog, nullptr);
  const size_t crashLength = std::strlen(TheCrash().summary);
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(first.Join());

  WriteUrl("http://second/");
  Worker second([] { EXPECT_EQ(ReportCrash(GetModuleHandleA(nullptr), nullptr), 0); });
  dialog = FindCrashDialog(GetCurrentProcessId());
  ASSERT_NE(dialog, nullptr);
  EXPECT_STREQ(TheCrash().url, "http://second/");
  const std::string summary = TheCrash().summary;
  EXPECT_LT(summary.size(), crashLength);
  EXPECT_EQ(summary.find("0xc0000005"), std::string::npos);
  EXPECT_EQ(summary.substr(summary.size() - std::strlen(kUnknownLine)), kUnknownLine);
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(second.Join());
}

// Every close path ends the modal loop and restarts the host exactly when the box is ticked.
TEST_F(CrashDialog, EveryClosePathClosesAndRestartsWhenTicked) {
  WriteUrl("http://127.0.0.1:1/");
  const std::string quotedExe = "\"" + ExePath() + "\"";
  const std::function<void(HWND)> closers[] = {
      [](HWND d) { SendMessageA(GetDlgItem(d, IDC_DONT_SEND), BM_CLICK, 0, 0); },
      [](HWND d) { PostMessageA(d, WM_COMMAND, IDOK, 0); },
      [](HWND d) { PostMessageA(d, WM_COMMAND, IDCANCEL, 0); },
      [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); },
      [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); },
      [](HWND d) { PostMessageA(d, WM_COMMAND, IDC_SEND, 0); },
  };
  for (int ticked = 0; ticked <= 1; ++ticked) {
    for (size_t i = 0; i < sizeof closers / sizeof closers[0]; ++i) {
      SCOPED_TRACE(testing::Message() << "closer " << i << " ticked " << ticked);
      launches = LaunchLog{};
      Worker* worker;
      HWND dialog = Open(&worker);
      ASSERT_NE(dialog, nullptr);
      if (!ticked) {
        SendMessageA(GetDlgItem(dialog, IDC_RESTART), BM_SETCHECK, BST_UNCHECKED, 0);
        ASSERT_EQ(SendMessageA(GetDlgItem(dialog, IDC_RESTART), BM_GETCHECK, 0, 0), BST_UNCHECKED);
      }
      closers[i](dialog);
      EXPECT_TRUE(WaitGone(dialog));
      EXPECT_TRUE(worker->Join());
      delete worker;
      EXPECT_EQ(launches.calls, ticked);
      if (ticked) {
        EXPECT_EQ(launches.commandLine, quotedExe);
        EXPECT_EQ(launches.show, static_cast<UINT>(SW_SHOW));
      }
    }
  }
}

// WSAVERNOTSUPPORTED: the version asked for is not offered.
struct FailingNetworkStart : NetTransport {
  int Start() override { return 10092; }
} failingNetworkStart;

TEST_F(CrashDialog, FailedNetworkStartShowsItsOwnCode) {
  // A failed WSAStartup returns its reason; WSAGetLastError means nothing after it.
  WriteUrl("http://127.0.0.1:1/upload");
  WriteFile(folder_ + "\\log.txt", "line\r\n");
  SetReportTransport(&failingNetworkStart);
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  PostMessageA(dialog, WM_COMMAND, IDC_SEND, 0);
  HWND box = FindOwnedMessageBox(dialog);
  ASSERT_NE(box, nullptr);
  char caption[64] = {};
  GetWindowTextA(box, caption, sizeof caption);
  // 警告
  EXPECT_STREQ(caption, "\xBE\xAF\xB8\xE6");
  // 初始化网络失败，错误号：0x276c (WSAVERNOTSUPPORTED, 10092)
  EXPECT_EQ(ControlText(box, 0xFFFF),
            "\xB3\xF5\xCA\xBC\xBB\xAF\xCD\xF8\xC2\xE7\xCA\xA7\xB0\xDC\xA3\xAC\xB4\xED"
            "\xCE\xF3\xBA\xC5\xA3\xBA" "0x276c");
  // 正在提交信息，请稍候。: the status while the box is up.
  EXPECT_EQ(ControlText(dialog, IDC_STATUS),
            "\xD5\xFD\xD4\xDA\xCC\xE1\xBD\xBB\xD0\xC5\xCF\xA2\xA3\xAC\xC7\xEB\xC9\xD4"
            "\xBA\xF2\xA1\xA3");
  EXPECT_TRUE(WaitGone(dialog));
  EXPECT_TRUE(worker->Join());
  delete worker;
}

TEST_F(CrashDialog, OtherCommandIdsDoNothing) {
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(CrashDlgProc(dialog, WM_COMMAND, 3, 0), FALSE);
  EXPECT_EQ(CrashDlgProc(dialog, WM_COMMAND, IDC_STATUS, 0), FALSE);
  EXPECT_EQ(CrashDlgProc(dialog, WM_COMMAND, 0, 0), FALSE);
  EXPECT_EQ(CrashDlgProc(dialog, WM_ERASEBKGND, 0, 0), FALSE);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(launches.calls, 0);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(worker->Join());
  delete worker;
}

TEST_F(CrashDialog, HeaderBandEndsAtTheSeparator) {
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  RECT band;
  GetHeaderRect(dialog, &band);
  RECT client;
  GetClientRect(dialog, &client);
  RECT separator{0, 30, 269, 31};
  MapDialogRect(dialog, &separator);
  EXPECT_EQ(band.left, 0);
  EXPECT_EQ(band.top, 0);
  EXPECT_EQ(band.right, client.right);
  EXPECT_EQ(band.bottom, separator.top);
  EXPECT_GT(band.bottom, 0);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(worker->Join());
  delete worker;

  HWND plain = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr,
                             nullptr);
  ASSERT_NE(plain, nullptr);
  GetHeaderRect(plain, &band);
  EXPECT_EQ(band.bottom, 100);  // no separator
  DestroyWindow(plain);
}

// Two reports never share the screen: a second caller waits for the first dialog to go.
TEST_F(CrashDialog, SecondReportWaitsForTheFirst) {
  Worker* first;
  HWND dialog = Open(&first);
  ASSERT_NE(dialog, nullptr);
  HANDLE calling = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Worker second([calling] {
    SetEvent(calling);
    EXPECT_EQ(TestSendDlg(), 0);
  });
  ASSERT_EQ(WaitForSingleObject(calling, kWaitMs), WAIT_OBJECT_0);
  EXPECT_FALSE(second.Join(300));
  EXPECT_EQ(CountCrashDialogs(GetCurrentProcessId()), 1);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(first->Join());
  delete first;
  HWND next = FindCrashDialog(GetCurrentProcessId());
  ASSERT_NE(next, nullptr);
  PostMessageA(next, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(second.Join());
  CloseHandle(calling);
}

// A thread that runs the report for its owner while the owner waits for it (the helper of a stack
// overflow) acts as the owner: a fault there returns at once instead of waiting for ever.
TEST_F(CrashDialog, LentReportDoesNotWaitForItsOwner) {
  ASSERT_TRUE(AcquireReport());
  HANDLE lent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool helperAcquired = true;
  Worker helper([&] {
    WaitForSingleObject(lent, kWaitMs);
    helperAcquired = AcquireReport();
    if (helperAcquired) ReleaseReport();
  });
  LendReport(helper.id());
  SetEvent(lent);
  const bool returned = helper.Join();
  LendReport(GetCurrentThreadId());
  // The owner itself now gets the same answer, and still holds the lock it releases.
  EXPECT_FALSE(AcquireReport());
  ReleaseReport();
  EXPECT_TRUE(returned);
  EXPECT_FALSE(helperAcquired);
  EXPECT_TRUE(helper.Join());
  CloseHandle(lent);
}

LRESULT CALLBACK NestingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    const int result = TestSendDlg();
    SetEvent(reinterpret_cast<HANDLE>(lParam));
    return result == 0 ? 1 : 2;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A report requested from a message that the open dialog's own loop dispatches cannot wait for
// itself: it returns at once and leaves the summary on screen alone.
TEST_F(CrashDialog, NestedReportOnTheDialogThreadReturnsAtOnce) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = NestingProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "VexoNestingTest";
  RegisterClassA(&windowClass);
  HANDLE helperReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE nestedDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HWND helper = nullptr;
  Worker worker([&] {
    helper = CreateWindowA("VexoNestingTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    SetEvent(helperReady);
    EXPECT_EQ(TestSendDlg(), 0);
    DestroyWindow(helper);
  });
  ASSERT_EQ(WaitForSingleObject(helperReady, kWaitMs), WAIT_OBJECT_0);
  HWND dialog = FindCrashDialog(GetCurrentProcessId());
  ASSERT_NE(dialog, nullptr);
  const std::string summary = TheCrash().summary;
  PostMessageA(helper, WM_APP, 0, reinterpret_cast<LPARAM>(nestedDone));
  EXPECT_EQ(WaitForSingleObject(nestedDone, kWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(CountCrashDialogs(GetCurrentProcessId()), 1);
  EXPECT_EQ(std::string(TheCrash().summary), summary);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(worker.Join());
  CloseHandle(helperReady);
  CloseHandle(nestedDone);
}

// The real launcher: the restarted test program records its run (see test_main.cpp).
TEST_F(CrashDialog, TickedCloseStartsTheHostAgain) {
  LaunchHost = StartHostProcess;
  const std::string mark = folder_ + "\\restarted.txt";
  const std::string eventName = "VexoDialogRestart" + std::to_string(GetCurrentProcessId());
  HANDLE restarted = ArmRestartMarker(mark, eventName);
  Worker* worker;
  HWND dialog = Open(&worker);
  ASSERT_NE(dialog, nullptr);
  PostMessageA(dialog, WM_COMMAND, IDC_DONT_SEND, 0);
  EXPECT_TRUE(worker->Join());
  delete worker;
  EXPECT_EQ(WaitForSingleObject(restarted, kWaitMs), WAIT_OBJECT_0);
  ClearRestartMarker();
  EXPECT_EQ(ReadFile(mark), "restarted 1\n");
  CloseHandle(restarted);
}

}  // namespace
