#include "dialog/host_module.h"

#include <windows.h>

#include <cstring>

namespace {

char rememberedPath[kHostPathSize];
volatile LONG remembered = 0;

bool AskForHostModulePath(char (&path)[kHostPathSize]) {
  std::memset(path, 0, sizeof path);
  HMODULE host = GetModuleHandleA(nullptr);
  if (host == nullptr) return false;
  GetModuleFileNameA(host, path, sizeof path - 1);
  return true;
}

}  // namespace

bool ReadHostModulePath(char (&path)[kHostPathSize]) {
  if (InterlockedCompareExchange(&remembered, 0, 0) != 0) {
    std::memcpy(path, rememberedPath, sizeof path);
    return true;
  }
  return AskForHostModulePath(path);
}

void RememberHostModulePath() {
  if (remembered != 0) return;
  if (AskForHostModulePath(rememberedPath)) InterlockedExchange(&remembered, 1);
}

const char* HostBaseName(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  if (slash == nullptr || slash[1] == '\0') return path;
  return slash + 1;
}
