#include "pack/lzw_encode.h"

#include <cstddef>
#include <vector>

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

// Static so that a crash-time compression needs no large allocation of its own.
LzwSlot LzwTable[kTableSlots];

// The slot holding (prefix, byte), or the empty slot where it belongs.
inline int Probe(int prefix, int byte) {
  int slot = (byte << 8) ^ prefix;
  const int step = slot == 0 ? 1 : kTableSlots - slot;
  for (;;) {
    const LzwSlot& entry = LzwTable[slot];
    if (entry.code == -1 || (entry.prefix == prefix && entry.byte == byte)) return slot;
    slot -= step;
    if (slot < 0) slot += kTableSlots;
  }
}

}  // namespace

int64_t LzwEncode(const unsigned char* input, int64_t count, unsigned char*& output) {
  for (LzwSlot& slot : LzwTable) slot.code = -1;

  std::vector<uint16_t> codes;
  codes.reserve(static_cast<size_t>(count / 4 + 2));
  int nextCode = kFirstFreeCode;
  int pending = input[0];
  for (int64_t i = 1; i < count; ++i) {
    const int byte = input[i];
    const int slot = Probe(pending, byte);
    LzwSlot& entry = LzwTable[slot];
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
    codes.push_back(static_cast<uint16_t>(pending));
    pending = byte;
  }
  codes.push_back(static_cast<uint16_t>(pending));
  codes.push_back(kEndCode);

  const size_t streamSize = codes.size() * 2;
  unsigned char* stream = new unsigned char[streamSize];
  for (size_t i = 0; i < codes.size(); ++i) {
    stream[2 * i] = static_cast<unsigned char>(codes[i] & 0xFF);
    stream[2 * i + 1] = static_cast<unsigned char>(codes[i] >> 8);
  }
  output = stream;
  return static_cast<int64_t>(streamSize);
}
