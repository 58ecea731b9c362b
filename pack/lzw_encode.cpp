#include "pack/lzw_encode.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kTableSlots = 78643;  // prime, so every probe step visits all slots
constexpr int kEndCode = 256;
constexpr int kFirstFreeCode = 257;
constexpr int kLastCode = 65535;

struct LzwSlot {
  int32_t code;  // -1: empty
  int32_t prefix;
  uint8_t byte;
};

// The slot holding (prefix, byte), or the empty slot where it belongs.
inline int Probe(const LzwSlot* table, int prefix, int byte) {
  int slot = (byte << 8) ^ prefix;
  const int step = slot == 0 ? 1 : kTableSlots - slot;
  for (;;) {
    const LzwSlot& entry = table[slot];
    if (entry.code == -1 || (entry.prefix == prefix && entry.byte == byte)) return slot;
    slot -= step;
    if (slot < 0) slot += kTableSlots;
  }
}

// The output, two bytes per code, in a block that doubles as it fills. Allocation failures are
// kept, not thrown: the coder runs inside a crashed game's DLL.
class CodeStream {
 public:
  bool Reserve(uint64_t bytes) {
    if (bytes <= capacity_) return true;
    if (bytes > SIZE_MAX) return Fail(bytes);
    unsigned char* const grown = new (std::nothrow) unsigned char[static_cast<size_t>(bytes)];
    if (grown == nullptr) return Fail(bytes);
    if (used_ != 0) std::memcpy(grown, block_.get(), used_);
    block_.reset(grown);
    capacity_ = static_cast<size_t>(bytes);
    return true;
  }

  bool Put(int code) {
    if (used_ + 2 > capacity_ && !Reserve(static_cast<uint64_t>(capacity_) * 2 + 2)) return false;
    block_[used_++] = static_cast<unsigned char>(code & 0xFF);
    block_[used_++] = static_cast<unsigned char>(code >> 8);
    return true;
  }

  size_t used() const { return used_; }
  uint64_t failedRequest() const { return failedRequest_; }
  unsigned char* Release() { return block_.release(); }

 private:
  bool Fail(uint64_t bytes) {
    failedRequest_ = bytes;
    return false;
  }

  std::unique_ptr<unsigned char[]> block_;
  size_t capacity_ = 0;
  size_t used_ = 0;
  uint64_t failedRequest_ = 0;
};

int64_t OutOfMemory(uint64_t bytes) {
  return bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MIN + 1 : -static_cast<int64_t>(bytes);
}

}  // namespace

int64_t LzwEncode(const unsigned char* input, int64_t count, unsigned char*& output) {
  // On the heap, and only while the coder runs: the DLL packs with LZO, and a static table would
  // cost every game that loads it this much memory for nothing.
  const std::unique_ptr<LzwSlot[]> table(new (std::nothrow) LzwSlot[kTableSlots]);
  if (table == nullptr) return OutOfMemory(sizeof(LzwSlot) * kTableSlots);
  for (int i = 0; i < kTableSlots; ++i) table[i].code = -1;

  // A quarter of the input as codes fits typical text without growing.
  CodeStream codes;
  if (!codes.Reserve((static_cast<uint64_t>(count) / 4 + 2) * 2)) {
    return OutOfMemory(codes.failedRequest());
  }
  int nextCode = kFirstFreeCode;
  int pending = input[0];
  for (int64_t i = 1; i < count; ++i) {
    const int byte = input[i];
    LzwSlot& entry = table[Probe(table.get(), pending, byte)];
    if (entry.code != -1) {
      pending = entry.code;
      continue;
    }
    // Once the last code is out the table stays as it is for the rest of the input.
    if (nextCode <= kLastCode) {
      entry.code = nextCode++;
      entry.prefix = pending;
      entry.byte = static_cast<uint8_t>(byte);
    }
    if (!codes.Put(pending)) return OutOfMemory(codes.failedRequest());
    pending = byte;
  }
  if (!codes.Put(pending) || !codes.Put(kEndCode)) return OutOfMemory(codes.failedRequest());

  const size_t streamSize = codes.used();
  output = codes.Release();
  return static_cast<int64_t>(streamSize);
}
