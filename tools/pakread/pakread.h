#pragma once

// The reading side of PAKF archives and NZ blocks: tools and tests only, never the DLL.
// Every function checks all bounds against the given size and reports malformed input by a
// one-line English message instead of reading past the end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pakread {

struct BlockInfo {
  int packType = 0;       // 0 stored, 10 LZW, 11 LZO1X-1
  uint32_t rawSize = 0;   // length once decoded
  uint32_t storedSize = 0;
};

struct EntryInfo {
  std::string name;
  uint32_t offset = 0;
  uint32_t size = 0;
  bool isBlock = false;   // the data is an NZ block (else raw bytes)
  BlockInfo block;        // valid when isBlock
};

// True when data looks like a whole NZ block: magic "NZ", a known pack type, and
// 12 + storedSize == size.
bool LooksLikeBlock(const uint8_t* data, size_t size);

// Decodes one whole NZ block into out. Returns "" on success, else the reason.
std::string DecodeBlock(const uint8_t* data, size_t size, std::vector<uint8_t>& out,
                        BlockInfo* info = nullptr);

// Parses a PAKF image's header and entry table. Returns "" on success, else the reason.
std::string ParseArchive(const uint8_t* data, size_t size, std::vector<EntryInfo>& entries);

// The decoded bytes of one entry of a parsed image (an NZ block is decoded, raw data copied).
std::string ExtractEntry(const uint8_t* data, size_t size, const EntryInfo& entry,
                         std::vector<uint8_t>& out);

// Convenience: the decoded bytes of the first entry with this name.
std::string ExtractByName(const uint8_t* data, size_t size, const std::string& name,
                          std::vector<uint8_t>& out);

}  // namespace pakread
