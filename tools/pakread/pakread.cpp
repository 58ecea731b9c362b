#include "tools/pakread/pakread.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstring>

namespace pakread {

namespace {

constexpr size_t kBlockHeaderSize = 12;
constexpr size_t kArchiveHeaderSize = 16;
constexpr size_t kEntrySize = 48;
constexpr size_t kNameField = 32;
constexpr int kEndCode = 256;
constexpr uint32_t kLastCode = 65535;
// The first code defines nothing and each later one at most one string, one byte longer than a
// string already known, until the table is full: no string is longer than this.
constexpr uint64_t kLzwLongestString = kLastCode - 255;
// Most text packs to a quarter or more of its size: enough room for that before growing.
constexpr uint64_t kLzwFirstRatio = 4;
// An LZO1X stream yields at most 255 bytes per input byte (runs of zero length bytes) plus a
// small constant; a larger rawSize cannot be genuine and would only make us allocate it.
constexpr uint64_t kLzoMaxRatio = 256;
constexpr uint64_t kLzoSlack = 1024;

uint16_t Le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t Le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

bool KnownPackType(int packType) { return packType == 0 || packType == 10 || packType == 11; }

std::string Num(uint64_t value) { return std::to_string(value); }

// Names come from the file: keep control bytes out of the one-line messages.
std::string Quoted(const std::string& name) {
  std::string quoted = "'";
  for (char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    quoted += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return quoted + "'";
}

// The most that count codes can decode to: code i at most min(i, kLzwLongestString) bytes.
uint64_t LzwMaxOutput(uint64_t count) {
  if (count <= kLzwLongestString) return count * (count + 1) / 2;
  return kLzwLongestString * (kLzwLongestString + 1) / 2 +
         (count - kLzwLongestString) * kLzwLongestString;
}

std::string DecodeLzw(const uint8_t* stream, size_t size, uint32_t rawSize,
                      std::vector<uint8_t>& out) {
  if (size % 2 != 0) return "LZW stream has an odd length of " + Num(size) + " bytes";
  if (size < 2) return "LZW stream is empty";
  const size_t codeCount = size / 2;
  if (Le16(stream + size - 2) != kEndCode) return "LZW stream does not end with code 256";
  // A claim the codes cannot reach would otherwise be believed until the output ran dry.
  const uint64_t reachable = LzwMaxOutput(codeCount - 1);
  if (rawSize > reachable) {
    return "LZW stream of " + Num(codeCount) + " codes decodes to at most " + Num(reachable) +
           " bytes, less than the raw size of " + Num(rawSize);
  }

  // Code k (257 and up) is the string of prefix[k] followed by last[k].
  std::vector<uint16_t> prefix(kLastCode + 1);
  std::vector<uint8_t> last(kLastCode + 1);
  std::vector<uint32_t> length(kLastCode + 1);
  std::vector<uint8_t> first(kLastCode + 1);
  for (uint32_t c = 0; c < 256; ++c) {
    last[c] = static_cast<uint8_t>(c);
    first[c] = static_cast<uint8_t>(c);
    length[c] = 1;
  }

  out.clear();
  // Grown as the codes turn out to need it, never past the claim: a claim the stream does not
  // live up to costs no more than what was decoded.
  out.reserve(static_cast<size_t>(std::min<uint64_t>(rawSize, uint64_t{size} * kLzwFirstRatio)));
  uint32_t nextCode = 257;
  int32_t previous = -1;
  for (size_t i = 0; i + 1 < codeCount; ++i) {
    const uint32_t code = Le16(stream + 2 * i);
    if (code == kEndCode) return "LZW code 256 before the end of the stream";
    uint8_t head;
    if (code < 256 || code < nextCode) {
      head = first[code];
    } else if (code == nextCode && previous >= 0 && nextCode <= kLastCode) {
      head = first[previous];  // the string being defined right now: previous + its first byte
    } else {
      return "LZW code " + Num(code) + " at position " + Num(i) + " is not defined yet";
    }
    if (previous >= 0 && nextCode <= kLastCode) {
      prefix[nextCode] = static_cast<uint16_t>(previous);
      last[nextCode] = head;
      first[nextCode] = first[previous];
      length[nextCode] = length[previous] + 1;
      ++nextCode;
    }
    const uint32_t stringLength = length[code];
    if (stringLength > rawSize - out.size()) {
      return "LZW stream decodes to more than the raw size of " + Num(rawSize) + " bytes";
    }
    const size_t start = out.size();
    if (stringLength > out.capacity() - start) {
      out.reserve(static_cast<size_t>(std::min<uint64_t>(
          rawSize, std::max<uint64_t>(uint64_t{out.capacity()} * 2, start + stringLength))));
    }
    out.resize(start + stringLength);
    uint32_t walk = code;
    for (size_t at = start + stringLength; at > start; walk = prefix[walk]) {
      out[--at] = last[walk];
      if (walk < 256) break;
    }
    previous = static_cast<int32_t>(code);
  }
  if (out.size() != rawSize) {
    return "LZW stream decodes to " + Num(out.size()) + " bytes, not the raw size of " +
           Num(rawSize);
  }
  return "";
}

std::string DecodeLzo(const uint8_t* stream, size_t size, uint32_t rawSize,
                      std::vector<uint8_t>& out) {
  if (rawSize > uint64_t{size} * kLzoMaxRatio + kLzoSlack) {
    return "raw size " + Num(rawSize) + " is impossible for an LZO stream of " + Num(size) +
           " bytes";
  }
  // Measured first, so that only a stream that really yields rawSize bytes costs that much.
  uint64_t length = 0;
  const int measured = MeasureLzo(stream, size, length);
  if (measured != LZO_E_OK) {
    return "corrupt LZO stream (lzo error " + std::to_string(measured) + ")";
  }
  if (length != rawSize) {
    return "LZO stream decodes to " + Num(length) + " bytes, not the raw size of " + Num(rawSize);
  }
  if (lzo_init() != LZO_E_OK) return "LZO library failed to initialise";
  out.assign(rawSize, 0);
  uint8_t spare = 0;  // lzo wants a real pointer even for an empty output
  lzo_uint produced = rawSize;
  const int status =
      lzo1x_decompress_safe(stream, size, rawSize > 0 ? out.data() : &spare, &produced, nullptr);
  if (status != LZO_E_OK) {
    out.clear();
    return "corrupt LZO stream (lzo error " + std::to_string(status) + ")";
  }
  if (produced != rawSize) {
    out.clear();
    return "LZO stream decodes to " + Num(produced) + " bytes, not the raw size of " + Num(rawSize);
  }
  return "";
}

}  // namespace

// Follows lzo1x_decompress_safe step by step, counting bytes instead of copying them, and
// checks the input in the same places so that it fails where and how the decoder would.
int MeasureLzo(const uint8_t* stream, size_t size, uint64_t& length) {
  length = 0;
  if (stream == nullptr || size == 0) return LZO_E_INPUT_OVERRUN;
  const uint8_t* ip = stream;
  const uint8_t* const end = stream + size;
  const auto left = [&ip, end]() -> uint64_t { return static_cast<uint64_t>(end - ip); };
  // A run of zero bytes extends a length by 255 each; the byte after them ends it.
  const auto extend = [&ip, &left](uint64_t& count, uint64_t base) {
    while (*ip == 0) {
      count += 255;
      ++ip;
      if (left() < 1) return false;
    }
    count += base + *ip++;
    return true;
  };
  enum class Step { kInstruction, kFirstLiteralRun, kMatch, kMatchNext };
  Step step = Step::kInstruction;
  uint64_t produced = 0;
  uint64_t t = 0;
  if (*ip > 17) {
    t = *ip++ - 17u;
    if (t < 4) {
      step = Step::kMatchNext;
    } else {
      if (left() < t + 3) return LZO_E_INPUT_OVERRUN;
      ip += t;
      produced += t;
      step = Step::kFirstLiteralRun;
    }
  }
  for (;;) {
    switch (step) {
      case Step::kInstruction:
        if (left() < 3) return LZO_E_INPUT_OVERRUN;
        t = *ip++;
        if (t >= 16) {
          step = Step::kMatch;
          break;
        }
        if (t == 0 && !extend(t, 15)) return LZO_E_INPUT_OVERRUN;
        if (left() < t + 6) return LZO_E_INPUT_OVERRUN;
        ip += t + 3;
        produced += t + 3;
        step = Step::kFirstLiteralRun;
        break;
      case Step::kFirstLiteralRun: {
        t = *ip++;
        if (t >= 16) {
          step = Step::kMatch;
          break;
        }
        const uint64_t distance = 1 + 0x800 + (t >> 2) + (uint64_t{*ip++} << 2);
        if (distance > produced) return LZO_E_LOOKBEHIND_OVERRUN;
        produced += 3;
        t = ip[-2] & 3;
        step = t == 0 ? Step::kInstruction : Step::kMatchNext;
        break;
      }
      case Step::kMatch: {
        uint64_t distance = 0;
        uint64_t count = 0;
        if (t >= 64) {
          distance = 1 + ((t >> 2) & 7) + (uint64_t{*ip++} << 3);
          count = (t >> 5) + 1;
        } else if (t >= 32) {
          t &= 31;
          if (t == 0 && (!extend(t, 31) || left() < 2)) return LZO_E_INPUT_OVERRUN;
          distance = 1 + (Le16(ip) >> 2);
          ip += 2;
          count = t + 2;
        } else if (t >= 16) {
          const uint64_t far = (t & 8) << 11;
          t &= 7;
          if (t == 0 && (!extend(t, 7) || left() < 2)) return LZO_E_INPUT_OVERRUN;
          distance = far + (Le16(ip) >> 2);
          ip += 2;
          if (distance == 0) {  // the end marker
            length = produced;
            return ip == end ? LZO_E_OK : LZO_E_INPUT_NOT_CONSUMED;
          }
          distance += 0x4000;
          count = t + 2;
        } else {
          distance = 1 + (t >> 2) + (uint64_t{*ip++} << 2);
          count = 2;
        }
        if (distance > produced) return LZO_E_LOOKBEHIND_OVERRUN;
        produced += count;
        t = ip[-2] & 3;
        step = t == 0 ? Step::kInstruction : Step::kMatchNext;
        break;
      }
      case Step::kMatchNext:
        if (left() < t + 3) return LZO_E_INPUT_OVERRUN;
        ip += t;
        produced += t;
        t = *ip++;
        step = Step::kMatch;
        break;
    }
  }
}

bool LooksLikeBlock(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kBlockHeaderSize) return false;
  if (data[0] != 'N' || data[1] != 'Z') return false;
  if (!KnownPackType(Le16(data + 2))) return false;
  return kBlockHeaderSize + uint64_t{Le32(data + 8)} == size;
}

std::string DecodeBlock(const uint8_t* data, size_t size, std::vector<uint8_t>& out,
                        BlockInfo* info) {
  out.clear();
  if (data == nullptr || size < kBlockHeaderSize) {
    return "truncated NZ block: " + Num(size) + " bytes, the header alone needs 12";
  }
  if (data[0] != 'N' || data[1] != 'Z') return "not an NZ block (bad magic)";
  BlockInfo block;
  block.packType = Le16(data + 2);
  block.rawSize = Le32(data + 4);
  block.storedSize = Le32(data + 8);
  if (info != nullptr) *info = block;
  if (!KnownPackType(block.packType)) {
    return "NZ block has unknown pack type " + Num(static_cast<uint64_t>(block.packType));
  }
  const uint64_t available = size - kBlockHeaderSize;
  if (block.storedSize > available) {
    return "NZ block stored size " + Num(block.storedSize) + " is larger than the " +
           Num(available) + " bytes of data";
  }
  if (block.storedSize < available) {
    return "NZ block has " + Num(available - block.storedSize) + " bytes after its data";
  }
  const uint8_t* stream = data + kBlockHeaderSize;
  std::string reason;
  switch (block.packType) {
    case 0:
      if (block.rawSize != block.storedSize) {
        return "stored NZ block has raw size " + Num(block.rawSize) + " but stored size " +
               Num(block.storedSize);
      }
      out.assign(stream, stream + block.storedSize);
      return "";
    case 10:
      reason = DecodeLzw(stream, block.storedSize, block.rawSize, out);
      break;
    default:
      reason = DecodeLzo(stream, block.storedSize, block.rawSize, out);
      break;
  }
  if (!reason.empty()) out.clear();  // no half-decoded output on failure
  return reason;
}

std::string ParseArchive(const uint8_t* data, size_t size, std::vector<EntryInfo>& entries) {
  entries.clear();
  if (data == nullptr || size < kArchiveHeaderSize) {
    return "truncated PAKF header: " + Num(size) + " bytes, the header needs 16";
  }
  if (std::memcmp(data, "PAKF", 4) != 0) return "not a PAKF archive (bad magic)";
  if (std::memcmp(data + 4, "3001", 4) != 0) return "unsupported PAKF version (expected 3001)";
  const uint32_t totalSize = Le32(data + 8);
  if (totalSize != size) {
    return "PAKF total size " + Num(totalSize) + " does not match the " + Num(size) +
           " bytes of the image";
  }
  const int32_t count = static_cast<int32_t>(Le32(data + 12));
  if (count < 0) return "PAKF entry count " + std::to_string(count) + " is negative";
  const uint64_t tableEnd =
      kArchiveHeaderSize + uint64_t{kEntrySize} * static_cast<uint32_t>(count);
  if (tableEnd > size) {
    return "PAKF entry table of " + Num(static_cast<uint32_t>(count)) +
           " entries runs past the end of the " + Num(size) + "-byte image";
  }
  entries.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* record = data + kArchiveHeaderSize + kEntrySize * static_cast<size_t>(i);
    const void* nul = std::memchr(record, 0, kNameField);
    if (nul == nullptr) {
      entries.clear();
      return "entry " + std::to_string(i) + " has a name without a terminating zero";
    }
    EntryInfo entry;
    entry.name.assign(reinterpret_cast<const char*>(record),
                      static_cast<const uint8_t*>(nul) - record);
    entry.offset = Le32(record + 32);
    entry.size = Le32(record + 36);
    if (entry.offset < tableEnd || uint64_t{entry.offset} + entry.size > size) {
      const std::string reason = "entry " + std::to_string(i) + " " + Quoted(entry.name) +
                                 " at offset " + Num(entry.offset) + " with size " +
                                 Num(entry.size) + " lies outside the data area of the " +
                                 Num(size) + "-byte image";
      entries.clear();
      return reason;
    }
    entry.isBlock = LooksLikeBlock(data + entry.offset, entry.size);
    if (entry.isBlock) {
      const uint8_t* block = data + entry.offset;
      entry.block.packType = Le16(block + 2);
      entry.block.rawSize = Le32(block + 4);
      entry.block.storedSize = Le32(block + 8);
    }
    entries.push_back(entry);
  }
  return "";
}

uint64_t ClaimedSize(const EntryInfo& entry) {
  return entry.isBlock ? entry.block.rawSize : entry.size;
}

std::string ExtractEntry(const uint8_t* data, size_t size, const EntryInfo& entry,
                         std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  if (data == nullptr || uint64_t{entry.offset} + entry.size > size) {
    return "entry " + Quoted(entry.name) + " lies outside the image";
  }
  const uint8_t* bytes = data + entry.offset;
  // The record does not say whether the data is packed; a whole NZ block is taken as one.
  const bool isBlock = LooksLikeBlock(bytes, entry.size);
  const uint64_t claimed = isBlock ? Le32(bytes + 4) : entry.size;
  if (claimed > maxBytes) {
    return "entry " + Quoted(entry.name) + " claims " + Num(claimed) + " bytes, more than the " +
           Num(maxBytes) + "-byte limit";
  }
  if (isBlock) {
    const std::string reason = DecodeBlock(bytes, entry.size, out);
    return reason.empty() ? reason : "entry " + Quoted(entry.name) + ": " + reason;
  }
  out.assign(bytes, bytes + entry.size);
  return "";
}

std::string ExtractByName(const uint8_t* data, size_t size, const std::string& name,
                          std::vector<uint8_t>& out) {
  out.clear();
  std::vector<EntryInfo> entries;
  std::string reason = ParseArchive(data, size, entries);
  if (!reason.empty()) return reason;
  for (const EntryInfo& entry : entries) {
    if (entry.name == name) return ExtractEntry(data, size, entry, out);
  }
  return "no entry named " + Quoted(name);
}

}  // namespace pakread
