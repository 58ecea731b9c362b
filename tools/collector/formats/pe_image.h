#pragma once

#include <cstdint>
#include <string>

namespace collector {

// What identifies a PE image and whether it carries DWARF, read from its headers.
struct PeIdentity {
  uint32_t timestamp = 0;    // COFF TimeDateStamp
  uint32_t sizeOfImage = 0;  // optional header SizeOfImage
  uint64_t imageBase = 0;    // preferred load address
  bool isDll = false;
  std::string debugId;    // CodeView GUID + age as stack.txt writes it, "" without RSDS record
  std::string debugFile;  // the file name the CodeView record holds, may be ""
  bool hasDwarf = false;  // a .debug_info section with contents
  // Its code is there: a section that holds code has its bytes in the file. An image as it
  // ships, stripped or not; false for the debug file objcopy --only-keep-debug makes.
  bool loadable = false;
};

// The code id symbol servers file an image under: TimeDateStamp as 8 upper-case hex digits,
// then SizeOfImage in hex without leading zeros (e.g. "6B1906EC10000").
std::string CodeIdOf(uint32_t timestamp, uint32_t sizeOfImage);

// Reads the headers of a PE (or of a debug file objcopy --only-keep-debug made from one).
// Returns "" on success, else why the bytes are not a usable PE. Never reads out of bounds.
std::string ReadPeIdentity(const std::string& bytes, PeIdentity& out);

}  // namespace collector
