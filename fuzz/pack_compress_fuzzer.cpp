// The first byte picks the pack type and the flags; the rest is the input.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pack/compress.h"
#include "tools/pakread/pakread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int kTypes[] = {kPackStored, kPackLzw, kPackLzo, 5};
  const int packType = kTypes[data[0] & 3];
  const int storeIfPoor = (data[0] >> 2) & 1;
  const int releaseInput = (data[0] >> 3) & 1;
  const size_t length = size - 1;

  unsigned char* input = new unsigned char[length == 0 ? 1 : length];
  if (length > 0) std::memcpy(input, data + 1, length);
  unsigned char* buffer = input;
  int blockLength = static_cast<int>(length);
  const int result = Compress(buffer, blockLength, packType, storeIfPoor, releaseInput);
  const bool valid = length > 0 && packType != 5;
  if (result != (valid ? kCompressOk : kCompressFailed)) __builtin_trap();
  if (result != kCompressOk) {
    if (buffer != input || blockLength != static_cast<int>(length)) __builtin_trap();
    delete[] input;
    return 0;
  }
  if (!releaseInput) delete[] input;

  std::vector<uint8_t> decoded;
  pakread::BlockInfo info;
  if (!pakread::LooksLikeBlock(buffer, static_cast<size_t>(blockLength))) __builtin_trap();
  if (!pakread::DecodeBlock(buffer, static_cast<size_t>(blockLength), decoded, &info).empty()) {
    __builtin_trap();
  }
  if (decoded.size() != length || std::memcmp(decoded.data(), data + 1, length) != 0) {
    __builtin_trap();
  }
  const int64_t stored = blockLength - 12;
  const bool poor = stored > PoorLimit(static_cast<int64_t>(length));
  if (info.packType != packType && !(info.packType == kPackStored && storeIfPoor)) __builtin_trap();
  if (storeIfPoor && packType != kPackStored && poor && info.packType != kPackStored) {
    __builtin_trap();
  }
  delete[] buffer;
  return 0;
}
