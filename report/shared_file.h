#pragma once

// Reading the game's files: report/ only.

#include <cstdio>

#ifdef _WIN32
#include <share.h>
#endif

// Other programs (the game, its launcher) may hold these files open while we read them.
inline FILE* OpenSharedFile(const char* path) {
#ifdef _WIN32
  return _fsopen(path, "rb", _SH_DENYNO);
#else
  return std::fopen(path, "rb");
#endif
}

// The file's length with the position back at its start; -1 when it cannot be had.
inline long SharedFileLength(FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  long length = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return length;
}
