#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "report/minidump_writer.h"
#include "report/stack_trace.h"

// Reading a crashed process: this one, from the crash path's own thread, or the game, from the
// handler process. Nothing here needs the heap or a lock the crashed process may hold, so the same
// code serves both: in this process the memory is read in place once the platform says it is
// there, in another it is read through ReadProcessMemory a page at a time and kept.
class ProcessMemory final : public MemoryReader {
 public:
  explicit ProcessMemory(HANDLE process);
  bool Read(uint32_t address, void* out, std::size_t size) override;
  bool Query(uint32_t address, MEMORY_BASIC_INFORMATION& info);
  HANDLE process() const { return process_; }
  bool local() const { return local_; }

 private:
  bool ReadLocal(uint32_t address, void* out, std::size_t size);
  bool ReadPage(uint32_t page, const uint8_t** bytes);

  static constexpr int kRegions = 4;
  static constexpr int kPages = 16;
  static constexpr uint32_t kPageSize = 4096;
  HANDLE process_;
  bool local_;
  // In place: the last few readable regions, so that a word-by-word scan asks once per region.
  uint32_t regionBegin_[kRegions] = {};
  uint32_t regionEnd_[kRegions] = {};
  int nextRegion_ = 0;
  // From outside: the last few pages read, each 0 when unreadable.
  uint32_t pageAddress_[kPages] = {};
  bool pageReadable_[kPages] = {};
  uint8_t pages_[kPages][kPageSize];
  int nextPage_ = 0;
};

// The process's executable, from its process environment block: its load address.
uint32_t ExecutableBase(ProcessMemory& memory);

// Every image mapped in the process, in ascending order, found by walking the address space
// rather than the loader's lists, which the loader lock guards. exeName names the executable,
// which usually exports nothing. Returns how many were written.
std::size_t ReadModules(ProcessMemory& memory, const char* exeName, StackModule* modules,
                        std::size_t capacity);

// The threads of the process with processId, except skipThreadId: each is suspended (to be
// resumed by ResumeThreads) and its registers, TEB and stack top read. Memory comes from
// VirtualAlloc, not the heap. Returns how many were written.
std::size_t SuspendAndReadThreads(ProcessMemory& memory, DWORD processId, DWORD skipThreadId,
                                  MinidumpThread* threads, HANDLE* handles, std::size_t capacity);
void ResumeThreads(HANDLE* handles, std::size_t count);

// The machine and system, as a minidump records them.
void ReadSystem(MinidumpSystem& system);

// The x86 CONTEXT a minidump stores, from the platform's.
void StoreContext(const CONTEXT& context, uint8_t (&out)[kX86ContextSize]);
