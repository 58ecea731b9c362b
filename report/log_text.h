#pragma once

#include <cstddef>
#include <memory>

// Stands in for the game's log when log.txt is missing, empty or unreadable: "log.txt读取失败"
// and CR LF.
extern const char kLogReadFailedLine[];

// The text packed as log.txt: the game's log bytes, CR LF and the crash summary (its bytes before
// the NUL); or, when the log gave nothing, kLogReadFailedLine and the summary; or nothing at all
// when there is neither. The log is taken whole, NUL bytes included.
class LogText {
 public:
  static LogText Assemble(const char* log, size_t logSize, const char* summary);
  // The log read from the file at path, straight into the text's own block so that a large log
  // is held only once.
  static LogText Read(const char* path, const char* summary);

  const char* data() const { return bytes_.get(); }
  size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }

 private:
  bool Allocate(size_t size);
  void AppendSummary(size_t logSize, const char* summary, size_t summaryLength);
  void UseFallback(const char* summary, size_t summaryLength);

  std::unique_ptr<char[]> bytes_;
  size_t length_ = 0;
};
