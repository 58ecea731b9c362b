#pragma once

#include <cstddef>

// The first occurrence of needle in [data, data + length), or null. Binary-safe: the data may
// hold NUL bytes, which is why the C string functions will not do.
const char* FindBytes(const char* data, size_t length, const char* needle, size_t needleLength);
