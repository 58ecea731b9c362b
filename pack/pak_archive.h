#pragma once

#include <cstddef>
#include <cstdint>

// One 48-byte record of the entry table; the image stores it little-endian as it stands.
struct PakEntry {
  char name[32];  // at most 31 characters, zero-filled
  uint32_t offset;
  uint32_t size;
  unsigned char reserved[8];
};
static_assert(sizeof(PakEntry) == 48, "entry records are 48 bytes");

constexpr uint32_t kPakMagic = 0x464B4150;    // "PAKF"
constexpr uint32_t kPakVersion = 0x31303033;  // "3001"
constexpr uint32_t kPakHeaderSize = 16;
constexpr unsigned kPakNameMax = 31;
constexpr unsigned kPakCompressThreshold = 16;  // entries this short are never compressed

enum AddEntryResult : int {
  kAddEntryOk = 0,
  kAddEntryNoName = 1,
  // The entry would push the image past the 32-bit totalSize field; nothing was changed.
  kAddEntryTooLarge = 2,
};

// Named entries laid out as one PAKF image: 16-byte header, 48-byte records, data back to back.
// Each entry is stored as an NZ block (LZO1X-1) when that is shorter than its raw bytes.
class PakArchive {
 public:
  PakArchive();
  ~PakArchive();
  PakArchive(const PakArchive&) = delete;
  PakArchive& operator=(const PakArchive&) = delete;

  // Copies length bytes of data (null data or length 0 give an empty entry).
  int AddEntry(const char* name, const unsigned char* data, uint32_t length);

  // Lays the archive out afresh. The image stays the archive's, valid until the next Build or
  // the archive's end; null with size 0 when there are no entries.
  unsigned char* Build(uint32_t* sizeOut = nullptr);

  // The header members, copied into the image as they stand.
  uint32_t magic;
  uint32_t version;
  uint32_t totalSize;
  int32_t entryCount;
  PakEntry* entries;
  unsigned char* data;
  uint32_t dataSize;
  unsigned char* image;
  uint32_t imageSize;
};
