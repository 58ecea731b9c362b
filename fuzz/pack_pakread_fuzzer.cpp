// Arbitrary bytes as an archive image and as a bare block: the reader must never read out of
// bounds, and a successful decode must honour the sizes it read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pakread/pakread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  pakread::BlockInfo info;
  const bool looksLikeBlock = pakread::LooksLikeBlock(data, size);
  if (pakread::DecodeBlock(data, size, out, &info).empty()) {
    if (!looksLikeBlock || out.size() != info.rawSize) __builtin_trap();
  } else if (!out.empty()) {
    __builtin_trap();
  }

  std::vector<pakread::EntryInfo> entries;
  if (!pakread::ParseArchive(data, size, entries).empty()) return 0;
  for (const pakread::EntryInfo& entry : entries) {
    if (uint64_t{entry.offset} + entry.size > size) __builtin_trap();
    if (pakread::ExtractEntry(data, size, entry, out).empty() && !entry.isBlock &&
        out.size() != entry.size) {
      __builtin_trap();
    }
  }
  if (!entries.empty()) pakread::ExtractByName(data, size, entries.back().name, out);
  return 0;
}
