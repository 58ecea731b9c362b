#include <windows.h>

#include "capture/hook_registry.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  HandleDllNotification(instance, reason);
  return TRUE;
}
