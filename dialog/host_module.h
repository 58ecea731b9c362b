#pragma once

#include <cstddef>

constexpr std::size_t kHostPathSize = 256;
constexpr std::size_t kHostWidePathSize = 260;

// Fills path (zeroed first) with the host executable's full path in GBK, at most 255 bytes: the
// executable's wide path converted with code page 936, whatever the system's own code page, a
// character GBK lacks becoming '?'. False when the process has no module handle for its
// executable. Once remembered, the path is copied from memory: asking the platform takes the
// loader lock, which a crashed thread may hold.
bool ReadHostModulePath(char (&path)[kHostPathSize]);
// The same path as the platform has it, for starting the executable again and for the screen.
bool ReadHostModulePathW(wchar_t (&path)[kHostWidePathSize]);
// Asks the platform once and keeps the answer for ReadHostModulePath. Not thread-safe: called while
// the crash path is set up, under its lock.
void RememberHostModulePath();

// The part after the last backslash byte, or the whole path when there is none or nothing follows
// it. The search is bytewise, so a GBK trail byte 0x5C counts as a backslash.
const char* HostBaseName(const char* path);
// The part after the last backslash of a wide path, or the whole path.
const wchar_t* HostBaseNameW(const wchar_t* path);
