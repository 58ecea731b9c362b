#pragma once

#include <cstdint>

// The NZ block: a 12-byte little-endian header followed by the stored or packed bytes.
struct NzHeader {
  uint16_t magic;       // 'N' 'Z'
  uint16_t packType;    // the method actually used
  uint32_t rawSize;     // length before packing
  uint32_t storedSize;  // length of the data after the header
};
static_assert(sizeof(NzHeader) == 12, "NZ header is 12 bytes with no padding");

constexpr uint16_t kNzMagic = 0x5A4E;
constexpr int kNzHeaderSize = 12;

enum PackType : int {
  kPackStored = 0,
  kPackLzw = 10,
  kPackLzo = 11,
};

enum CompressResult : int {
  kCompressFailed = 0,
  kCompressOk = 1,
};

constexpr unsigned kCompressErrorSize = 1024;

// The reason of the last failed Compress call (English, NUL-terminated); not cleared on success.
extern char CompressError[kCompressErrorSize];

// The 95 % limit for n input bytes: MulDiv(n, 95, 100), halves rounded upwards. A packed form
// longer than this counts as poor.
int64_t PoorLimit(int64_t n);

// Turns length bytes at buffer into a new[] NZ block of the given pack type (0, 10 or 11).
// On success buffer and length describe the block and the result is kCompressOk; with
// releaseInput the input (which must come from new[]) has then been delete[]d. With storeIfPoor a
// packed form longer than 95 % of the input falls back to pack type 0. On failure nothing is
// touched or released and CompressError says why.
//
// Lengths of 0 or below are parameter errors, and so is an input whose block would not fit the
// 32-bit signed length (the text is the parameter error's): callers never pass either, but the
// header's size fields must never wrap.
int Compress(unsigned char*& buffer, int& length, int packType, int storeIfPoor, int releaseInput);
