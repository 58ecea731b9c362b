#include "report/log_text.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "report/shared_file.h"

const char kLogReadFailedLine[] = "log.txt读取失败\r\n";

namespace {

// Room past the log for CR LF, the fallback line and the NUL.
constexpr size_t kSlack = 256;

}  // namespace

LogText LogText::Assemble(const char* log, size_t logSize, const char* summary) {
  const size_t summaryLength = std::strlen(summary);
  LogText text;
  if (log != nullptr && logSize > 0 && text.Allocate(logSize + summaryLength + kSlack)) {
    std::memcpy(text.bytes_.get(), log, logSize);
    text.AppendSummary(logSize, summary, summaryLength);
  } else {
    text.UseFallback(summary, summaryLength);
  }
  return text;
}

LogText LogText::Read(const char* path, const char* summary) {
  const size_t summaryLength = std::strlen(summary);
  LogText text;
  if (FILE* file = OpenSharedFile(path)) {
    const long length = SharedFileLength(file);
    if (length > 0) {
      const size_t logSize = static_cast<size_t>(length);
      if (text.Allocate(logSize + summaryLength + kSlack)) {
        if (std::fread(text.bytes_.get(), 1, logSize, file) == logSize) {
          text.AppendSummary(logSize, summary, summaryLength);
        } else {
          text.bytes_.reset();
        }
      }
    }
    std::fclose(file);
  }
  if (text.bytes_ == nullptr) text.UseFallback(summary, summaryLength);
  return text;
}

// No memory is not an error here: the fallback, and then nothing, stand in.
bool LogText::Allocate(size_t size) {
  bytes_.reset(new (std::nothrow) char[size]);
  return bytes_ != nullptr;
}

void LogText::AppendSummary(size_t logSize, const char* summary, size_t summaryLength) {
  std::memcpy(bytes_.get() + logSize, "\r\n", 2);
  std::memcpy(bytes_.get() + logSize + 2, summary, summaryLength + 1);
  length_ = logSize + 2 + summaryLength;
}

void LogText::UseFallback(const char* summary, size_t summaryLength) {
  if (summaryLength == 0 || !Allocate(summaryLength + kSlack)) return;
  const size_t lineLength = sizeof(kLogReadFailedLine) - 1;
  std::memcpy(bytes_.get(), kLogReadFailedLine, lineLength);
  std::memcpy(bytes_.get() + lineLength, summary, summaryLength + 1);
  length_ = lineLength + summaryLength;
}
