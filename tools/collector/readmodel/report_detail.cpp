#include "readmodel/report_detail.h"

#include <cstdio>

#include "formats/minidump.h"
#include "formats/payload_decode.h"
#include "formats/stack_text.h"
#include "readmodel/dump_walk.h"
#include "readmodel/stack_symbolize.h"

namespace collector {
namespace {

MinidumpSummary Summarize(const ArchiveEntry& entry) {
  MinidumpSummary out;
  out.present = entry.present;
  out.decoded = entry.decoded;
  out.bytes = entry.bytes.size();
  out.error = entry.error;
  Minidump dump;
  if (entry.decoded && ParseMinidump(reinterpret_cast<const uint8_t*>(entry.bytes.data()),
                                     entry.bytes.size(), &dump, &out.error)) {
    out.readable = true;
    out.threads = dump.threads.size();
    out.modules = dump.modules.size();
  }
  return out;
}

}  // namespace

bool LoadReport(ReportStore& store, int64_t id, uint64_t maxDecodedBytes, ReportDetail& out,
                bool& found, std::string& error) {
  out = ReportDetail();
  if (!store.Get(id, out.row, out.hasRow, error) ||
      !FindCrash(store, id, out.crash, out.hasCrash, error)) {
    return false;
  }
  found = out.hasRow || out.hasCrash;
  if (!out.hasRow) {
    return true;
  }
  StoredReport& row = out.row;
  out.hasLog = row.hasLog;
  out.hasStack = row.hasStack;
  if (row.hasLog) {
    // Kept decoded by an older collector.
    out.log = std::move(row.log);
  } else if (row.state == "archive" || row.state == "unpacked") {
    DecodedPayload decoded = DecodePayload(row.payload, maxDecodedBytes);
    out.hasLog = decoded.state == DecodeState::kArchive || decoded.state == DecodeState::kUnpacked;
    out.log = std::move(decoded.log);
    if (!row.hasStack) {
      out.hasStack = decoded.hasStack;
      row.stack = std::move(decoded.stack);
    }
  }
  ArchiveEntry dump = DecodeArchiveEntry(row.payload, kMinidumpEntryName, maxDecodedBytes);
  std::vector<DumpThreadStack> threads;
  if (dump.decoded && WalkDumpStacks(store, dump.bytes, threads) && !threads.empty()) {
    // The stacks the server walked, as ingest keyed the report by them.
    out.hasStack = true;
    std::vector<StackTrace> traces;
    for (const DumpThreadStack& thread : threads) {
      traces.push_back(thread.trace);
    }
    std::vector<std::vector<ResolvedFrame>> resolved =
        ResolveStacks(store, traces, kMaxStackFrames);
    for (size_t t = 0; t < threads.size(); ++t) {
      char heading[48];
      std::snprintf(heading, sizeof(heading), "thread 0x%x%s", threads[t].threadId,
                    threads[t].crashed ? " (crashed)" : "");
      out.stackLines.push_back(heading);
      for (const ResolvedFrame& frame : resolved[t]) {
        out.stackLines.push_back(FrameLine(frame) + " [" + frame.frame.method + "]");
        ++out.stackFrames;
      }
    }
  } else if (out.hasStack) {
    StackTrace trace = ParseStackText(row.stack);
    if (!trace.frames.empty()) {
      std::vector<std::vector<ResolvedFrame>> resolved =
          ResolveStacks(store, {trace}, kMaxStackFrames);
      for (const ResolvedFrame& frame : resolved.front()) {
        out.stackLines.push_back(FrameLine(frame));
      }
      out.stackFrames = out.stackLines.size();
    }
  }
  out.minidump = Summarize(dump);
  row.log.clear();
  row.hasLog = out.hasLog;
  return true;
}

bool LoadMinidump(ReportStore& store, int64_t id, uint64_t maxDecodedBytes, ArchiveEntry& out,
                  bool& found, std::string& error) {
  out = ArchiveEntry();
  StoredReport row;
  if (!store.Get(id, row, found, error)) {
    return false;
  }
  if (found) {
    out = DecodeArchiveEntry(row.payload, kMinidumpEntryName, maxDecodedBytes);
  }
  return true;
}

}  // namespace collector
