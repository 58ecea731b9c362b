#include "report/stack_trace.h"

#include <cstdio>

#include "common/text_writer.h"

namespace {

bool InCode(const StackCapture& capture, uint32_t address) {
  const StackModule* module = FindModule(capture, address);
  if (module == nullptr) return false;
  for (std::size_t i = 0; i < module->codeRanges; ++i) {
    if (address >= module->codeBegin[i] && address < module->codeEnd[i]) return true;
  }
  return false;
}

bool IsReturnAddress(const StackCapture& capture, uint32_t address, MemoryReader& memory) {
  return InCode(capture, address) && FollowsCall(address, memory);
}

class Frames {
 public:
  explicit Frames(StackCapture& capture) : capture_(capture) { capture_.frameCount = 0; }
  bool Full() const { return capture_.frameCount >= kMaxStackFrames; }
  // The frame found last, the one below the next: every walk starts with frame 0.
  uint32_t Last() const { return capture_.frames[capture_.frameCount - 1].address; }
  void Add(uint32_t address, FrameMethod method) {
    if (!Full()) capture_.frames[capture_.frameCount++] = {address, method};
  }

 private:
  StackCapture& capture_;
};

// How far a function's code may lie from its start: a call whose target is further below the frame
// it should have made is taken for a call to another function.
constexpr uint32_t kMaxFunctionBytes = 64u << 10;

// True when the bytes before returnAddress are a direct call (E8 rel32) to the function that holds
// below, the address of the frame under it: the target lies in the same module, at or below it,
// and within a function's reach. A stale return address, left on the stack by a call that has
// returned, usually called something else.
bool CallsFunctionOf(const StackCapture& capture, uint32_t returnAddress, uint32_t below,
                     MemoryReader& memory) {
  uint8_t call[5];
  if (returnAddress < sizeof call || !memory.Read(returnAddress - sizeof call, call, sizeof call) ||
      call[0] != 0xE8) {
    return false;
  }
  const uint32_t offset = uint32_t{call[1]} | uint32_t{call[2]} << 8 | uint32_t{call[3]} << 16 |
                          uint32_t{call[4]} << 24;
  const uint32_t target = returnAddress + offset;
  const StackModule* module = FindModule(capture, below);
  return module != nullptr && FindModule(capture, target) == module && target <= below &&
         below - target < kMaxFunctionBytes;
}

// Return addresses among the words of [from, to). Between two sound frames (validated), a word
// also has to pass the call-target check against the frame below it: there every true caller is
// found, and what fails is stale.
void Scan(const StackCapture& capture, uint32_t from, uint32_t to, MemoryReader& memory,
          Frames& frames, bool validated) {
  for (uint32_t at = from; at + 4 <= to && at >= from && !frames.Full(); at += 4) {
    uint32_t word = 0;
    if (!memory.Read(at, &word, sizeof word)) return;
    if (IsReturnAddress(capture, word, memory) &&
        (!validated || CallsFunctionOf(capture, word, frames.Last(), memory))) {
      frames.Add(word, FrameMethod::kScan);
    }
  }
}

const char* MethodName(FrameMethod method) {
  switch (method) {
    case FrameMethod::kContext:
      return "context";
    case FrameMethod::kFramePointer:
      return "fp";
    case FrameMethod::kScan:
      return "scan";
  }
  return "scan";
}

// Names come from the crashed process: a line break or '|' inside one would break the grammar.
void CopyClean(char* out, std::size_t size, const char* text) {
  std::size_t i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = c < 0x20 || c == 0x7F || c == '|' ? '_' : static_cast<char>(c);
  }
  if (size > 0) out[i] = '\0';
}

}  // namespace

const StackModule* FindModule(const StackCapture& capture, uint32_t address) {
  for (std::size_t i = 0; i < capture.moduleCount; ++i) {
    const StackModule& module = capture.modules[i];
    if (address >= module.base && address - module.base < module.size) return &module;
  }
  return nullptr;
}

bool FollowsCall(uint32_t returnAddress, MemoryReader& memory) {
  if (returnAddress < 7) return false;
  uint8_t b[7];  // the seven bytes before the return address; b[6] is the last
  if (!memory.Read(returnAddress - 7, b, sizeof b)) return false;
  // call rel32: E8 xx xx xx xx
  if (b[2] == 0xE8) return true;
  // call r/m32 is FF /2; the ModRM byte's reg field is 2. By encoded length:
  auto isCallModRm = [](uint8_t modrm, uint8_t mod) {
    return ((modrm >> 3) & 7) == 2 && (modrm >> 6) == mod;
  };
  // 2 bytes: call reg (mod 3) or call [reg] (mod 0, not SIB or disp32)
  if (b[5] == 0xFF &&
      (isCallModRm(b[6], 3) || (isCallModRm(b[6], 0) && (b[6] & 7) != 4 && (b[6] & 7) != 5))) {
    return true;
  }
  // 3 bytes: call [reg+disp8] or call [SIB]
  if (b[4] == 0xFF && (isCallModRm(b[5], 1) && (b[5] & 7) != 4)) return true;
  if (b[4] == 0xFF && isCallModRm(b[5], 0) && (b[5] & 7) == 4) return true;
  // 4 bytes: call [SIB+disp8]
  if (b[3] == 0xFF && isCallModRm(b[4], 1) && (b[4] & 7) == 4) return true;
  // 6 bytes: call [disp32] or call [reg+disp32]
  if (b[1] == 0xFF &&
      ((isCallModRm(b[2], 0) && (b[2] & 7) == 5) || (isCallModRm(b[2], 2) && (b[2] & 7) != 4))) {
    return true;
  }
  // 7 bytes: call [SIB+disp32]
  if (b[0] == 0xFF && isCallModRm(b[1], 2) && (b[1] & 7) == 4) return true;
  return false;
}

void WalkStack(StackCapture& capture, uint32_t stackTop, MemoryReader& memory) {
  Frames frames(capture);
  frames.Add(capture.registers.eip, FrameMethod::kContext);
  uint32_t position = capture.registers.esp;  // the lowest word not yet looked at
  uint32_t framePointer = capture.registers.ebp;
  while (!frames.Full()) {
    uint32_t saved[2] = {0, 0};  // the caller's frame pointer and the return address
    const bool sound = framePointer >= position && framePointer % 4 == 0 &&
                       framePointer < stackTop && stackTop - framePointer >= 8 &&
                       memory.Read(framePointer, saved, sizeof saved) && InCode(capture, saved[1]);
    if (!sound) break;
    // Functions without a frame pointer of their own leave their return addresses below it.
    Scan(capture, position, framePointer, memory, frames, true);
    frames.Add(saved[1], FrameMethod::kFramePointer);
    position = framePointer + 8;
    if (saved[0] <= framePointer) break;  // a chain must rise
    framePointer = saved[0];
  }
  Scan(capture, position, stackTop, memory, frames, false);
}

std::size_t FormatStackTrace(const StackCapture& capture, char* out, std::size_t size) {
  TextWriter writer(out, size);
  writer.Line("VexoCrashRpt stack 1\r\n");
  writer.Line("exception 0x%08x 0x%08x\r\n", capture.exceptionCode, capture.exceptionAddress);
  writer.Line("thread 0x%08x\r\n", capture.threadId);
  const StackRegisters& r = capture.registers;
  writer.Line(
      "registers eax=0x%08x ebx=0x%08x ecx=0x%08x edx=0x%08x esi=0x%08x edi=0x%08x ebp=0x%08x "
      "esp=0x%08x eip=0x%08x eflags=0x%08x\r\n",
      r.eax, r.ebx, r.ecx, r.edx, r.esi, r.edi, r.ebp, r.esp, r.eip, r.eflags);
  for (std::size_t i = 0; i < capture.moduleCount; ++i) {
    const StackModule& module = capture.modules[i];
    char id[48] = "-";
    if (module.hasCodeView) {
      const uint8_t* g = module.guid;
      std::snprintf(id, sizeof id,
                    "%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%X", g[3],
                    g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12],
                    g[13], g[14], g[15], module.age);
    }
    char name[kModuleNameSize];
    char debugFile[kDebugFileSize];
    CopyClean(name, sizeof name, module.name);
    CopyClean(debugFile, sizeof debugFile, module.hasCodeView ? module.debugFile : "");
    writer.Line("module 0x%08x 0x%08x 0x%08x %s %s%s%s\r\n", module.base, module.size,
                module.timestamp, id, name, debugFile[0] != '\0' ? "|" : "", debugFile);
  }
  for (std::size_t i = 0; i < capture.frameCount; ++i) {
    const StackFrame& frame = capture.frames[i];
    const StackModule* module = FindModule(capture, frame.address);
    if (module != nullptr) {
      char name[kModuleNameSize];
      CopyClean(name, sizeof name, module->name);
      writer.Line("#%u %s+0x%x %s\r\n", static_cast<unsigned>(i), name,
                  frame.address - module->base, MethodName(frame.method));
    } else {
      writer.Line("#%u 0x%08x %s\r\n", static_cast<unsigned>(i), frame.address,
                  MethodName(frame.method));
    }
  }
  return writer.used();
}
