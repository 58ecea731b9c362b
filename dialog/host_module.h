#pragma once

#include <cstddef>

constexpr std::size_t kHostPathSize = 256;

// Fills path (zeroed first) with the host executable's full path, at most 255 bytes. False when the
// process has no module handle for its executable. Once remembered, the path is copied from
// memory: asking the platform takes the loader lock, which a crashed thread may hold.
bool ReadHostModulePath(char (&path)[kHostPathSize]);
// Asks the platform once and keeps the answer for ReadHostModulePath. Not thread-safe: called while
// the crash path is set up, under its lock.
void RememberHostModulePath();

// The part after the last backslash byte, or the whole path when there is none or nothing follows
// it. The search is bytewise, so a GBK trail byte 0x5C counts as a backslash.
const char* HostBaseName(const char* path);
