// An uploaded minidump walked against an image file, both arbitrary: the input is a 32-bit
// little-endian length, that many bytes of dump, then the image that module 0 gets. Never a read
// out of bounds, never an endless walk, and every thread's frames keep the walker's promises.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "cfi.h"
#include "minidump.h"
#include "stack_walk.h"

namespace {

class ImageProvider : public collector::StackWalkProvider {
 public:
  explicit ImageProvider(const collector::ModuleImage* image) : image_(image) {}
  const collector::ModuleImage* Image(size_t module) const override {
    return module == 0 ? image_ : nullptr;
  }

 private:
  const collector::ModuleImage* image_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  size_t dumpSize = data[0] | (data[1] << 8) | (data[2] << 16) | (size_t{data[3]} << 24);
  if (dumpSize > size - 4) dumpSize = size - 4;
  // Exact-size copies, so ASan sees any read past either end.
  std::unique_ptr<uint8_t[]> dumpBytes(new uint8_t[dumpSize == 0 ? 1 : dumpSize]);
  if (dumpSize != 0) std::memcpy(dumpBytes.get(), data + 4, dumpSize);
  size_t imageSize = size - 4 - dumpSize;
  std::unique_ptr<uint8_t[]> imageBytes(new uint8_t[imageSize == 0 ? 1 : imageSize]);
  if (imageSize != 0) std::memcpy(imageBytes.get(), data + 4 + dumpSize, imageSize);

  collector::ModuleImage image;
  bool loaded = image.Load(imageBytes.get(), imageSize);
  imageBytes.reset();  // the image keeps its own copy
  collector::CfiTable table = image.cfi();
  uint32_t start = 0, end = 0;
  collector::CfiRow row;
  for (uint32_t rva : {0x1000u, 0x1043u, 0x2000u}) {
    if (table.FunctionAt(rva, &start, &end) && (rva < start || rva >= end)) __builtin_trap();
    table.RowAt(rva, &row);
  }

  collector::Minidump dump;
  if (!collector::ParseMinidump(dumpBytes.get(), dumpSize, &dump, nullptr)) return 0;
  ImageProvider provider(loaded ? &image : nullptr);
  std::vector<collector::WalkedThread> stacks = collector::WalkStacks(dump, provider);
  if (stacks.size() != dump.threads.size()) __builtin_trap();
  for (const collector::WalkedThread& stack : stacks) {
    if (stack.frames.size() > collector::kMaxWalkedFrames) __builtin_trap();
    for (size_t i = 0; i < stack.frames.size(); ++i) {
      const collector::WalkedFrame& frame = stack.frames[i];
      if ((i == 0) != (frame.method == collector::WalkMethod::kContext)) __builtin_trap();
      if (i > 0 && frame.stackPointer <= stack.frames[i - 1].stackPointer) __builtin_trap();
      if (frame.module != collector::WalkedFrame::kNoModule &&
          frame.module >= dump.modules.size()) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
