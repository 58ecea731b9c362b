#pragma once

#include <cstdint>
#include <string>

namespace collector {

// The most bytes an upload's log, and likewise its stack, may decode to: a few MB of archive can
// claim hundreds, and every report keeps its log.
constexpr uint64_t kDefaultMaxDecodedBytes = 32u << 20;

// How an uploaded file part was turned into log text.
enum class DecodeState {
  kArchive,      // a PAKF image whose "log.txt" entry decoded
  kUnpacked,     // not an archive but plain text: the sender uploads the log itself when it
                 // could not build an archive
  kUndecodable,  // neither: only the raw bytes are kept
  kTooLarge,     // the log claims more than the limit: not decoded, only the raw bytes are kept
};

struct DecodedPayload {
  DecodeState state = DecodeState::kUndecodable;
  std::string log;        // the decoded log bytes (GBK), empty when undecodable
  std::string note;       // how it was decoded, or why it could not be
  bool hasStack = false;  // the archive also held a "stack.txt" entry that decoded
  std::string stack;      // its bytes
};

const char* DecodeStateName(DecodeState state);

// The minidump a report may carry beside its log and stack.
constexpr char kMinidumpEntryName[] = "crash.dmp";

// One named entry of an uploaded archive.
struct ArchiveEntry {
  bool present = false;  // the upload is a PAKF archive holding an entry of that name
  bool decoded = false;  // and it decoded within the limit
  std::string bytes;
  std::string error;  // why it did not, when present
};

// The first entry of that name, decoded only when it claims no more than maxDecodedBytes.
ArchiveEntry DecodeArchiveEntry(const std::string& payload, const std::string& name,
                                uint64_t maxDecodedBytes);

// Decodes no entry that claims more than maxDecodedBytes: a log over it gives kTooLarge, a stack
// over it is left out.
DecodedPayload DecodePayload(const std::string& payload,
                             uint64_t maxDecodedBytes = kDefaultMaxDecodedBytes);

}  // namespace collector
