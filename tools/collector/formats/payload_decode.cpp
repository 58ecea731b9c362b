#include "formats/payload_decode.h"

#include <cstdint>
#include <vector>

#include "tools/pakread/pakread.h"

namespace collector {
namespace {

constexpr char kArchiveMagic[] = "PAKF";
constexpr char kLogEntryName[] = "log.txt";
constexpr char kStackEntryName[] = "stack.txt";

const char* PackTypeName(int packType) {
  switch (packType) {
    case 0:
      return "stored block";
    case 10:
      return "LZW block";
    case 11:
      return "LZO1X-1 block";
    default:
      return "block";
  }
}

DecodedPayload Undecodable(std::string note) {
  DecodedPayload result;
  result.state = DecodeState::kUndecodable;
  result.note = std::move(note);
  return result;
}

DecodedPayload TooLarge(const std::string& what, uint64_t claimed, uint64_t limit) {
  DecodedPayload result;
  result.state = DecodeState::kTooLarge;
  result.note = what + " claims " + std::to_string(claimed) + " bytes, more than the " +
                std::to_string(limit) + "-byte limit";
  return result;
}

DecodedPayload DecodeArchive(const std::string& payload, uint64_t maxDecodedBytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(payload.data());
  std::vector<pakread::EntryInfo> entries;
  std::string error = pakread::ParseArchive(data, payload.size(), entries);
  if (!error.empty()) {
    return Undecodable("bad PAKF archive: " + error);
  }
  const pakread::EntryInfo* logEntry = nullptr;
  const pakread::EntryInfo* stackEntry = nullptr;
  for (const pakread::EntryInfo& entry : entries) {
    if (entry.name == kLogEntryName && logEntry == nullptr) {
      logEntry = &entry;
    } else if (entry.name == kStackEntryName && stackEntry == nullptr) {
      stackEntry = &entry;
    }
  }
  if (logEntry == nullptr) {
    return Undecodable("PAKF archive without an entry named log.txt (" +
                       std::to_string(entries.size()) + " entries)");
  }
  const uint64_t claimed = pakread::ClaimedSize(*logEntry);
  if (claimed > maxDecodedBytes) {
    return TooLarge(kLogEntryName, claimed, maxDecodedBytes);
  }
  std::vector<uint8_t> bytes;
  error = pakread::ExtractEntry(data, payload.size(), *logEntry, bytes, maxDecodedBytes);
  if (!error.empty()) {
    return Undecodable("entry log.txt: " + error);
  }
  DecodedPayload result;
  result.state = DecodeState::kArchive;
  result.log.assign(bytes.begin(), bytes.end());
  result.note = std::string("log.txt, ") +
                (logEntry->isBlock ? PackTypeName(logEntry->block.packType) : "raw") + ", " +
                std::to_string(logEntry->size) + " -> " + std::to_string(bytes.size()) + " bytes";
  if (stackEntry != nullptr) {
    // A damaged stack costs only the stack: the log is what the report is about.
    error = pakread::ExtractEntry(data, payload.size(), *stackEntry, bytes, maxDecodedBytes);
    if (error.empty()) {
      result.hasStack = true;
      result.stack.assign(bytes.begin(), bytes.end());
      result.note += "; stack.txt, " + std::to_string(bytes.size()) + " bytes";
    } else {
      result.note += "; stack.txt not decoded: " + error;
    }
  }
  return result;
}

}  // namespace

const char* DecodeStateName(DecodeState state) {
  switch (state) {
    case DecodeState::kArchive:
      return "archive";
    case DecodeState::kUnpacked:
      return "unpacked";
    case DecodeState::kTooLarge:
      return "too-large";
    case DecodeState::kUndecodable:
      break;
  }
  return "undecodable";
}

ArchiveEntry DecodeArchiveEntry(const std::string& payload, const std::string& name,
                                uint64_t maxDecodedBytes) {
  ArchiveEntry result;
  if (payload.compare(0, sizeof(kArchiveMagic) - 1, kArchiveMagic) != 0) {
    return result;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(payload.data());
  std::vector<pakread::EntryInfo> entries;
  if (!pakread::ParseArchive(data, payload.size(), entries).empty()) {
    return result;
  }
  for (const pakread::EntryInfo& entry : entries) {
    if (entry.name != name) {
      continue;
    }
    result.present = true;
    const uint64_t claimed = pakread::ClaimedSize(entry);
    if (claimed > maxDecodedBytes) {
      result.error = name + " claims " + std::to_string(claimed) + " bytes, more than the " +
                     std::to_string(maxDecodedBytes) + "-byte limit";
      return result;
    }
    std::vector<uint8_t> bytes;
    result.error = pakread::ExtractEntry(data, payload.size(), entry, bytes, maxDecodedBytes);
    result.decoded = result.error.empty();
    if (result.decoded) {
      result.bytes.assign(bytes.begin(), bytes.end());
    }
    return result;
  }
  return result;
}

DecodedPayload DecodePayload(const std::string& payload, uint64_t maxDecodedBytes) {
  if (payload.empty()) {
    return Undecodable("empty file part");
  }
  if (payload.compare(0, sizeof(kArchiveMagic) - 1, kArchiveMagic) == 0) {
    return DecodeArchive(payload, maxDecodedBytes);
  }
  // The log text the sender falls back to ends at its first NUL, so it never holds one.
  if (payload.find('\0') == std::string::npos) {
    if (payload.size() > maxDecodedBytes) {
      return TooLarge("plain text", payload.size(), maxDecodedBytes);
    }
    DecodedPayload result;
    result.state = DecodeState::kUnpacked;
    result.log = payload;
    result.note = "not a PAKF archive: stored as plain log text";
    return result;
  }
  return Undecodable("neither a PAKF archive nor plain text");
}

}  // namespace collector
