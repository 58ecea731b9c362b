#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

// A restart started by the crash dialog runs this program again with no arguments and the marker
// variables set: it records that it ran and exits before any test.
int main(int argc, char** argv) {
  char markFile[MAX_PATH];
  if (GetEnvironmentVariableA("VEXO_RESTART_MARK", markFile, sizeof markFile) > 0) {
    if (FILE* file = std::fopen(markFile, "ab")) {
      std::fprintf(file, "restarted %d\n", argc);
      std::fclose(file);
    }
    char eventName[MAX_PATH];
    if (GetEnvironmentVariableA("VEXO_RESTART_EVENT", eventName, sizeof eventName) > 0) {
      if (HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName)) {
        SetEvent(event);
        CloseHandle(event);
      }
    }
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
