#include "pdb_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "msf.h"

namespace collector {
namespace {

constexpr uint32_t kInfoStream = 1;
constexpr uint32_t kInfoHeaderSize = 28;  // version, signature, age, GUID

uint32_t U32(const std::string& bytes, uint64_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<uint64_t>(i)]);
  }
  return value;
}

}  // namespace

bool LooksLikePdb(const std::string& bytes) { return LooksLikeMsf(bytes); }

std::string ReadPdbIdentity(const std::string& bytes, PdbIdentity& out) {
  out = PdbIdentity();
  MsfFile msf(bytes);
  std::string error = msf.Open();
  if (!error.empty()) {
    return error;
  }
  std::string info;
  if (!msf.Read(kInfoStream, info, kInfoHeaderSize) || info.size() < kInfoHeaderSize) {
    return "the PDB has no info stream";
  }
  out.version = U32(info, 0);
  out.signature = U32(info, 4);
  out.age = U32(info, 8);
  // The GUID as symbol servers spell it: Data1-3 as little-endian numbers, Data4 in order.
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", U32(info, 12));
  out.debugId = text;
  for (uint64_t at : {16u, 18u}) {
    std::snprintf(text, sizeof(text), "%04X",
                  static_cast<unsigned>(static_cast<unsigned char>(info[at]) |
                                        (static_cast<unsigned char>(info[at + 1]) << 8)));
    out.debugId += text;
  }
  for (uint64_t at = 20; at < 28; ++at) {
    std::snprintf(text, sizeof(text), "%02X", static_cast<unsigned char>(info[at]));
    out.debugId += text;
  }
  std::snprintf(text, sizeof(text), "%X", out.age);
  out.debugId += text;
  return std::string();
}

}  // namespace collector
