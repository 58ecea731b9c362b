#include "pack/compress.h"

#include <lzo/lzo1x.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "pack/lzw_encode.h"

char CompressError[kCompressErrorSize];

namespace {

// Static so that a crash-time compression needs no allocation beyond its output.
alignas(16) unsigned char LzoWorkMemory[LZO1X_1_MEM_COMPRESS];

void SetError(const char* text) {
  std::strncpy(CompressError, text, kCompressErrorSize - 1);
  CompressError[kCompressErrorSize - 1] = '\0';
}

void SetAllocError(int64_t bytes) {
  std::snprintf(CompressError, kCompressErrorSize, "in Compress fun, new alloc error! (%lld)",
                static_cast<long long>(bytes));
}

void StoreLe16(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

void StoreLe32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

int64_t PoorLimit(int64_t n) { return (n * 95 + 50) / 100; }

int Compress(unsigned char*& buffer, int& length, int packType, int storeIfPoor, int releaseInput) {
  unsigned char* const input = buffer;
  const int64_t n = length;
  if (input == nullptr || n <= 0) {
    SetError("in Compress fun, parameter error!");
    return kCompressFailed;
  }

  const unsigned char* source = input;
  std::unique_ptr<unsigned char[]> packed;  // the compressor's own output, never outlives the call
  int64_t storedSize = n;
  int finalType = packType;
  switch (packType) {
    case kPackStored:
      break;
    case kPackLzw: {
      unsigned char* stream = nullptr;
      storedSize = LzwEncode(input, n, stream);
      if (storedSize < 0) {
        SetAllocError(-storedSize);
        return kCompressFailed;
      }
      packed.reset(stream);
      source = stream;
      break;
    }
    case kPackLzo: {
      // Room for LZO's documented worst case, n + n/16 + 64 + 3: a buffer three bytes short
      // could be overrun by an incompressible input. The failure message names n + n/16 + 64,
      // the figure its readers know. n < 2^31, so both fit easily in 64 bits.
      const int64_t reported = n + n / 16 + 64;
      const int64_t capacity = reported + 3;
      if (static_cast<uint64_t>(capacity) <= SIZE_MAX) {
        packed.reset(new (std::nothrow) unsigned char[static_cast<size_t>(capacity)]);
      }
      if (packed == nullptr) {
        SetAllocError(reported);
        return kCompressFailed;
      }
      static bool lzoReady = false;
      if (!lzoReady) lzoReady = lzo_init() == LZO_E_OK;
      std::memset(LzoWorkMemory, 0, sizeof LzoWorkMemory);
      lzo_uint produced = 0;
      lzo1x_1_compress(input, static_cast<lzo_uint>(n), packed.get(), &produced, LzoWorkMemory);
      storedSize = static_cast<int64_t>(produced);
      source = packed.get();
      break;
    }
    default:
      SetError("in Compress fun, pack type parameter error!");
      return kCompressFailed;
  }

  if (finalType != kPackStored && storedSize > PoorLimit(n) && storeIfPoor != 0) {
    packed.reset();
    finalType = kPackStored;
    source = input;
    storedSize = n;
  }

  // The block's length must fit the caller's 32-bit signed length.
  if (storedSize > INT_MAX - kNzHeaderSize) {
    SetError("in Compress fun, parameter error!");
    return kCompressFailed;
  }

  const int blockSize = static_cast<int>(kNzHeaderSize + storedSize);
  unsigned char* const block = new unsigned char[blockSize];
  StoreLe16(block, kNzMagic);
  StoreLe16(block + 2, static_cast<uint16_t>(finalType));
  StoreLe32(block + 4, static_cast<uint32_t>(n));
  StoreLe32(block + 8, static_cast<uint32_t>(storedSize));
  std::memcpy(block + kNzHeaderSize, source, static_cast<size_t>(storedSize));

  packed.reset();
  if (releaseInput != 0) delete[] input;
  buffer = block;
  length = blockSize;
  return kCompressOk;
}
