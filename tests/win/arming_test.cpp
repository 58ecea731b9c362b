// Arming and disarming through the real DLL: thread notifications only reach a loaded library.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <functional>
#include <string>

#include "dialog_driver.h"

namespace {

using ExportFn = int(__cdecl*)();
using VoidFn = void(__cdecl*)();

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI OtherFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

DWORD WINAPI RunJob(LPVOID parameter) {
  auto* job = static_cast<std::function<void()>*>(parameter);
  (*job)();
  delete job;
  return 0;
}

// The platform only swaps filters, so reading the current one is a swap and a swap back.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

bool InsideModule(void* address, HMODULE module) {
  MEMORY_BASIC_INFORMATION info{};
  return address != nullptr && VirtualQuery(address, &info, sizeof info) != 0 &&
         info.AllocationBase == module;
}

// Runs work on a new thread and waits for it, thread attach and detach included.
void OnThread(const std::function<void()>& work) {
  auto* copy = new std::function<void()>(work);
  HANDLE thread = CreateThread(nullptr, 0, RunJob, copy, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, dialog_driver::kWaitMs), WAIT_OBJECT_0);
  CloseHandle(thread);
}

// A thread that starts now and ends when Finish is called.
class LiveThread {
 public:
  explicit LiveThread(std::function<void()> atStart = nullptr,
                      std::function<void()> atFinish = nullptr)
      : atStart_(std::move(atStart)), atFinish_(std::move(atFinish)) {
    started_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    finish_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    WaitForSingleObject(started_, dialog_driver::kWaitMs);
  }
  ~LiveThread() {
    Finish();
    CloseHandle(started_);
    CloseHandle(finish_);
  }
  void Finish() {
    if (thread_ == nullptr) return;
    SetEvent(finish_);
    WaitForSingleObject(thread_, dialog_driver::kWaitMs);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* self = static_cast<LiveThread*>(parameter);
    if (self->atStart_) self->atStart_();
    SetEvent(self->started_);
    WaitForSingleObject(self->finish_, INFINITE);
    if (self->atFinish_) self->atFinish_();
    return 0;
  }
  std::function<void()> atStart_;
  std::function<void()> atFinish_;
  HANDLE started_;
  HANDLE finish_;
  HANDLE thread_;
};

class Arming : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUnhandledExceptionFilter(HostFilter);
    library_ = LoadLibraryA((dialog_driver::ExeDirectory() + "VexoCrashRpt.dll").c_str());
    ASSERT_NE(library_, nullptr);
    install_ = reinterpret_cast<ExportFn>(GetProcAddress(library_, "InstallCrashRpt"));
    uninstall_ = reinterpret_cast<VoidFn>(GetProcAddress(library_, "UninstallCrashRpt"));
    ASSERT_NE(install_, nullptr);
    ASSERT_NE(uninstall_, nullptr);
  }
  void TearDown() override {
    if (library_ != nullptr) FreeLibrary(library_);
    SetUnhandledExceptionFilter(nullptr);
  }
  bool LibraryFilterInForce() {
    return InsideModule(reinterpret_cast<void*>(CurrentFilter()), library_);
  }

  HMODULE library_ = nullptr;
  ExportFn install_ = nullptr;
  VoidFn uninstall_ = nullptr;
};

TEST_F(Arming, LoadingArmsNothing) {
  EXPECT_EQ(CurrentFilter(), HostFilter);
  OnThread([] {});
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

TEST_F(Arming, InstallTwiceKeepsTheFirstSavedFilter) {
  EXPECT_EQ(install_(), 0);
  EXPECT_TRUE(LibraryFilterInForce());
  EXPECT_EQ(install_(), 1);
  uninstall_();
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

TEST_F(Arming, ThreadArmedAtAttachGetsOneFromInstall) {
  EXPECT_EQ(install_(), 0);
  int result = -1;
  OnThread([&] { result = install_(); });
  EXPECT_EQ(result, 1);
}

TEST_F(Arming, LaterThreadSavesAndRestoresTheLibraryFilter) {
  ASSERT_EQ(install_(), 0);
  OnThread([] {});
  EXPECT_TRUE(LibraryFilterInForce());
  uninstall_();
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

TEST_F(Arming, FirstArmedThreadEndingPutsTheHostFilterBackWhileOthersLive) {
  LiveThread* first = new LiveThread([this] { EXPECT_EQ(install_(), 0); });
  EXPECT_TRUE(LibraryFilterInForce());
  LiveThread* second = new LiveThread;  // arms at attach, saving the library's filter
  first->Finish();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  second->Finish();
  EXPECT_TRUE(LibraryFilterInForce());
  delete first;
  delete second;
  uninstall_();
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

TEST_F(Arming, ThreadStartedBeforeInstallHasNoRecord) {
  LiveThread early;
  ASSERT_EQ(install_(), 0);
  SetUnhandledExceptionFilter(HostFilter);
  early.Finish();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  uninstall_();
}

TEST_F(Arming, UninstallOnThreadWithoutRecordLeavesAForeignFilterAndDisables) {
  LiveThread early(nullptr, [this] { uninstall_(); });  // started before install: no record
  ASSERT_EQ(install_(), 0);
  SetUnhandledExceptionFilter(OtherFilter);
  early.Finish();
  EXPECT_EQ(CurrentFilter(), OtherFilter);
  // Disabled: thread notifications no longer arm.
  OnThread([] {});
  EXPECT_EQ(CurrentFilter(), OtherFilter);
  SetUnhandledExceptionFilter(HostFilter);
}

TEST_F(Arming, UninstallOnThreadWithoutRecordDoesNotLeaveTheLibraryFilter) {
  LiveThread early(nullptr, [this] { uninstall_(); });
  ASSERT_EQ(install_(), 0);
  early.Finish();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  OnThread([] {});
  EXPECT_EQ(CurrentFilter(), HostFilter);
  EXPECT_EQ(install_(), 0);  // the main thread's record was dropped too
  uninstall_();
}

TEST_F(Arming, UninstallWithoutInstallChangesNothing) {
  uninstall_();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  OnThread([] {});
  EXPECT_EQ(CurrentFilter(), HostFilter);
  EXPECT_EQ(install_(), 0);
  EXPECT_TRUE(LibraryFilterInForce());
  uninstall_();
}

TEST_F(Arming, UnloadingNeverLeavesTheLibraryFilterBehind) {
  LiveThread* installer = new LiveThread([this] { EXPECT_EQ(install_(), 0); });
  LiveThread* later = new LiveThread;  // its record saves the library's filter
  installer->Finish();
  EXPECT_EQ(CurrentFilter(), HostFilter);
  later->Finish();
  EXPECT_TRUE(LibraryFilterInForce());
  delete installer;
  delete later;
  // The main thread has no record: unloading must still put the host's filter back.
  ASSERT_TRUE(FreeLibrary(library_));
  library_ = nullptr;
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

// The crash path's own thread exists from InstallCrashRpt on and goes with the library, whether
// it is disabled or unloaded while enabled (then from DllMain, under the loader lock).
TEST_F(Arming, TheCrashThreadLivesFromInstallUntilUninstallOrUnload) {
  const int before = ThreadsOfThisProcess();
  ASSERT_EQ(install_(), 0);
  EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
  uninstall_();
  EXPECT_EQ(ThreadsOfThisProcess(), before);
  ASSERT_EQ(install_(), 0);
  EXPECT_EQ(install_(), 1);
  EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
  ASSERT_TRUE(FreeLibrary(library_));
  library_ = nullptr;
  EXPECT_EQ(ThreadsOfThisProcess(), before);
  EXPECT_EQ(CurrentFilter(), HostFilter);
}

TEST_F(Arming, ReloadingStartsFromAnEmptyRegistry) {
  ASSERT_EQ(install_(), 0);
  ASSERT_TRUE(FreeLibrary(library_));
  EXPECT_EQ(CurrentFilter(), HostFilter);
  SetUp();
  EXPECT_EQ(install_(), 0);
  uninstall_();
}

}  // namespace
