#include <windows.h>

#include "capture/hook_registry.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  HandleDllNotification(instance, reason, reserved != nullptr);
  return TRUE;
}
