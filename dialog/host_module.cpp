#include "dialog/host_module.h"

#include <windows.h>

#include <cstring>

bool ReadHostModulePath(char (&path)[kHostPathSize]) {
  std::memset(path, 0, sizeof path);
  HMODULE host = GetModuleHandleA(nullptr);
  if (host == nullptr) return false;
  GetModuleFileNameA(host, path, sizeof path - 1);
  return true;
}

const char* HostBaseName(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  if (slash == nullptr || slash[1] == '\0') return path;
  return slash + 1;
}
