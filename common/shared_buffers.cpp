#include "common/shared_buffers.h"

#include <cstring>

char CrashSummary[kCrashSummarySize];
char ReportUrl[kReportUrlSize];
char StackTrace[kStackTraceSize];

bool IsUsableReportUrl(const char* url) {
  static const char kScheme[] = "http://";
  if (url == nullptr || std::strlen(url) < 8) return false;
  for (int i = 0; i < 7; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}
