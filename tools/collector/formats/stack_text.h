#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// One "module" line of stack.txt.
struct StackModule {
  uint32_t base = 0;
  uint32_t size = 0;       // SizeOfImage
  uint32_t timestamp = 0;  // TimeDateStamp
  std::string debugId;     // CodeView GUID and age as a symbol server writes them; "" for "-"
  std::string name;        // file name without folder
  std::string debugFile;   // the CodeView record's file name, "" when none was given
};

// One "#N" line: either NAME+0xOFFSET (module non-empty) or an absolute address.
struct StackFrame {
  uint32_t index = 0;
  std::string module;
  uint32_t offset = 0;   // from the module's base, when module is non-empty
  uint32_t address = 0;  // when module is empty
  std::string method;    // context, fp or scan (others are kept as they came)
};

struct StackTrace {
  bool hasHeader = false;  // the "VexoCrashRpt stack 1" line was seen
  bool hasException = false;
  uint32_t code = 0;
  uint32_t exceptionAddress = 0;
  bool hasThread = false;
  uint32_t thread = 0;
  std::vector<std::pair<std::string, uint32_t>> registers;  // in their order, e.g. {"eax", 0}
  std::vector<StackModule> modules;
  std::vector<StackFrame> frames;  // in their order; at most kMaxFrames
};

constexpr size_t kMaxStackFrames = 64;

// Reads stack.txt. Any bytes are accepted: lines that do not fit the grammar are skipped, so a
// newer or damaged file still yields what it can.
StackTrace ParseStackText(const std::string& text);

// Writes the trace in the grammar ParseStackText reads (CR LF line ends).
std::string FormatStackText(const StackTrace& trace);

// The module line a frame points into (the first one with that name, compared without case),
// or null.
const StackModule* ModuleOf(const StackTrace& trace, const StackFrame& frame);

// Lower-case ASCII, the way module names are compared.
std::string LowerAscii(std::string text);

}  // namespace collector
