// Splits the input into entries (a length byte, a name byte count, the name, the data) and checks
// that the built image lists and extracts back exactly, twice in a row.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/pak_archive.h"
#include "tools/pakread/pakread.h"

namespace {

struct Entry {
  std::string name;
  std::vector<uint8_t> data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Entry> expected;
  PakArchive archive;
  size_t at = 0;
  while (at + 2 <= size) {
    const size_t lengthByte = data[at];
    const size_t nameLength = data[at + 1] % 40;
    at += 2;
    const size_t nameTaken = nameLength <= size - at ? nameLength : size - at;
    std::string name(reinterpret_cast<const char*>(data + at), nameTaken);
    at += nameTaken;
    std::vector<uint8_t> bytes;
    if (lengthByte == 255) {
      // Now and then a long entry: up to 8 input bytes repeated, so that it compresses.
      const size_t pattern = size - at < 8 ? size - at : 8;
      for (size_t i = 0; pattern > 0 && i < 4000; ++i) bytes.push_back(data[at + i % pattern]);
      at += pattern;
    } else {
      const size_t taken = lengthByte <= size - at ? lengthByte : size - at;
      bytes.assign(data + at, data + at + taken);
      at += taken;
    }
    const int result = archive.AddEntry(name.c_str(), bytes.empty() ? nullptr : bytes.data(),
                                        static_cast<uint32_t>(bytes.size()));
    const std::string stored = name.substr(0, name.find('\0'));
    if (stored.empty()) {
      if (result != kAddEntryNoName) __builtin_trap();
      continue;
    }
    if (result != kAddEntryOk) __builtin_trap();
    expected.push_back({stored.substr(0, kPakNameMax), bytes});
  }

  uint32_t imageSize = 0;
  const unsigned char* image = archive.Build(&imageSize);
  if (expected.empty()) {
    if (image != nullptr || imageSize != 0) __builtin_trap();
    return 0;
  }
  const std::vector<uint8_t> first(image, image + imageSize);
  image = archive.Build(&imageSize);
  if (std::vector<uint8_t>(image, image + imageSize) != first) __builtin_trap();

  std::vector<pakread::EntryInfo> entries;
  if (!pakread::ParseArchive(image, imageSize, entries).empty()) __builtin_trap();
  if (entries.size() != expected.size()) __builtin_trap();
  std::vector<uint8_t> decoded;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].name != expected[i].name) __builtin_trap();
    // Raw bytes that happen to form an NZ block are the format's one ambiguity: the record does
    // not say whether its data is packed.
    if (pakread::LooksLikeBlock(expected[i].data.data(), expected[i].data.size())) continue;
    if (!pakread::ExtractEntry(image, imageSize, entries[i], decoded).empty()) __builtin_trap();
    if (decoded != expected[i].data) __builtin_trap();
    if (entries[i].isBlock != (entries[i].size < expected[i].data.size())) __builtin_trap();
  }
  return 0;
}
