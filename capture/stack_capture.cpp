#include "capture/stack_capture.h"

#include <psapi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "common/shared_buffers.h"
#include "dialog/host_module.h"
#include "report/stack_trace.h"

namespace {

// How far above the stack pointer the scan looks: 64 frames rarely need more, and a deep
// recursion's stack is mostly the same frame over and over.
constexpr DWORD kMaxScanBytes = 256u << 10;

// The whole capture lives here, not on the crash thread's stack.
StackCapture capture;

bool Readable(const MEMORY_BASIC_INFORMATION& info) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && (info.Protect & kReadable) != 0 &&
         (info.Protect & PAGE_GUARD) == 0;
}

// Reads this process's memory after asking the platform that every page is there, so that a
// damaged pointer never faults inside the crash path. The last few readable regions are kept:
// the scan reads the stack word by word, and asking for each word would cost milliseconds.
class ProcessMemory : public MemoryReader {
 public:
  bool Read(uint32_t address, void* out, std::size_t size) override {
    const uint32_t end = address + static_cast<uint32_t>(size);
    if (end < address) return false;
    if (!Known(address, end)) {
      uint32_t at = address;
      while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == 0 || !Readable(info)) {
          return false;
        }
        const uint32_t regionBase = reinterpret_cast<uint32_t>(info.BaseAddress);
        const uint32_t regionEnd = regionBase + static_cast<uint32_t>(info.RegionSize);
        Remember(regionBase, regionEnd);
        if (regionEnd <= at) break;  // the region ends at the top of the address space
        at = regionEnd;
      }
    }
    std::memcpy(out, reinterpret_cast<const void*>(address), size);
    return true;
  }

 private:
  static constexpr int kRegions = 4;
  bool Known(uint32_t begin, uint32_t end) const {
    for (int i = 0; i < kRegions; ++i) {
      if (begin >= begin_[i] && end <= end_[i]) return true;
    }
    return false;
  }
  void Remember(uint32_t begin, uint32_t end) {
    begin_[next_] = begin;
    end_[next_] = end;
    next_ = (next_ + 1) % kRegions;
  }
  uint32_t begin_[kRegions] = {};
  uint32_t end_[kRegions] = {};
  int next_ = 0;
};

// The file name after the last backslash, narrowed to the ANSI code page. The wide call and this
// conversion need no heap: the crashed thread may hold the heap's lock.
void BaseName(const wchar_t* path, char* out, std::size_t size) {
  const wchar_t* name = std::wcsrchr(path, L'\\');
  name = name != nullptr ? name + 1 : path;
  const int written =
      WideCharToMultiByte(CP_ACP, 0, name, -1, out, static_cast<int>(size), nullptr, nullptr);
  if (written <= 0) out[0] = '\0';
  out[size - 1] = '\0';
}

struct CodeViewRecord {
  char signature[4];  // "RSDS"
  uint8_t guid[16];
  uint32_t age;
};

// Fills module from the PE image mapped at base; false when it is not one.
bool ReadModule(uint32_t base, ProcessMemory& memory, StackModule& module) {
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS32 nt;
  if (!memory.Read(base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
      dos.e_lfanew <= 0 || !memory.Read(base + dos.e_lfanew, &nt, sizeof nt) ||
      nt.Signature != IMAGE_NT_SIGNATURE ||
      nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    return false;
  }
  std::memset(&module, 0, sizeof module);
  module.base = base;
  module.size = nt.OptionalHeader.SizeOfImage;
  module.timestamp = nt.FileHeader.TimeDateStamp;

  const uint32_t sections = base + dos.e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                            nt.FileHeader.SizeOfOptionalHeader;
  for (WORD i = 0; i < nt.FileHeader.NumberOfSections && module.codeRanges < kMaxCodeRanges; ++i) {
    IMAGE_SECTION_HEADER section;
    if (!memory.Read(sections + i * sizeof section, &section, sizeof section)) break;
    if ((section.Characteristics & IMAGE_SCN_MEM_EXECUTE) == 0) continue;
    module.codeBegin[module.codeRanges] = base + section.VirtualAddress;
    module.codeEnd[module.codeRanges] = base + section.VirtualAddress + section.Misc.VirtualSize;
    ++module.codeRanges;
  }

  // The name the module exports under: read from the image itself, without any call that could
  // need the heap or a lock.
  const IMAGE_DATA_DIRECTORY& exports =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  IMAGE_EXPORT_DIRECTORY exportDirectory;
  if (exports.Size >= sizeof exportDirectory && exports.VirtualAddress != 0 &&
      memory.Read(base + exports.VirtualAddress, &exportDirectory, sizeof exportDirectory) &&
      exportDirectory.Name != 0) {
    for (std::size_t i = 0; i + 1 < sizeof module.name; ++i) {
      if (!memory.Read(base + exportDirectory.Name + i, &module.name[i], 1)) {
        module.name[0] = '\0';
        break;
      }
      if (module.name[i] == '\0') break;
    }
  }

  const IMAGE_DATA_DIRECTORY& debug = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  for (DWORD at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= debug.Size;
       at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
    IMAGE_DEBUG_DIRECTORY entry;
    CodeViewRecord record;
    if (!memory.Read(base + debug.VirtualAddress + at, &entry, sizeof entry)) break;
    if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.SizeOfData < sizeof record ||
        entry.AddressOfRawData == 0 ||
        !memory.Read(base + entry.AddressOfRawData, &record, sizeof record) ||
        std::memcmp(record.signature, "RSDS", 4) != 0) {
      continue;
    }
    module.hasCodeView = true;
    std::memcpy(module.guid, record.guid, sizeof module.guid);
    module.age = record.age;
    // The file name follows, NUL-terminated; read what fits.
    std::size_t nameLength = entry.SizeOfData - sizeof record;
    if (nameLength > sizeof module.debugFile - 1) nameLength = sizeof module.debugFile - 1;
    if (nameLength > 0 &&
        memory.Read(base + entry.AddressOfRawData + sizeof record, module.debugFile, nameLength)) {
      module.debugFile[nameLength] = '\0';
    } else {
      module.debugFile[0] = '\0';
    }
    break;
  }
  return true;
}

// Every image in the address space, in ascending order: found by walking the address space
// rather than the loader's lists, which the loader lock guards.
void ReadModules(ProcessMemory& memory) {
  capture.moduleCount = 0;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t at = reinterpret_cast<uint32_t>(system.lpMinimumApplicationAddress);
  const uint32_t end = reinterpret_cast<uint32_t>(system.lpMaximumApplicationAddress);
  while (at < end && capture.moduleCount < kMaxStackModules) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == 0) break;
    const uint32_t regionBase = reinterpret_cast<uint32_t>(info.BaseAddress);
    if (info.Type == MEM_IMAGE && info.AllocationBase == info.BaseAddress) {
      StackModule& module = capture.modules[capture.moduleCount];
      if (ReadModule(regionBase, memory, module)) {
        if (info.BaseAddress == GetModuleHandleA(nullptr)) {
          // An executable usually exports nothing; its path was remembered at install.
          char hostPath[kHostPathSize];
          if (ReadHostModulePath(hostPath)) {
            std::strncpy(module.name, HostBaseName(hostPath), sizeof module.name - 1);
          }
        } else if (module.name[0] == '\0') {
          // Under Wine this asks for memory from the process heap: only for modules that
          // export nothing.
          static wchar_t path[MAX_PATH];
          if (K32GetMappedFileNameW(GetCurrentProcess(), info.BaseAddress, path, MAX_PATH) > 0) {
            BaseName(path, module.name, sizeof module.name);
          }
        }
        if (module.name[0] != '\0') ++capture.moduleCount;
      }
    }
    const uint32_t next = regionBase + static_cast<uint32_t>(info.RegionSize);
    if (next <= at) break;
    at = next;
  }
}

}  // namespace

void CaptureStackTrace(const EXCEPTION_POINTERS* pointers, DWORD threadId, DWORD stackBase) {
  StackTrace[0] = '\0';
  if (pointers == nullptr || pointers->ExceptionRecord == nullptr ||
      pointers->ContextRecord == nullptr) {
    return;
  }
  const CONTEXT& context = *pointers->ContextRecord;
  capture.exceptionCode = pointers->ExceptionRecord->ExceptionCode;
  capture.exceptionAddress =
      reinterpret_cast<uint32_t>(pointers->ExceptionRecord->ExceptionAddress);
  capture.threadId = threadId;
  capture.registers = {context.Eax, context.Ebx, context.Ecx, context.Edx, context.Esi,
                       context.Edi, context.Ebp, context.Esp, context.Eip, context.EFlags};
  ProcessMemory memory;
  ReadModules(memory);
  uint32_t top = stackBase;
  if (top <= context.Esp || top - context.Esp > kMaxScanBytes) top = context.Esp + kMaxScanBytes;
  WalkStack(capture, top, memory);
  FormatStackTrace(capture, StackTrace, sizeof StackTrace);
}

bool StackTraceWanted() {
  return GetPrivateProfileIntA("INFO", "STACKTRACE", 0, ".\\crashrpt.ini") == 1;
}
