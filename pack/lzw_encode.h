#pragma once

#include <cstdint>

// LZW code stream of count (at least 1) input bytes: codes 0-255 are bytes, 256 ends the stream,
// 257 to 65,535 name strings as they are met; every code is a 16-bit little-endian value, with no
// reset and no width change. Stores a new[] stream through output and returns its length in bytes
// (the block may be longer than that).
//
// The string table (about 940 KB) and the stream come from the heap for the length of the call.
// When memory runs out nothing is stored through output and the result is minus the size of the
// request that failed. Throws nothing.
int64_t LzwEncode(const unsigned char* input, int64_t count, unsigned char*& output);
