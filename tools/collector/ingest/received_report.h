#pragma once

#include <cstdint>
#include <string>

#include "ingest/multipart.h"
#include "readmodel/read_model.h"
#include "store/report_store.h"

namespace collector {

// The report to store for an upload that arrived whole: its parts (moved out of upload), the
// time now, where it came from, how its file part decodes (no entry past maxDecodedBytes) and
// its crash entry (in crash). Only the upload itself is kept: the log and stack are decoded again
// from it when a report page asks, so a report costs its upload once, not twice.
StoredReport ReceivedReport(ReportStore& store, MultipartUpload& upload, const std::string& peer,
                            const std::string& target, uint64_t maxDecodedBytes, int answerStatus,
                            CrashEntry& crash);

}  // namespace collector
