// Arbitrary bytes as an archive image, as a bare block and as an LZO1X stream: the reader must
// never read out of bounds, a successful decode must honour the sizes it read and any limit, and
// measuring a stream must give what lzo1x_decompress_safe gives.

#include <lzo/lzo1x.h>

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

// The length-only pass must end as the decoder does, given room for all a stream of this size
// can decode to.
void CheckMeasure(const uint8_t* data, size_t size) {
  static const bool ready = lzo_init() == LZO_E_OK;
  static std::vector<uint8_t> decoded;
  if (!ready || size == 0) return;
  lzo_uint produced = size * 256 + 1024;
  if (decoded.size() < produced) decoded.resize(produced);
  const int status = lzo1x_decompress_safe(data, size, decoded.data(), &produced, nullptr);
  uint64_t length = 0;
  const int measured = pakread::MeasureLzo(data, size, length);
  if (measured != status || (status == LZO_E_OK && length != produced)) __builtin_trap();
}

constexpr uint64_t kSmallLimit = 64;

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

  CheckMeasure(data, size);

  std::vector<pakread::EntryInfo> entries;
  reason = pakread::ParseArchive(data, size, entries);
  CheckReason(reason);
  if (!reason.empty()) return 0;
  for (const pakread::EntryInfo& entry : entries) {
    if (uint64_t{entry.offset} + entry.size > size) __builtin_trap();
    reason = pakread::ExtractEntry(data, size, entry, out);
    CheckReason(reason);
    if (reason.empty() && !entry.isBlock && out.size() != entry.size) __builtin_trap();
    reason = pakread::ExtractEntry(data, size, entry, out, kSmallLimit);
    CheckReason(reason);
    if (reason.empty() && out.size() > kSmallLimit) __builtin_trap();
  }
  if (!entries.empty()) CheckReason(pakread::ExtractByName(data, size, entries.back().name, out));
  CheckReason(pakread::ExtractByName(data, size, "no such\nentry", out));
  return 0;
}
