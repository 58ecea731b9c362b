#pragma once

#include <cstddef>
#include <cstdint>

#include "report/stack_trace.h"

// A minidump of a 32-bit Windows process in the standard format debuggers and symbol servers
// read: header, system info, exception, every thread with its context and stack memory, the
// module list with CodeView records, and the code around the faulting instruction. Built from
// what the caller collected and through one MemoryReader, so that the same writer serves the
// crashed process itself and a handler reading it from outside. It allocates nothing.

// The CONTEXT of 32-bit Windows (with the extended registers), as the platform lays it out.
constexpr std::size_t kX86ContextSize = 716;
// Offsets of the registers the writer needs inside that CONTEXT.
constexpr std::size_t kX86ContextEip = 0xB8;
constexpr std::size_t kX86ContextEsp = 0xC4;

// Stack memory kept per thread, from its stack pointer up: the crashing thread's, and each
// other thread's. When the output buffer cannot hold it all, memory is cut: the other threads'
// stacks first, then the crashing thread's, the code around the faulting instruction last.
constexpr uint32_t kMinidumpCrashStackBytes = 256u << 10;
constexpr uint32_t kMinidumpThreadStackBytes = 64u << 10;
// Bytes kept on each side of the faulting instruction.
constexpr uint32_t kMinidumpCodeBytes = 256;
// Threads beyond this many are left out of the dump (the writer keeps per-thread state in fixed
// arrays); the crashing thread is kept wherever it stands in the list. Modules beyond
// kMaxStackModules are left out too.
constexpr std::size_t kMinidumpMaxThreads = 256;

struct MinidumpThread {
  uint32_t id;
  uint32_t suspendCount;
  uint32_t priorityClass;
  int32_t priority;
  uint32_t teb;
  // The top of the thread's stack (its TIB StackBase): memory is read from ESP up to here.
  uint32_t stackTop;
  // For the crashing thread, the faulting context.
  uint8_t context[kX86ContextSize];
};

struct MinidumpSystem {
  uint16_t processorLevel;
  uint16_t processorRevision;
  uint8_t processorCount;
  uint8_t productType;
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  uint16_t suiteMask;
  char servicePack[128];  // ASCII, may be empty
  uint32_t cpuVendor[3];  // CPUID 0: EBX, EDX, ECX
  uint32_t cpuVersion;    // CPUID 1: EAX
  uint32_t cpuFeatures;   // CPUID 1: EDX
  uint32_t cpuAmdFeatures;
};

struct MinidumpInput {
  uint32_t processId;
  uint32_t timeDateStamp;  // seconds since 1970, UTC
  uint32_t crashThreadId;
  uint32_t exceptionCode;
  uint32_t exceptionFlags;
  uint32_t exceptionRecordAddress;
  uint32_t exceptionAddress;
  uint32_t exceptionParameterCount;  // at most 15
  uint32_t exceptionParameters[15];
  const uint8_t* exceptionContext;  // kX86ContextSize bytes
  const MinidumpThread* threads;    // the crashing thread among them
  std::size_t threadCount;
  const StackModule* modules;
  std::size_t moduleCount;
  MinidumpSystem system;
  // Turns a module name, as StackModule holds it (the ANSI code page's bytes), into UTF-16 and
  // returns the units written, at most capacity. Null: names are read as UTF-8, and a byte that
  // starts no valid sequence stands for itself (Latin-1).
  std::size_t (*widenName)(const char* name, uint16_t* out, std::size_t capacity);
};

// Writes the dump into out and returns its size; 0 when capacity cannot hold even the streams
// without any memory.
std::size_t WriteMinidump(const MinidumpInput& input, MemoryReader& memory, uint8_t* out,
                          std::size_t capacity);
