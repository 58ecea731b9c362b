#include "tools/pakread/pakread.h"

#include <lzo/lzo1x.h>

#include <cstring>

namespace pakread {

namespace {

constexpr size_t kBlockHeaderSize = 12;
constexpr size_t kArchiveHeaderSize = 16;
constexpr size_t kEntrySize = 48;
constexpr size_t kNameField = 32;
constexpr int kEndCode = 256;
constexpr uint32_t kLastCode = 65535;
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

std::string DecodeLzw(const uint8_t* stream, size_t size, uint32_t rawSize,
                      std::vector<uint8_t>& out) {
  if (size % 2 != 0) return "LZW stream has an odd length of " + Num(size) + " bytes";
  if (size < 2) return "LZW stream is empty";
  const size_t codeCount = size / 2;
  if (Le16(stream + size - 2) != kEndCode) return "LZW stream does not end with code 256";

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
  out.reserve(rawSize < (64u << 20) ? rawSize : (64u << 20));
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

std::string ExtractEntry(const uint8_t* data, size_t size, const EntryInfo& entry,
                         std::vector<uint8_t>& out) {
  out.clear();
  if (data == nullptr || uint64_t{entry.offset} + entry.size > size) {
    return "entry " + Quoted(entry.name) + " lies outside the image";
  }
  const uint8_t* bytes = data + entry.offset;
  // The record does not say whether the data is packed; a whole NZ block is taken as one.
  if (LooksLikeBlock(bytes, entry.size)) {
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
