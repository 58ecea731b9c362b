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
  int packType = 0;      // 0 stored, 10 LZW, 11 LZO1X-1
  uint32_t rawSize = 0;  // length once decoded
  uint32_t storedSize = 0;
};

struct EntryInfo {
  std::string name;
  uint32_t offset = 0;
  uint32_t size = 0;
  bool isBlock = false;  // the data is an NZ block (else raw bytes)
  BlockInfo block;       // valid when isBlock
};

// True when data looks like a whole NZ block: magic "NZ", a known pack type, and
// 12 + storedSize == size.
bool LooksLikeBlock(const uint8_t* data, size_t size);

// Decodes one whole NZ block into out. Returns "" on success, else the reason.
std::string DecodeBlock(const uint8_t* data, size_t size, std::vector<uint8_t>& out,
                        BlockInfo* info = nullptr);

// The length an LZO1X stream decodes to, found without writing any output: LZO_E_OK and the
// length, or the (negative) error lzo1x_decompress_safe gives for the stream when its output
// buffer is large enough. Lookbehind distances are checked against the bytes produced so far.
int MeasureLzo(const uint8_t* stream, size_t size, uint64_t& length);

// Parses a PAKF image's header and entry table. Returns "" on success, else the reason.
std::string ParseArchive(const uint8_t* data, size_t size, std::vector<EntryInfo>& entries);

// The number of bytes an entry of a parsed image claims to decode to: its block's raw size, or
// its own size when it holds raw data.
uint64_t ClaimedSize(const EntryInfo& entry);

// The decoded bytes of one entry of a parsed image (an NZ block is decoded, raw data copied).
// An entry that claims more than maxBytes is refused before anything is decoded.
std::string ExtractEntry(const uint8_t* data, size_t size, const EntryInfo& entry,
                         std::vector<uint8_t>& out, uint64_t maxBytes = UINT64_MAX);

// Convenience: the decoded bytes of the first entry with this name.
std::string ExtractByName(const uint8_t* data, size_t size, const std::string& name,
                          std::vector<uint8_t>& out);

}  // namespace pakread
