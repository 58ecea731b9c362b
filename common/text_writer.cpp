#include "common/text_writer.h"

#include <cstdarg>
#include <cstdio>

TextWriter::TextWriter(char* out, std::size_t size) : out_(out), size_(size) {
  if (size_ > 0) out_[0] = '\0';
}

void TextWriter::Line(const char* format, ...) {
  if (used_ + 1 >= size_) return;
  const std::size_t room = size_ - used_;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(out_ + used_, room, format, args);
  va_end(args);
  if (written < 0) return;
  // A cut line still advances to the NUL that vsnprintf put at the buffer's end.
  used_ += static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room - 1;
}
