// Arbitrary bytes as an uploaded minidump: never a read out of bounds, every view lies inside
// the input, and Read serves only bytes the dump holds.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "minidump.h"

namespace {

bool Inside(const collector::ByteView& view, const uint8_t* data, size_t size) {
  return view.size == 0 || (view.data >= data && view.size <= size &&
                            view.data - data <= static_cast<ptrdiff_t>(size - view.size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so ASan sees any read past the end.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  collector::Minidump dump;
  std::string error;
  if (!collector::ParseMinidump(copy.get(), size, &dump, &error)) {
    if (error.empty() || !dump.threads.empty() || !dump.modules.empty()) __builtin_trap();
    return 0;
  }
  if (dump.exception.parameters.size() > 15) __builtin_trap();
  for (const collector::Minidump::Thread& thread : dump.threads) {
    if (!Inside(thread.stack, copy.get(), size) || !Inside(thread.context.raw, copy.get(), size)) {
      __builtin_trap();
    }
    // Another range may cover the same address first, but some range must serve it.
    uint8_t word[4];
    if (thread.stack.size >= 4 && !dump.Read(thread.stackStart, word, sizeof(word))) {
      __builtin_trap();
    }
  }
  for (const collector::Minidump::MemoryRange& range : dump.memory) {
    if (!Inside(range.bytes, copy.get(), size)) __builtin_trap();
  }
  for (const collector::Minidump::Module& module : dump.modules) {
    std::string id = module.DebugId();
    if (module.hasCodeView != !id.empty() || (!id.empty() && (id.size() < 33 || id.size() > 40))) {
      __builtin_trap();
    }
  }
  return 0;
}
