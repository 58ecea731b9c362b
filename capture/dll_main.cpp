#include <windows.h>

#include "capture/entry_points.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  HandleDllNotification(instance, reason, reserved != nullptr);
  return TRUE;
}
