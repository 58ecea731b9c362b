#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// True when the bytes start with the MSF 7.0 magic ("Microsoft C/C++ MSF 7.00").
bool LooksLikeMsf(const std::string& bytes);

// The MSF 7.0 container PDBs are kept in: the file is cut in blocks; each stream is a list of
// blocks named in the stream directory, which is itself spread over the blocks the block map
// names. Never reads outside the bytes, whatever they hold; the bytes must outlive it.
class MsfFile {
 public:
  explicit MsfFile(const std::string& bytes) : bytes_(bytes) {}

  // Reads the superblock and the stream directory: "" when they are usable, else why not.
  std::string Open();

  // The first `want` bytes of a stream (fewer when it is shorter); false when it is missing or
  // any of its blocks lies outside the file.
  bool Read(uint32_t stream, std::string& out, uint32_t want = UINT32_MAX) const;

 private:
  bool Gather(const std::vector<uint32_t>& blocks, uint64_t length, std::string& out) const;

  const std::string& bytes_;
  uint32_t blockSize_ = 0;
  uint32_t blockCount_ = 0;
  uint32_t streamCount_ = 0;
  std::string directory_;
};

}  // namespace collector
