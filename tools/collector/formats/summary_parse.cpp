#include "formats/summary_parse.h"

#include <cstddef>

namespace collector {
namespace {

// The summary's labels in GBK, each ending in the full-width colon A3 BA.
// "异常时间：" (exception time)
constexpr char kTimeLabel[] = "\xD2\xEC\xB3\xA3\xCA\xB1\xBC\xE4\xA3\xBA";
// "程序名称：" (program name)
constexpr char kProgramLabel[] = "\xB3\xCC\xD0\xF2\xC3\xFB\xB3\xC6\xA3\xBA";
// "异常编号：" (exception code)
constexpr char kCodeLabel[] = "\xD2\xEC\xB3\xA3\xB1\xE0\xBA\xC5\xA3\xBA";
// "异常地址：" (exception address)
constexpr char kAddressLabel[] = "\xD2\xEC\xB3\xA3\xB5\xD8\xD6\xB7\xA3\xBA";
// "异常分类：" (exception category)
constexpr char kFlagsLabel[] = "\xD2\xEC\xB3\xA3\xB7\xD6\xC0\xE0\xA3\xBA";
// "未知的错误信息！" (unknown error information!)
constexpr char kUnknownLine[] = "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xA1";

bool StartsWith(const std::string& text, size_t pos, const char* prefix, size_t prefixLength) {
  return text.size() - pos >= prefixLength && text.compare(pos, prefixLength, prefix) == 0;
}

// The start of the last line that begins with the label, or npos.
size_t FindLastLineWith(const std::string& log, const char* label, size_t labelLength) {
  size_t pos = log.size();
  while (pos != std::string::npos && pos > 0) {
    size_t found = log.rfind(label, pos - 1, labelLength);
    if (found == std::string::npos) {
      return std::string::npos;
    }
    if (found == 0 || log[found - 1] == '\n' || log[found - 1] == '\r') {
      return found;
    }
    pos = found;
  }
  return std::string::npos;
}

bool TakeValue(const std::string& line, const char* label, size_t labelLength, std::string& out) {
  if (!StartsWith(line, 0, label, labelLength)) {
    return false;
  }
  out = line.substr(labelLength);
  return true;
}

}  // namespace

CrashFacts ParseCrashFacts(const std::string& log) {
  CrashFacts facts;
  size_t pos = FindLastLineWith(log, kTimeLabel, sizeof(kTimeLabel) - 1);
  if (pos == std::string::npos) {
    pos = 0;
  }
  while (pos < log.size()) {
    size_t end = log.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      end = log.size();
    }
    std::string line = log.substr(pos, end - pos);
    bool matched = TakeValue(line, kTimeLabel, sizeof(kTimeLabel) - 1, facts.time) ||
                   TakeValue(line, kProgramLabel, sizeof(kProgramLabel) - 1, facts.program) ||
                   TakeValue(line, kCodeLabel, sizeof(kCodeLabel) - 1, facts.code) ||
                   TakeValue(line, kAddressLabel, sizeof(kAddressLabel) - 1, facts.address) ||
                   TakeValue(line, kFlagsLabel, sizeof(kFlagsLabel) - 1, facts.flags);
    if (!matched && line == kUnknownLine) {
      facts.unknownError = true;
      matched = true;
    }
    facts.found = facts.found || matched;
    pos = end;
    while (pos < log.size() && (log[pos] == '\r' || log[pos] == '\n')) {
      ++pos;
    }
  }
  return facts;
}

}  // namespace collector
