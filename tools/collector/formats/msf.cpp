#include "msf.h"

#include <algorithm>

namespace collector {
namespace {

constexpr char kMsfMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0\0";
constexpr size_t kMsfMagicSize = 32;
constexpr size_t kSuperBlockSize = kMsfMagicSize + 6 * 4;
constexpr uint32_t kNilStream = 0xFFFFFFFFu;

uint32_t U32(const std::string& bytes, uint64_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<uint64_t>(i)]);
  }
  return value;
}

uint32_t BlocksFor(uint64_t size, uint32_t blockSize) {
  return static_cast<uint32_t>((size + blockSize - 1) / blockSize);
}

}  // namespace

bool LooksLikeMsf(const std::string& bytes) {
  return bytes.size() >= kMsfMagicSize &&
         bytes.compare(0, kMsfMagicSize, kMsfMagic, kMsfMagicSize) == 0;
}

std::string MsfFile::Open() {
  if (!LooksLikeMsf(bytes_) || bytes_.size() < kSuperBlockSize) {
    return "not a PDB (no MSF 7.00 superblock)";
  }
  blockSize_ = U32(bytes_, kMsfMagicSize);
  uint32_t blockCount = U32(bytes_, kMsfMagicSize + 8);
  uint32_t directoryBytes = U32(bytes_, kMsfMagicSize + 12);
  uint32_t blockMap = U32(bytes_, kMsfMagicSize + 20);
  if (blockSize_ != 512 && blockSize_ != 1024 && blockSize_ != 2048 && blockSize_ != 4096) {
    return "unknown MSF block size " + std::to_string(blockSize_);
  }
  blockCount_ =
      static_cast<uint32_t>(std::min<uint64_t>(blockCount, bytes_.size() / blockSize_));
  if (directoryBytes < 4 || directoryBytes > bytes_.size()) {
    return "bad MSF stream directory size";
  }
  // The block map: one block of block numbers, those of the directory.
  uint32_t directoryBlocks = BlocksFor(directoryBytes, blockSize_);
  if (blockMap >= blockCount_ || uint64_t{directoryBlocks} * 4 > blockSize_) {
    return "bad MSF block map";
  }
  std::vector<uint32_t> blocks;
  for (uint32_t i = 0; i < directoryBlocks; ++i) {
    blocks.push_back(U32(bytes_, uint64_t{blockMap} * blockSize_ + uint64_t{i} * 4));
  }
  if (!Gather(blocks, directoryBytes, directory_)) {
    return "the MSF stream directory points outside the file";
  }
  streamCount_ = U32(directory_, 0);
  if (uint64_t{streamCount_} * 4 + 4 > directory_.size()) {
    return "truncated MSF stream directory";
  }
  return std::string();
}

bool MsfFile::Read(uint32_t stream, std::string& out, uint32_t want) const {
  if (stream >= streamCount_) {
    return false;
  }
  // The block lists of the streams before it come first, after the sizes.
  uint64_t at = 4 + uint64_t{streamCount_} * 4;
  for (uint32_t s = 0; s < stream; ++s) {
    uint32_t size = U32(directory_, 4 + uint64_t{s} * 4);
    if (size != kNilStream) {
      at += uint64_t{BlocksFor(size, blockSize_)} * 4;
    }
  }
  uint32_t size = U32(directory_, 4 + uint64_t{stream} * 4);
  if (size == kNilStream) {
    return false;
  }
  uint32_t length = std::min(size, want);
  uint32_t count = BlocksFor(length, blockSize_);
  // A stream is never larger than the file that holds it.
  if (length > bytes_.size() || at + uint64_t{count} * 4 > directory_.size()) {
    return false;
  }
  std::vector<uint32_t> blocks;
  for (uint32_t i = 0; i < count; ++i) {
    blocks.push_back(U32(directory_, at + uint64_t{i} * 4));
  }
  return Gather(blocks, length, out);
}

bool MsfFile::Gather(const std::vector<uint32_t>& blocks, uint64_t length,
                     std::string& out) const {
  out.clear();
  for (uint32_t block : blocks) {
    if (out.size() >= length) {
      break;
    }
    if (block >= blockCount_) {
      return false;
    }
    uint64_t take = std::min<uint64_t>(blockSize_, length - out.size());
    out.append(bytes_, uint64_t{block} * blockSize_, take);
  }
  return out.size() == length;
}

}  // namespace collector
