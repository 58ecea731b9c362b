#pragma once

#include <cstddef>

// Appends formatted lines to a fixed buffer that always stays NUL-terminated. A line that does not
// fit is cut at the buffer's end, and later lines are dropped: the crash path writes into static
// buffers and must never need more.
class TextWriter {
 public:
  TextWriter(char* out, std::size_t size);
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The bytes written, not counting the NUL.
  std::size_t used() const { return used_; }

 private:
  char* out_;
  std::size_t size_;
  std::size_t used_ = 0;
};
