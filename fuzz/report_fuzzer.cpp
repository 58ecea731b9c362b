// The report's pure rules on arbitrary bytes: the whole input as ver.csv text and as conf.ini's
// VERSION value, and split into a game log and a crash summary. The version text must stay the
// first 9 characters of the version, NUL-terminated; the log text must be exactly its parts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report/log_text.h"
#include "report/report_version.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The input as a NUL-terminated text of at most limit bytes, as the file reads deliver it.
std::string Text(const uint8_t* data, size_t size, size_t limit) {
  return std::string(reinterpret_cast<const char*>(data), size < limit ? size : limit);
}

void CheckVersionText(const ReportVersion& version) {
  char text[kVersionTextSize];
  std::memset(text, 0x7F, sizeof text);
  FormatVersionText(version, text);
  Check(std::memchr(text, '\0', 10) != nullptr);
  char whole[40];
  std::snprintf(whole, sizeof whole, "%d.%d.%d", version.major, version.minor, version.patch);
  Check(std::string(whole).substr(0, 9) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string csv = Text(data, size, 4095);
  const ReportVersion fromCsv = VersionFromCsvText(csv.c_str());
  if (csv.find('\n') == std::string::npos) Check(fromCsv.IsZero());
  CheckVersionText(fromCsv);

  const ReportVersion fromConf = VersionFromConfValue(Text(data, size, 255).c_str());
  Check(!fromConf.IsZero());
  CheckVersionText(fromConf);

  if (size == 0) return 0;
  // Byte 0 splits the rest into the log's bytes and the summary (taken up to its first NUL).
  const size_t logSize = (size - 1) * data[0] / 255;
  const std::string log(reinterpret_cast<const char*>(data + 1), logSize);
  const std::string summaryBytes(reinterpret_cast<const char*>(data + 1 + logSize),
                                 size - 1 - logSize);
  const std::string summary = summaryBytes.c_str();
  std::string expected;
  if (!log.empty()) {
    expected = log + "\r\n" + summary;
  } else if (!summary.empty()) {
    expected = kLogReadFailedLine + summary;
  }
  const LogText text = LogText::Assemble(log.data(), log.size(), summaryBytes.c_str());
  Check(text.size() == expected.size());
  Check(text.empty() || (std::memcmp(text.data(), expected.data(), expected.size()) == 0 &&
                         text.data()[text.size()] == '\0'));
  return 0;
}
