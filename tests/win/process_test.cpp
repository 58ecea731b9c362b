// crashgame.exe in child processes, and the built DLL read back: exports, dialog, version.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "dialog_driver.h"

namespace {

using namespace dialog_driver;

constexpr WORD kDontSend = 4002;

struct Child {
  PROCESS_INFORMATION info{};
  bool started = false;
};

// Copies the game and the DLL into a fresh folder (with a blank in its name) holding a
// crashrpt.ini, and starts crashgame there with the given arguments.
class CrashGame : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("vexo game");
    const std::string bin = ExeDirectory();
    ASSERT_TRUE(CopyFileA((bin + "crashgame.exe").c_str(), (folder_ + "\\crashgame.exe").c_str(),
                          FALSE));
    ASSERT_TRUE(CopyFileA((bin + "VexoCrashRpt.dll").c_str(),
                          (folder_ + "\\VexoCrashRpt.dll").c_str(), FALSE));
    WriteFile(folder_ + "\\crashrpt.ini", "[INFO]\r\nPOSTURL=http://127.0.0.1:9/report\r\n");
  }
  Child Start(const std::string& arguments) {
    Child child;
    std::string commandLine = "\"" + folder_ + "\\crashgame.exe\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    child.started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   folder_.c_str(), &startup, &child.info) != 0;
    return child;
  }
  static DWORD Finish(Child& child) {
    DWORD code = 0xDEADBEEF;
    if (WaitForSingleObject(child.info.hProcess, kWaitMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(child.info.hProcess, &code);
    } else {
      TerminateProcess(child.info.hProcess, 1);
    }
    CloseHandle(child.info.hThread);
    CloseHandle(child.info.hProcess);
    return code;
  }
  // Runs one crash: the dialog must appear; it is closed with the restart box unticked.
  DWORD CrashAndClose(const std::string& arguments) {
    Child child = Start(arguments);
    EXPECT_TRUE(child.started);
    if (!child.started) return 0;
    HWND dialog = FindCrashDialog(child.info.dwProcessId);
    EXPECT_NE(dialog, nullptr) << arguments;
    if (dialog != nullptr) {
      SendMessageA(GetDlgItem(dialog, 4006), BM_SETCHECK, BST_UNCHECKED, 0);
      PostMessageA(dialog, WM_COMMAND, kDontSend, 0);
    }
    return Finish(child);
  }

  std::string folder_;
};

TEST_F(CrashGame, EveryCrashKindReachesTheDialogAndEndsWithItsCode) {
  EXPECT_EQ(CrashAndClose("av"), 0xC0000005u);
  EXPECT_EQ(CrashAndClose("div0"), 0xC0000094u);
  EXPECT_EQ(CrashAndClose("cpp"), 0xE06D7363u);
  EXPECT_EQ(CrashAndClose("raise 0xE0001234 1"), 0xE0001234u);
  EXPECT_EQ(CrashAndClose("raise 0x20000001 0"), 0x20000001u);
  EXPECT_EQ(CrashAndClose("thread"), 0xC0000005u);
}

TEST_F(CrashGame, StackOverflowReachesTheDialog) {
  EXPECT_EQ(CrashAndClose("stack"), 0xC00000FDu);
}

// The folder's name has a blank: the restart must still start this very program.
TEST_F(CrashGame, TickedRestartStartsTheGameAgain) {
  const std::string mark = folder_ + "\\restarted.txt";
  const std::string eventName = "VexoGameRestart" + std::to_string(GetCurrentProcessId());
  HANDLE restarted = ArmRestartMarker(mark, eventName);
  Child child = Start("av");
  ClearRestartMarker();
  ASSERT_TRUE(child.started);
  HWND dialog = FindCrashDialog(child.info.dwProcessId);
  ASSERT_NE(dialog, nullptr);
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(Finish(child), 0xC0000005u);
  EXPECT_EQ(WaitForSingleObject(restarted, kWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(ReadFile(mark), "restarted\n");
  CloseHandle(restarted);
}

// The first crash owns the report; a second thread faulting meanwhile waits and changes nothing.
TEST_F(CrashGame, SecondCrashWaitsForTheFirst) {
  const std::string eventName = "VexoSecondFault" + std::to_string(GetCurrentProcessId());
  HANDLE secondFault = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
  SetEnvironmentVariableA("VEXO_SECOND_FAULT_EVENT", eventName.c_str());
  Child child = Start("twocrash");
  SetEnvironmentVariableA("VEXO_SECOND_FAULT_EVENT", nullptr);
  ASSERT_TRUE(child.started);
  HWND dialog = FindCrashDialog(child.info.dwProcessId);
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(WaitForSingleObject(secondFault, kWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(CountCrashDialogs(child.info.dwProcessId), 1);
  SendMessageA(GetDlgItem(dialog, 4006), BM_SETCHECK, BST_UNCHECKED, 0);
  PostMessageA(dialog, WM_COMMAND, kDontSend, 0);
  EXPECT_EQ(Finish(child), 0xC0000005u);
  CloseHandle(secondFault);
}

TEST_F(CrashGame, TestSendDlgReturnsZeroAndTheHostCarriesOn) {
  EXPECT_EQ(CrashAndClose("testsend"), 0u);
}

TEST_F(CrashGame, InstallArmsTheCallingThread) {
  Child child = Start("install");
  ASSERT_TRUE(child.started);
  EXPECT_EQ(Finish(child), 0u);
}

class BuiltLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA((ExeDirectory() + "VexoCrashRpt.dll").c_str(), nullptr,
                             DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { FreeLibrary(module_); }
  HMODULE module_ = nullptr;
};

// The game's three, then the crash handler's entry for rundll32.
TEST_F(BuiltLibrary, ExportsItsNamesAtFixedOrdinals) {
  const char* names[] = {"InstallCrashRpt", "TestSendDlg", "UninstallCrashRpt",
                         "VexoCrashHandler"};
  for (int ordinal = 1; ordinal <= 4; ++ordinal) {
    FARPROC byName = GetProcAddress(module_, names[ordinal - 1]);
    EXPECT_NE(byName, nullptr) << names[ordinal - 1];
    EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)), byName);
  }
  auto* base = reinterpret_cast<const BYTE*>(module_);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 4u);
  ASSERT_EQ(exports->NumberOfNames, 4u);
  auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(reinterpret_cast<const char*>(base + nameRvas[i]), names[i]);
  }
}

// Reads the extended dialog template of IDD_CRASH field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* at) : at_(at) {}
  WORD Word() {
    WORD value;
    std::memcpy(&value, at_, 2);
    at_ += 2;
    return value;
  }
  DWORD Dword() {
    DWORD value;
    std::memcpy(&value, at_, 4);
    at_ += 4;
    return value;
  }
  std::wstring Text() {
    std::wstring text;
    for (WORD c = Word(); c != 0; c = Word()) text += static_cast<wchar_t>(c);
    return text;
  }
  // A class or menu field: an ordinal after 0xFFFF, else a string (returned with ordinal 0).
  WORD OrdinalOr(std::wstring* text) {
    WORD first = Word();
    if (first == 0xFFFF) return Word();
    if (first != 0) {
      at_ -= 2;
      *text = Text();
    }
    return 0;
  }
  void Align() {
    while (reinterpret_cast<ULONG_PTR>(at_) % 4 != 0) ++at_;
  }

 private:
  const BYTE* at_;
};

std::wstring Wide(const char* utf8) {
  wchar_t out[256] = {};
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, 255);
  return out;
}

TEST_F(BuiltLibrary, DialogTemplateIsExact) {
  HRSRC found = FindResourceExA(module_, MAKEINTRESOURCEA(5) /* RT_DIALOG */,
                                MAKEINTRESOURCEA(4000),
                                MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
  ASSERT_NE(found, nullptr);
  auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module_, found)));
  TemplateReader reader(data);
  EXPECT_EQ(reader.Word(), 1);
  EXPECT_EQ(reader.Word(), 0xFFFF);
  EXPECT_EQ(reader.Dword(), 0u);  // help id
  EXPECT_EQ(reader.Dword(), static_cast<DWORD>(WS_EX_TOPMOST));
  EXPECT_EQ(reader.Dword(), static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                               DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(reader.Word(), 7);
  EXPECT_EQ(reader.Word(), 0);
  EXPECT_EQ(reader.Word(), 0);
  EXPECT_EQ(reader.Word(), 269);
  EXPECT_EQ(reader.Word(), 149);
  std::wstring name;
  EXPECT_EQ(reader.OrdinalOr(&name), 0);  // no menu
  EXPECT_EQ(name, L"");
  EXPECT_EQ(reader.OrdinalOr(&name), 0);  // standard class
  EXPECT_EQ(name, L"");
  EXPECT_EQ(reader.Text(), L"Vexo Quest");
  EXPECT_EQ(reader.Word(), 9);
  EXPECT_EQ(reader.Word(), 400);
  EXPECT_EQ(reader.Word(), 0x8600);  // italic 0, charset 134
  EXPECT_EQ(reader.Text(), L"\u5B8B\u4F53");  // 宋体

  struct Expected {
    int id;
    WORD atom;
    DWORD style;
    short x, y, cx, cy;
    std::wstring text;
  };
  const DWORD child = WS_CHILD | WS_VISIBLE;
  const Expected controls[] = {
      {4001, 0x80, child | WS_TABSTOP | BS_PUSHBUTTON, 141, 128, 60, 16, Wide("发送错误报告")},
      {4004, 0x82, child | SS_ETCHEDHORZ, 0, 30, 269, 1, L""},
      {4005, 0x82, child | WS_GROUP | SS_LEFT, 9, 72, 248, 24,
       Wide("请将此问题报告给Norvane\n我们已创建了一个错误报告，您可以将其发送给我们以帮助我们"
            "改善游戏的质量。这个报告会被认为是机密的，匿名的。")},
      {-1, 0x82, child | WS_GROUP | SS_LEFT, 10, 39, 231, 8,
       Wide("如果您正处于进程当中，信息有可能丢失。")},
      {4006, 0x80, child | WS_TABSTOP | BS_AUTOCHECKBOX, 9, 55, 235, 9, Wide("重启程序")},
      {4003, 0x82, child | WS_GROUP | SS_LEFT, 7, 112, 256, 8, L""},
      {4002, 0x80, child | WS_TABSTOP | BS_PUSHBUTTON, 213, 128, 51, 16, Wide("不发送")},
  };
  for (const Expected& expected : controls) {
    SCOPED_TRACE(expected.id);
    reader.Align();
    EXPECT_EQ(reader.Dword(), 0u);  // help id
    EXPECT_EQ(reader.Dword(), 0u);  // extended style
    EXPECT_EQ(reader.Dword(), expected.style);
    EXPECT_EQ(static_cast<short>(reader.Word()), expected.x);
    EXPECT_EQ(static_cast<short>(reader.Word()), expected.y);
    EXPECT_EQ(static_cast<short>(reader.Word()), expected.cx);
    EXPECT_EQ(static_cast<short>(reader.Word()), expected.cy);
    EXPECT_EQ(static_cast<int>(reader.Dword()), expected.id);
    std::wstring className;
    EXPECT_EQ(reader.OrdinalOr(&className), expected.atom);
    EXPECT_EQ(className, L"");
    std::wstring text;
    reader.OrdinalOr(&text);
    EXPECT_TRUE(text == expected.text);
    EXPECT_EQ(reader.Word(), 0);  // no creation data
  }
}

TEST(BuiltLibraryVersion, VersionBlockReadsBack) {
  const std::string path = ExeDirectory() + "VexoCrashRpt.dll";
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00010002u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00010002u);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 936);
  auto value = [&](const wchar_t* key) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\080403a8\\") + key;
    wchar_t* text = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &chars)) {
      return std::wstring(L"<missing>");
    }
    return std::wstring(text);
  };
  const std::wstring description = Wide("错误捕捉上传链接库");
  EXPECT_TRUE(value(L"FileDescription") == description);
  EXPECT_TRUE(value(L"ProductName") == description);
  EXPECT_TRUE(value(L"InternalName") == L"VexoCrashRpt.dll");
  EXPECT_TRUE(value(L"OriginalFilename") == L"VexoCrashRpt.dll");
}

}  // namespace
