#pragma once

#include "http/net.h"
#include "report/crash_record.h"
#include "report/report_version.h"

// What the player is told as the report goes out. A call that passes the URL guard sees
// OnExtracting first and OnFinished last, and between them at most one of the failures or
// OnAnswered.
class ReportObserver {
 public:
  virtual ~ReportObserver() = default;
  // The version and the log are being read.
  virtual void OnExtracting() {}
  // There is a log text to send; the network is started next.
  virtual void OnSubmitting() {}
  // NetTransport::Start's reason; nothing was sent.
  virtual void OnNetworkStartFailed(int /*code*/) {}
  virtual void OnOpenUrlFailed(int /*code*/) {}
  virtual void OnAddFileFailed(int /*code*/) {}
  // The answer's status: 0 when none came (refused, dropped, silent, or out of memory).
  virtual void OnAnswered(int /*statusCode*/) {}
  virtual void OnFinished() {}
};

// Any 2xx answer counts as delivered.
inline bool IsDeliveredStatus(int statusCode) { return statusCode / 100 == 2; }

// Where the report's inputs come from.
struct ReportInputs {
  // Prefix of the paths of ver.csv and log.txt; empty: the current directory.
  const char* folder = "";
  ConfVersionReader readConfVersion = nullptr;
};

// The Send action without its window: the version, the log text with the crash's summary
// appended, log.pak (log.txt, then the crash's stack.txt and crash.dmp where it has them), and one
// multipart POST of both to the crash's URL. An unusable URL does nothing at all.
void SubmitReport(const CrashRecord& crash, const ReportInputs& inputs, NetTransport& transport,
                  ReportObserver& observer);
