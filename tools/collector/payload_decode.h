#pragma once

#include <string>

namespace collector {

// How an uploaded file part was turned into log text.
enum class DecodeState {
  kArchive,      // a PAKF image whose "log.txt" entry decoded
  kUnpacked,     // not an archive but plain text: the sender uploads the log itself when it
                 // could not build an archive
  kUndecodable,  // neither: only the raw bytes are kept
};

struct DecodedPayload {
  DecodeState state = DecodeState::kUndecodable;
  std::string log;        // the decoded log bytes (GBK), empty when undecodable
  std::string note;       // how it was decoded, or why it could not be
  bool hasStack = false;  // the archive also held a "stack.txt" entry that decoded
  std::string stack;      // its bytes
};

const char* DecodeStateName(DecodeState state);

DecodedPayload DecodePayload(const std::string& payload);

}  // namespace collector
