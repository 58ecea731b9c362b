// Arbitrary bytes as stack.txt: parsing never fails, and what the formatter writes from any
// parse reads back to the same trace.

#include <cstddef>
#include <cstdint>
#include <string>

#include "stack_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  collector::StackTrace parsed = collector::ParseStackText(text);
  if (parsed.frames.size() > collector::kMaxStackFrames) __builtin_trap();
  std::string formatted = collector::FormatStackText(parsed);
  collector::StackTrace again = collector::ParseStackText(formatted);
  if (again.frames.size() != parsed.frames.size() ||
      again.modules.size() != parsed.modules.size() || again.registers != parsed.registers ||
      again.hasException != parsed.hasException || again.code != parsed.code ||
      again.thread != parsed.thread) {
    __builtin_trap();
  }
  for (size_t i = 0; i < parsed.frames.size(); ++i) {
    const collector::StackFrame& a = parsed.frames[i];
    const collector::StackFrame& b = again.frames[i];
    if (a.index != b.index || a.module != b.module || a.offset != b.offset ||
        a.address != b.address || a.method != b.method) {
      __builtin_trap();
    }
  }
  for (size_t i = 0; i < parsed.modules.size(); ++i) {
    const collector::StackModule& a = parsed.modules[i];
    const collector::StackModule& b = again.modules[i];
    if (a.base != b.base || a.size != b.size || a.timestamp != b.timestamp ||
        a.debugId != b.debugId || a.name != b.name || a.debugFile != b.debugFile) {
      __builtin_trap();
    }
  }
  if (collector::FormatStackText(again) != formatted) __builtin_trap();
  return 0;
}
