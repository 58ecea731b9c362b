#pragma once

#include <cstdint>
#include <string>

namespace collector {

// What identifies a PDB, read from its PDB info stream (stream 1 of the MSF 7.0 container).
struct PdbIdentity {
  uint32_t version = 0;    // e.g. 20000404 (VC70)
  uint32_t signature = 0;  // the link time stamp older toolchains matched on
  uint32_t age = 0;
  std::string debugId;  // GUID + age as a CodeView (RSDS) record and stack.txt spell them
};

// True when the bytes start with the MSF 7.0 magic ("Microsoft C/C++ MSF 7.00").
bool LooksLikePdb(const std::string& bytes);

// Reads the superblock, the stream directory and the PDB info stream. Returns "" on success,
// else why the bytes are not a usable PDB. Never reads out of bounds, whatever the bytes.
std::string ReadPdbIdentity(const std::string& bytes, PdbIdentity& out);

}  // namespace collector
