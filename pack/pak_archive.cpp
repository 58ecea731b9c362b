#include "pack/pak_archive.h"

#include <cstring>
#include <memory>

#include "pack/compress.h"

// The header members and records are copied into the image as they lie in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the PAKF image is little-endian");

PakArchive::PakArchive()
    : magic(kPakMagic),
      version(kPakVersion),
      totalSize(0),
      entryCount(0),
      entries(nullptr),
      data(nullptr),
      dataSize(0),
      image(nullptr),
      imageSize(0) {}

PakArchive::~PakArchive() {
  delete[] image;
  delete[] entries;
  delete[] data;
}

int PakArchive::AddEntry(const char* name, const unsigned char* bytes, uint32_t length) {
  if (name == nullptr || name[0] == '\0') return kAddEntryNoName;

  const unsigned char* chosen = nullptr;
  uint32_t chosenLength = 0;
  std::unique_ptr<unsigned char[]> block;  // released whether it is used or not
  if (bytes != nullptr) {
    chosen = bytes;
    chosenLength = length;
    if (length > kPakCompressThreshold) {
      // Compress leaves the input alone (releaseInput 0), so the cast never lets it write.
      unsigned char* packed = const_cast<unsigned char*>(bytes);
      int packedLength = static_cast<int>(length);
      if (Compress(packed, packedLength, kPackLzo, 0, 0) == kCompressOk) {
        block.reset(packed);
        if (packedLength > 0 && packedLength < static_cast<int>(length)) {
          chosen = packed;
          chosenLength = static_cast<uint32_t>(packedLength);
        }
      }
    }
  }

  // The image's size fields are 32-bit: refuse what could not be described rather than wrap.
  const uint64_t grownImage = uint64_t{kPakHeaderSize} +
                              uint64_t{sizeof(PakEntry)} * (static_cast<uint64_t>(entryCount) + 1) +
                              dataSize + chosenLength;
  if (grownImage > UINT32_MAX) return kAddEntryTooLarge;

  const size_t count = static_cast<size_t>(entryCount);
  std::unique_ptr<PakEntry[]> table(new PakEntry[count + 1]);
  if (count > 0) std::memcpy(table.get(), entries, sizeof(PakEntry) * count);
  PakEntry& entry = table[count];
  std::memset(&entry, 0, sizeof entry);
  std::strncpy(entry.name, name, kPakNameMax);

  if (chosenLength > 0) {
    unsigned char* grown = new unsigned char[size_t{dataSize} + chosenLength];
    if (dataSize > 0) std::memcpy(grown, data, dataSize);
    std::memcpy(grown + dataSize, chosen, chosenLength);
    delete[] data;
    data = grown;
    dataSize += chosenLength;
    entry.size = chosenLength;
  }

  delete[] entries;
  entries = table.release();
  ++entryCount;
  return kAddEntryOk;
}

unsigned char* PakArchive::Build(uint32_t* sizeOut) {
  delete[] image;
  image = nullptr;
  imageSize = 0;
  if (entryCount <= 0) {
    if (sizeOut != nullptr) *sizeOut = 0;
    return nullptr;
  }

  const size_t count = static_cast<size_t>(entryCount);
  totalSize = static_cast<uint32_t>(kPakHeaderSize + sizeof(PakEntry) * count);
  for (size_t i = 0; i < count; ++i) {
    entries[i].offset = totalSize;
    totalSize += entries[i].size;
  }

  image = new unsigned char[totalSize];
  imageSize = totalSize;
  unsigned char* at = image;
  std::memcpy(at, &magic, 4);
  std::memcpy(at + 4, &version, 4);
  std::memcpy(at + 8, &totalSize, 4);
  std::memcpy(at + 12, &entryCount, 4);
  at += kPakHeaderSize;
  std::memcpy(at, entries, sizeof(PakEntry) * count);
  at += sizeof(PakEntry) * count;
  if (dataSize > 0) std::memcpy(at, data, dataSize);

  if (sizeOut != nullptr) *sizeOut = imageSize;
  return image;
}
