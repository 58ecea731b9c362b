#include "report/report_version.h"

#include <cstdio>
#include <cstring>

#include "common/text_helpers.h"
#include "report/shared_file.h"

namespace {

constexpr ReportVersion kDefaultVersion = {1, 0, 0};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

ReportVersion ReadCsvVersion(const char* path) {
  FILE* file = OpenSharedFile(path);
  if (file == nullptr) return {};
  char text[4096];
  const long length = SharedFileLength(file);
  const size_t wanted = length > 4095 ? 4095 : static_cast<size_t>(length > 0 ? length : 0);
  const bool ok = length > 0 && std::fread(text, 1, wanted, file) == wanted;
  std::fclose(file);
  if (!ok) return {};
  text[wanted] = '\0';
  return VersionFromCsvText(text);
}

}  // namespace

void FormatVersionText(const ReportVersion& version, char (&text)[kVersionTextSize]) {
  std::snprintf(text, 10, "%d.%d.%d", version.major, version.minor, version.patch);
  text[9] = '\0';
}

// Each component is read from the first digit after the end of the previous number, so that a
// multi-digit number is never read again from its own tail.
ReportVersion VersionFromCsvText(const char* text) {
  ReportVersion version;
  const char* p = std::strchr(text, '\n');
  if (p == nullptr) return version;
  int* components[3] = {&version.major, &version.minor, &version.patch};
  for (int* component : components) {
    while (*p != '\0' && !IsDigit(*p)) ++p;
    if (*p == '\0') break;
    const char* end = p;
    *component = ParseLenientInt(p, 0, &end);
    p = end;
  }
  return version;
}

ReportVersion VersionFromConfValue(const char* value) {
  ReportVersion version;
  const char* p = value;
  int* components[3] = {&version.major, &version.minor, &version.patch};
  for (int* component : components) {
    if (p == nullptr || *p == '\0') break;
    *component = ParseLenientInt(p, 0);
    p = std::strchr(p, '.');
    if (p != nullptr) ++p;
  }
  return version.IsZero() ? kDefaultVersion : version;
}

ReportVersion ReadReportVersion(const char* csvPath, ConfVersionReader readConf) {
  const ReportVersion fromCsv = ReadCsvVersion(csvPath);
  if (!fromCsv.IsZero()) return fromCsv;
  char value[256] = {};
  if (readConf == nullptr || readConf(value, 255) == 0) return kDefaultVersion;
  value[255] = '\0';
  return VersionFromConfValue(value);
}
