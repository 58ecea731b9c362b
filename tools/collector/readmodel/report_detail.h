#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/payload_decode.h"
#include "readmodel/read_model.h"
#include "store/report_store.h"

namespace collector {

// What the page, the API and show say of a report's crash.dmp.
struct MinidumpSummary {
  bool present = false;   // the upload holds one
  bool decoded = false;   // within the decoding limit
  bool readable = false;  // and it parsed as a minidump
  uint64_t bytes = 0;
  uint64_t threads = 0;
  uint64_t modules = 0;
  std::string error;  // why not decoded or not readable
};

// One report as its page, the API and show present it: the stored row, its crash entry, and
// the log and stack decoded from the upload, never more than the decoding limit of them.
struct ReportDetail {
  bool hasRow = false;  // false once retention removed the report's bytes
  StoredReport row;     // the stored fields and payload; log and stack as decoded below
  bool hasCrash = false;
  CrashEntry crash;
  bool hasLog = false;
  std::string log;  // GBK, as decoded
  bool hasStack = false;
  // "#N function file:line" and the like; from a minidump, every thread's (the crashing one
  // first) under a "thread 0xID" line, each frame with its walk method: "#N ... [cfi]".
  std::vector<std::string> stackLines;
  uint64_t stackFrames = 0;  // the lines that are frames
  MinidumpSummary minidump;
};

// found is false when neither the report nor its entry exists.
bool LoadReport(ReportStore& store, int64_t id, uint64_t maxDecodedBytes, ReportDetail& out,
                bool& found, std::string& error);

// The crash.dmp of a stored upload. found is false when the report or its upload is gone.
bool LoadMinidump(ReportStore& store, int64_t id, uint64_t maxDecodedBytes, ArchiveEntry& out,
                  bool& found, std::string& error);

}  // namespace collector
