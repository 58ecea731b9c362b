#pragma once

#include <cstddef>

constexpr std::size_t kHostPathSize = 256;

// Fills path (zeroed first) with the host executable's full path, at most 255 bytes. False when the
// process has no module handle for its executable.
bool ReadHostModulePath(char (&path)[kHostPathSize]);

// The part after the last backslash byte, or the whole path when there is none or nothing follows
// it. The search is bytewise, so a GBK trail byte 0x5C counts as a backslash.
const char* HostBaseName(const char* path);
