#include "ingest/received_report.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "formats/payload_decode.h"
#include "ingest/crash_entry.h"

namespace collector {
namespace {

std::string NowUtc() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) %
                std::chrono::seconds(1);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis.count()));
  return text;
}

}  // namespace

StoredReport ReceivedReport(ReportStore& store, MultipartUpload& upload, const std::string& peer,
                            const std::string& target, uint64_t maxDecodedBytes, int answerStatus,
                            CrashEntry& crash) {
  StoredReport report;
  report.receivedUtc = NowUtc();
  report.peer = peer;
  report.path = target;
  report.hasVer = upload.hasVer();
  report.ver = std::move(upload.ver());
  report.fileName = std::move(upload.fileName());
  report.payload = std::move(upload.file());
  report.payloadSize = report.payload.size();
  DecodedPayload decoded = DecodePayload(report.payload, maxDecodedBytes);
  report.state = DecodeStateName(decoded.state);
  report.note = decoded.note;
  report.httpStatus = answerStatus;
  bool hasLog = decoded.state == DecodeState::kArchive || decoded.state == DecodeState::kUnpacked;
  ArchiveEntry dump = DecodeArchiveEntry(report.payload, kMinidumpEntryName, maxDecodedBytes);
  crash = DescribeCrash(store, report, hasLog, decoded.log, decoded.hasStack, decoded.stack,
                        dump.decoded ? &dump.bytes : nullptr);
  return report;
}

}  // namespace collector
