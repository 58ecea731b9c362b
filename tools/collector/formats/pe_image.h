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
};

// Reads the headers of a PE (or of a debug file objcopy --only-keep-debug made from one).
// Returns "" on success, else why the bytes are not a usable PE. Never reads out of bounds.
std::string ReadPeIdentity(const std::string& bytes, PeIdentity& out);

}  // namespace collector
