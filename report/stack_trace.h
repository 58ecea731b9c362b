#pragma once

#include <cstddef>
#include <cstdint>

// What a crash leaves for the stack trace: the faulting thread's registers, the loaded modules
// and the frames recovered from its stack. Plain data of fixed size, so that the crash path can
// keep one in static memory and fill it without the heap.

constexpr std::size_t kMaxStackFrames = 64;
constexpr std::size_t kMaxStackModules = 256;
constexpr std::size_t kMaxCodeRanges = 8;
constexpr std::size_t kModuleNameSize = 64;
constexpr std::size_t kDebugFileSize = 128;

struct StackRegisters {
  uint32_t eax, ebx, ecx, edx, esi, edi, ebp, esp, eip, eflags;
};

// A loaded image: where it lies, what identifies its build, and where its code is.
struct StackModule {
  uint32_t base;
  uint32_t size;
  uint32_t timestamp;
  char name[kModuleNameSize];
  bool hasCodeView;
  uint8_t guid[16];  // as stored: Data1, Data2, Data3 little-endian, then Data4
  uint32_t age;
  char debugFile[kDebugFileSize];
  // Executable sections, as addresses.
  uint32_t codeBegin[kMaxCodeRanges];
  uint32_t codeEnd[kMaxCodeRanges];
  std::size_t codeRanges;
};

enum class FrameMethod { kContext, kFramePointer, kScan };

struct StackFrame {
  uint32_t address;
  FrameMethod method;
};

struct StackCapture {
  uint32_t exceptionCode;
  uint32_t exceptionAddress;
  uint32_t threadId;
  StackRegisters registers;
  StackModule modules[kMaxStackModules];  // ascending base
  std::size_t moduleCount;
  StackFrame frames[kMaxStackFrames];
  std::size_t frameCount;
};

// Reads the crashed process's memory without faulting: false when any byte is unreadable.
class MemoryReader {
 public:
  virtual ~MemoryReader() = default;
  virtual bool Read(uint32_t address, void* out, std::size_t size) = 0;
};

// The module holding address, or null.
const StackModule* FindModule(const StackCapture& capture, uint32_t address);

// Recovers capture.frames from the registers and the stack between registers.esp and stackTop
// (exclusive). Frame 0 is the faulting instruction. Then the frame-pointer chain is followed
// while it is sound: each frame lies on the stack above the last, and its return address points
// into a module's code. Below each such frame, and above the last one, the stack is scanned for
// return addresses: a word counts when it points into a module's code and the bytes before it
// decode as a call instruction. Below a sound frame the call must also be a direct one to the
// function of the frame under it (the nearest start at or below that frame, in its module);
// indirect calls and calls elsewhere there are stale. Needs capture.modules.
void WalkStack(StackCapture& capture, uint32_t stackTop, MemoryReader& memory);

// True when the bytes just before returnAddress decode as a call instruction.
bool FollowsCall(uint32_t returnAddress, MemoryReader& memory);

// Writes the stack.txt text (ASCII, CR LF) for capture; returns its length, cut to fit size.
std::size_t FormatStackTrace(const StackCapture& capture, char* out, std::size_t size);
