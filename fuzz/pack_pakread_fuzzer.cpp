// Arbitrary bytes as an archive image and as a bare block: the reader must never read out of
// bounds, and a successful decode must honour the sizes it read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pakread/pakread.h"

namespace {

// Every reason is one line.
void CheckReason(const std::string& reason) {
  if (reason.find('\n') != std::string::npos || reason.find('\r') != std::string::npos) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  pakread::BlockInfo info;
  const bool looksLikeBlock = pakread::LooksLikeBlock(data, size);
  std::string reason = pakread::DecodeBlock(data, size, out, &info);
  CheckReason(reason);
  if (reason.empty()) {
    if (!looksLikeBlock || out.size() != info.rawSize) __builtin_trap();
  } else if (!out.empty()) {
    __builtin_trap();
  }

  std::vector<pakread::EntryInfo> entries;
  reason = pakread::ParseArchive(data, size, entries);
  CheckReason(reason);
  if (!reason.empty()) return 0;
  for (const pakread::EntryInfo& entry : entries) {
    if (uint64_t{entry.offset} + entry.size > size) __builtin_trap();
    reason = pakread::ExtractEntry(data, size, entry, out);
    CheckReason(reason);
    if (reason.empty() && !entry.isBlock && out.size() != entry.size) __builtin_trap();
  }
  if (!entries.empty()) CheckReason(pakread::ExtractByName(data, size, entries.back().name, out));
  CheckReason(pakread::ExtractByName(data, size, "no such\nentry", out));
  return 0;
}
