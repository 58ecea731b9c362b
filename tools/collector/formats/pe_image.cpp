#include "pe_image.h"

#include <cstdio>
#include <vector>

namespace collector {
namespace {

constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDebugEntrySize = 28;
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr uint32_t kSymbolSize = 18;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionExecute = 0x20000000;

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool Has(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  uint32_t U8(uint64_t offset) const { return static_cast<unsigned char>(bytes_[offset]); }
  uint32_t U16(uint64_t offset) const { return U8(offset) | (U8(offset + 1) << 8); }
  uint32_t U32(uint64_t offset) const { return U16(offset) | (U16(offset + 2) << 16); }
  uint64_t U64(uint64_t offset) const {
    return U32(offset) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  const std::string& bytes_;
};

struct Section {
  std::string name;
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
};

// Long section names (".debug_info") are "/N": an offset into the COFF string table, which
// follows the symbol table.
std::string SectionName(const Reader& in, uint64_t header, uint64_t stringTable) {
  std::string name;
  for (uint64_t i = 0; i < 8 && in.U8(header + i) != 0; ++i) {
    name += static_cast<char>(in.U8(header + i));
  }
  if (name.size() < 2 || name[0] != '/' || stringTable == 0) {
    return name;
  }
  uint64_t offset = 0;
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') {
      return name;
    }
    offset = offset * 10 + static_cast<uint64_t>(name[i] - '0');
  }
  std::string full;
  for (uint64_t at = stringTable + offset; in.Has(at, 1) && in.U8(at) != 0; ++at) {
    full += static_cast<char>(in.U8(at));
  }
  return full.empty() ? name : full;
}

// The file offset of an RVA, through the section that holds it with contents.
bool FileOffsetOf(const std::vector<Section>& sections, uint32_t rva, uint64_t& out) {
  for (const Section& section : sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize &&
        section.rawOffset != 0) {
      out = static_cast<uint64_t>(section.rawOffset) + (rva - section.virtualAddress);
      return true;
    }
  }
  return false;
}

// GUID fields as a symbol server spells them: Data1-3 as little-endian numbers, Data4 in order,
// then the age without leading zeros.
std::string DebugIdOf(const Reader& in, uint64_t guid, uint32_t age) {
  char text[64];
  std::snprintf(text, sizeof(text), "%08X%04X%04X", in.U32(guid), in.U16(guid + 4),
                in.U16(guid + 6));
  std::string id = text;
  for (uint64_t i = 8; i < 16; ++i) {
    std::snprintf(text, sizeof(text), "%02X", in.U8(guid + i));
    id += text;
  }
  std::snprintf(text, sizeof(text), "%X", age);
  return id + text;
}

void ReadCodeView(const Reader& in, uint64_t at, uint32_t size, PeIdentity& out) {
  if (size < 24 || !in.Has(at, size) || in.bytes().compare(at, 4, "RSDS") != 0) {
    return;
  }
  out.debugId = DebugIdOf(in, at + 4, in.U32(at + 20));
  out.debugFile.clear();
  for (uint64_t i = at + 24; i < at + size && in.U8(i) != 0; ++i) {
    out.debugFile += static_cast<char>(in.U8(i));
  }
}

}  // namespace

std::string CodeIdOf(uint32_t timestamp, uint32_t sizeOfImage) {
  char text[32];
  std::snprintf(text, sizeof(text), "%08X%X", timestamp, sizeOfImage);
  return text;
}

std::string ReadPeIdentity(const std::string& bytes, PeIdentity& out) {
  out = PeIdentity();
  Reader in(bytes);
  if (!in.Has(0, 64) || bytes.compare(0, 2, "MZ") != 0) {
    return "not a PE file (no MZ header)";
  }
  uint64_t pe = in.U32(0x3C);
  if (!in.Has(pe, 4 + kCoffHeaderSize) || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    return "not a PE file (no PE signature)";
  }
  uint64_t coff = pe + 4;
  uint32_t sectionCount = in.U16(coff + 2);
  out.timestamp = in.U32(coff + 4);
  uint32_t symbolTable = in.U32(coff + 8);
  uint32_t symbolCount = in.U32(coff + 12);
  uint32_t optionalSize = in.U16(coff + 16);
  out.isDll = (in.U16(coff + 18) & kFileDll) != 0;
  uint64_t optional = coff + kCoffHeaderSize;
  if (!in.Has(optional, optionalSize) || optionalSize < 2) {
    return "truncated optional header";
  }
  uint32_t magic = in.U16(optional);
  uint64_t directories = 0;
  uint32_t directoryCount = 0;
  if (magic == 0x10B && optionalSize >= 96) {
    out.imageBase = in.U32(optional + 28);
    out.sizeOfImage = in.U32(optional + 56);
    directoryCount = in.U32(optional + 92);
    directories = optional + 96;
  } else if (magic == 0x20B && optionalSize >= 112) {
    out.imageBase = in.U64(optional + 24);
    out.sizeOfImage = in.U32(optional + 56);
    directoryCount = in.U32(optional + 108);
    directories = optional + 112;
  } else {
    return "unknown optional header";
  }

  uint64_t stringTable = 0;
  if (symbolTable != 0) {
    stringTable = static_cast<uint64_t>(symbolTable) + uint64_t{symbolCount} * kSymbolSize;
    if (!in.Has(stringTable, 4)) {
      stringTable = 0;
    }
  }
  std::vector<Section> sections;
  uint64_t sectionHeaders = optional + optionalSize;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    uint64_t header = sectionHeaders + uint64_t{i} * kSectionHeaderSize;
    if (!in.Has(header, kSectionHeaderSize)) {
      return "truncated section table";
    }
    Section section;
    section.name = SectionName(in, header, stringTable);
    section.virtualSize = in.U32(header + 8);
    section.virtualAddress = in.U32(header + 12);
    section.rawSize = in.U32(header + 16);
    section.rawOffset = in.U32(header + 20);
    uint32_t characteristics = in.U32(header + 36);
    if ((characteristics & (kSectionCode | kSectionExecute)) != 0 && section.rawSize != 0 &&
        section.rawOffset != 0 && in.Has(section.rawOffset, section.rawSize)) {
      out.loadable = true;
    }
    if (section.name == ".debug_info" && section.rawSize != 0 &&
        in.Has(section.rawOffset, section.rawSize)) {
      out.hasDwarf = true;
    }
    sections.push_back(section);
  }

  if (directoryCount > kDebugDirectoryIndex &&
      directories + (kDebugDirectoryIndex + 1) * 8 <= sectionHeaders) {
    uint32_t rva = in.U32(directories + kDebugDirectoryIndex * 8);
    uint32_t size = in.U32(directories + kDebugDirectoryIndex * 8 + 4);
    uint64_t at = 0;
    if (rva != 0 && FileOffsetOf(sections, rva, at)) {
      for (uint32_t done = 0; done + kDebugEntrySize <= size && in.Has(at + done, kDebugEntrySize);
           done += kDebugEntrySize) {
        uint64_t entry = at + done;
        if (in.U32(entry + 12) != kDebugTypeCodeView) {
          continue;
        }
        uint32_t dataSize = in.U32(entry + 16);
        uint64_t data = 0;
        // The debug file made by objcopy keeps the record's section but may move it, so the
        // RVA is the reliable way there; the file pointer is the fallback.
        if (!FileOffsetOf(sections, in.U32(entry + 20), data)) {
          data = in.U32(entry + 24);
        }
        ReadCodeView(in, data, dataSize, out);
        break;
      }
    }
  }
  return std::string();
}

}  // namespace collector
