// pakdump: lists or extracts the entries of a PAKF archive (log.pak) or a bare NZ block.
//   pakdump FILE          list the entries (name, offset, size, pack type or raw, raw size)
//   pakdump -x NAME FILE  write the decoded entry NAME to stdout (NAME is ignored for a bare block)

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/pakread/pakread.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& file, const std::string& reason) {
  std::fprintf(stderr, "pakdump: %s: %s\n", file.c_str(), reason.c_str());
  return kExitBadInput;
}

int Usage() {
  std::fprintf(stderr, "usage: pakdump FILE | pakdump -x NAME FILE\n");
  return kExitUsage;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& reason) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) reason = "read error";
  return !failed;
}

bool WriteAll(const std::vector<uint8_t>& bytes) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // no CR LF translation of binary entries
#endif
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
    return false;
  }
  return std::fflush(stdout) == 0;
}

// Names come from the file: no control bytes on the terminal.
std::string Printable(const std::string& name) {
  std::string printable = name;
  for (char& c : printable) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return printable;
}

std::string PackName(int packType) { return "type " + std::to_string(packType); }

int ListArchive(const std::string& path, const std::vector<uint8_t>& image) {
  std::vector<pakread::EntryInfo> entries;
  std::string reason = pakread::ParseArchive(image.data(), image.size(), entries);
  if (!reason.empty()) return Fail(path, reason);
  // Decode every entry first, so that a corrupt one fails the listing instead of printing half.
  std::vector<size_t> rawSizes;
  std::vector<uint8_t> decoded;
  for (const pakread::EntryInfo& entry : entries) {
    reason = pakread::ExtractEntry(image.data(), image.size(), entry, decoded);
    if (!reason.empty()) return Fail(path, reason);
    rawSizes.push_back(decoded.size());
  }
  std::printf("PAKF 3001, %zu %s, %zu bytes\n", entries.size(),
              entries.size() == 1 ? "entry" : "entries", image.size());
  std::printf("%-31s %10s %10s %-8s %10s\n", "name", "offset", "size", "pack", "raw size");
  for (size_t i = 0; i < entries.size(); ++i) {
    const pakread::EntryInfo& entry = entries[i];
    const std::string pack = entry.isBlock ? PackName(entry.block.packType) : "raw";
    std::printf("%-31s %10u %10u %-8s %10zu\n", Printable(entry.name).c_str(), entry.offset,
                entry.size, pack.c_str(), rawSizes[i]);
  }
  return kExitOk;
}

int ListBlock(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> decoded;
  pakread::BlockInfo info;
  const std::string reason = pakread::DecodeBlock(bytes.data(), bytes.size(), decoded, &info);
  if (!reason.empty()) return Fail(path, reason);
  std::printf("NZ block, %s, raw size %u, stored size %u\n", PackName(info.packType).c_str(),
              info.rawSize, info.storedSize);
  return kExitOk;
}

int Extract(const std::string& path, const std::string& name, const std::vector<uint8_t>& bytes,
            bool isArchive) {
  std::vector<uint8_t> decoded;
  const std::string reason = isArchive
                                 ? pakread::ExtractByName(bytes.data(), bytes.size(), name, decoded)
                                 : pakread::DecodeBlock(bytes.data(), bytes.size(), decoded);
  if (!reason.empty()) return Fail(path, reason);
  if (!WriteAll(decoded)) return Fail(path, "cannot write to standard output");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  std::string path;
  bool extract = false;
  if (argc == 2 && argv[1][0] != '-') {
    path = argv[1];
  } else if (argc == 4 && std::strcmp(argv[1], "-x") == 0) {
    extract = true;
    name = argv[2];
    path = argv[3];
  } else {
    return Usage();
  }

  std::vector<uint8_t> bytes;
  std::string reason;
  if (!ReadFile(path, bytes, reason)) return Fail(path, reason);
  const bool isArchive = bytes.size() >= 4 && std::memcmp(bytes.data(), "PAKF", 4) == 0;
  const bool isBlock = bytes.size() >= 2 && bytes[0] == 'N' && bytes[1] == 'Z';
  if (!isArchive && !isBlock) {
    return Fail(path, bytes.size() < 4 ? "too short for a PAKF archive or an NZ block"
                                       : "neither a PAKF archive nor an NZ block");
  }
  if (extract) return Extract(path, name, bytes, isArchive);
  return isArchive ? ListArchive(path, bytes) : ListBlock(path, bytes);
}
