#include "dialog/host_module.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "dialog/player_text.h"

namespace {

wchar_t rememberedPath[kHostWidePathSize];
volatile LONG remembered = 0;

bool AskForHostModulePath(wchar_t (&path)[kHostWidePathSize]) {
  std::memset(path, 0, sizeof path);
  HMODULE host = GetModuleHandleW(nullptr);
  if (host == nullptr) return false;
  GetModuleFileNameW(host, path, kHostWidePathSize - 1);
  return true;
}

}  // namespace

bool ReadHostModulePathW(wchar_t (&path)[kHostWidePathSize]) {
  if (InterlockedCompareExchange(&remembered, 0, 0) != 0) {
    std::memcpy(path, rememberedPath, sizeof path);
    return true;
  }
  return AskForHostModulePath(path);
}

bool ReadHostModulePath(char (&path)[kHostPathSize]) {
  std::memset(path, 0, sizeof path);
  wchar_t wide[kHostWidePathSize];
  if (!ReadHostModulePathW(wide)) return false;
  // Room for every character as two bytes; then cut to the 255 bytes the summary always had.
  char gbk[kHostWidePathSize * 2 + 1] = {};
  WideCharToMultiByte(kGbkCodePage, 0, wide, -1, gbk, sizeof gbk - 1, nullptr, nullptr);
  std::memcpy(path, gbk, kHostPathSize - 1);
  return true;
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

const wchar_t* HostBaseNameW(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  if (slash == nullptr || slash[1] == L'\0') return path;
  return slash + 1;
}
