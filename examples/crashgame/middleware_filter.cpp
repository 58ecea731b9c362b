// A third-party library that sets its own top-level filter when it loads, as overlays, launchers
// and anti-cheat modules do. Its filter notes each call in the file named by VEXO_FILTER_MARK
// and declines the exception.
#include <windows.h>

namespace {

LONG WINAPI MiddlewareFilter(EXCEPTION_POINTERS*) {
  char path[MAX_PATH];
  if (GetEnvironmentVariableA("VEXO_FILTER_MARK", path, sizeof path) > 0) {
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, "middleware filter\n", 18, &written, nullptr);
      CloseHandle(file);
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) SetUnhandledExceptionFilter(MiddlewareFilter);
  return TRUE;
}
