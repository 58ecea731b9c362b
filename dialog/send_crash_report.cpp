#include "dialog/send_crash_report.h"

#include "common/shared_buffers.h"

void SendCrashReport(HWND) {
  if (!IsUsableReportUrl(ReportUrl)) return;
}
