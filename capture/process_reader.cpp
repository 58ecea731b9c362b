#include "capture/process_reader.h"

#include <cpuid.h>
#include <psapi.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

extern "C" NTSTATUS NTAPI RtlGetVersion(RTL_OSVERSIONINFOW* version);

namespace {

struct ThreadBasics {
  NTSTATUS exitStatus;
  void* tebBaseAddress;
  CLIENT_ID clientId;
  ULONG_PTR affinityMask;
  LONG priority;
  LONG basePriority;
};

bool Readable(const MEMORY_BASIC_INFORMATION& info) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && (info.Protect & kReadable) != 0 &&
         (info.Protect & PAGE_GUARD) == 0;
}

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

// Offsets in the 32-bit layouts the platform answers with.
constexpr std::size_t kProcessThreadCount = 0x04;
constexpr std::size_t kProcessId = 0x44;
constexpr std::size_t kProcessThreads = 0xB8;
constexpr std::size_t kThreadInfoSize = 0x40;
constexpr std::size_t kThreadInfoThreadId = 0x24;
constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr std::size_t kPebImageBase = 0x08;
constexpr std::size_t kTebStackBase = 0x04;

uint32_t Word(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The process list from the platform, in pages of its own: the heap may be locked.
const uint8_t* QueryProcesses(void** block) {
  for (SIZE_T size = 256u << 10; size <= (16u << 20); size *= 2) {
    void* memory = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) return nullptr;
    ULONG needed = 0;
    const LONG status = NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kSystemProcessInformation), memory,
        static_cast<ULONG>(size), &needed);
    if (status >= 0) {
      *block = memory;
      return static_cast<const uint8_t*>(memory);
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    if (status != kInfoLengthMismatch) return nullptr;
  }
  return nullptr;
}

}  // namespace

ProcessMemory::ProcessMemory(HANDLE process)
    : process_(process),
      local_(process == GetCurrentProcess() || GetProcessId(process) == GetCurrentProcessId()) {}

bool ProcessMemory::Query(uint32_t address, MEMORY_BASIC_INFORMATION& info) {
  return VirtualQueryEx(process_, reinterpret_cast<void*>(address), &info, sizeof info) != 0;
}

bool ProcessMemory::Read(uint32_t address, void* out, std::size_t size) {
  const uint32_t end = address + static_cast<uint32_t>(size);
  if (end < address) return false;
  if (local_) return ReadLocal(address, out, size);
  auto* to = static_cast<uint8_t*>(out);
  uint32_t at = address;
  while (at < end) {
    const uint32_t page = at & ~(kPageSize - 1);
    const uint8_t* bytes = nullptr;
    if (!ReadPage(page, &bytes)) return false;
    uint32_t chunk = page + kPageSize - at;
    if (chunk > end - at) chunk = end - at;
    std::memcpy(to, bytes + (at - page), chunk);
    to += chunk;
    at += chunk;
    if (at == 0) break;  // the top of the address space
  }
  return true;
}

bool ProcessMemory::ReadLocal(uint32_t address, void* out, std::size_t size) {
  const uint32_t end = address + static_cast<uint32_t>(size);
  bool known = false;
  for (int i = 0; i < kRegions && !known; ++i) {
    known = address >= regionBegin_[i] && end <= regionEnd_[i];
  }
  uint32_t at = address;
  while (!known && at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == 0 || !Readable(info)) {
      return false;
    }
    const uint32_t regionBase = reinterpret_cast<uint32_t>(info.BaseAddress);
    const uint32_t regionEnd = regionBase + static_cast<uint32_t>(info.RegionSize);
    regionBegin_[nextRegion_] = regionBase;
    regionEnd_[nextRegion_] = regionEnd;
    nextRegion_ = (nextRegion_ + 1) % kRegions;
    if (regionEnd <= at) break;  // the region ends at the top of the address space
    at = regionEnd;
  }
  std::memcpy(out, reinterpret_cast<const void*>(address), size);
  return true;
}

bool ProcessMemory::ReadPage(uint32_t page, const uint8_t** bytes) {
  for (int i = 0; i < kPages; ++i) {
    if (pageAddress_[i] == page && (page != 0 || pageReadable_[i])) {
      *bytes = pages_[i];
      return pageReadable_[i];
    }
  }
  const int slot = nextPage_;
  nextPage_ = (nextPage_ + 1) % kPages;
  SIZE_T got = 0;
  pageAddress_[slot] = page;
  pageReadable_[slot] =
      ReadProcessMemory(process_, reinterpret_cast<void*>(page), pages_[slot], kPageSize, &got) &&
      got == kPageSize;
  *bytes = pages_[slot];
  return pageReadable_[slot];
}

uint32_t ExecutableBase(ProcessMemory& memory) {
  PROCESS_BASIC_INFORMATION basic = {};
  ULONG got = 0;
  if (NtQueryInformationProcess(memory.process(), ProcessBasicInformation, &basic, sizeof basic,
                                &got) < 0) {
    return 0;
  }
  uint32_t base = 0;
  const uint32_t peb = reinterpret_cast<uint32_t>(basic.PebBaseAddress);
  if (peb == 0 || !memory.Read(peb + kPebImageBase, &base, sizeof base)) return 0;
  return base;
}

std::size_t ReadModules(ProcessMemory& memory, const char* exeName, StackModule* modules,
                        std::size_t capacity) {
  std::size_t count = 0;
  const uint32_t exeBase = ExecutableBase(memory);
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t at = reinterpret_cast<uint32_t>(system.lpMinimumApplicationAddress);
  const uint32_t end = reinterpret_cast<uint32_t>(system.lpMaximumApplicationAddress);
  while (at < end && count < capacity) {
    MEMORY_BASIC_INFORMATION info;
    if (!memory.Query(at, info)) break;
    const uint32_t regionBase = reinterpret_cast<uint32_t>(info.BaseAddress);
    if (info.Type == MEM_IMAGE && info.AllocationBase == info.BaseAddress) {
      StackModule& module = modules[count];
      if (ReadModule(regionBase, memory, module)) {
        if (regionBase == exeBase && exeName != nullptr && exeName[0] != '\0') {
          std::strncpy(module.name, exeName, sizeof module.name - 1);
        } else if (module.name[0] == '\0') {
          // Under Wine this asks for memory from the process heap: only for modules that
          // export nothing.
          static wchar_t path[MAX_PATH];
          if (K32GetMappedFileNameW(memory.process(), info.BaseAddress, path, MAX_PATH) > 0) {
            BaseName(path, module.name, sizeof module.name);
          }
        }
        if (module.name[0] != '\0') ++count;
      }
    }
    const uint32_t next = regionBase + static_cast<uint32_t>(info.RegionSize);
    if (next <= at) break;
    at = next;
  }
  return count;
}

std::size_t SuspendAndReadThreads(ProcessMemory& memory, DWORD processId, DWORD skipThreadId,
                                  MinidumpThread* threads, HANDLE* handles, std::size_t capacity) {
  void* block = nullptr;
  const uint8_t* entry = QueryProcesses(&block);
  if (entry == nullptr) return 0;
  const DWORD priorityClass = GetPriorityClass(memory.process());
  std::size_t count = 0;
  for (;;) {
    if (Word(entry + kProcessId) == processId) {
      const uint32_t listed = Word(entry + kProcessThreadCount);
      for (uint32_t i = 0; i < listed && count < capacity; ++i) {
        const DWORD id = Word(entry + kProcessThreads + i * kThreadInfoSize + kThreadInfoThreadId);
        if (id == skipThreadId) continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                       THREAD_QUERY_INFORMATION,
                                   FALSE, id);
        if (thread == nullptr) continue;
        MinidumpThread& out = threads[count];
        std::memset(&out, 0, sizeof out);
        out.id = id;
        const DWORD previous = SuspendThread(thread);
        out.suspendCount = previous == static_cast<DWORD>(-1) ? 0 : previous;
        out.priorityClass = priorityClass;
        out.priority = GetThreadPriority(thread);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_FULL | CONTEXT_FLOATING_POINT | CONTEXT_EXTENDED_REGISTERS;
        if (GetThreadContext(thread, &context)) StoreContext(context, out.context);
        ThreadBasics basic = {};
        ULONG got = 0;
        if (NtQueryInformationThread(thread, static_cast<THREADINFOCLASS>(0), &basic, sizeof basic,
                                     &got) >= 0) {
          out.teb = reinterpret_cast<uint32_t>(basic.tebBaseAddress);
          memory.Read(out.teb + kTebStackBase, &out.stackTop, sizeof out.stackTop);
        }
        handles[count++] = thread;
      }
      break;
    }
    const uint32_t next = Word(entry);
    if (next == 0) break;
    entry += next;
  }
  VirtualFree(block, 0, MEM_RELEASE);
  return count;
}

void ResumeThreads(HANDLE* handles, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    ResumeThread(handles[i]);
    CloseHandle(handles[i]);
  }
}

void ReadSystem(MinidumpSystem& system) {
  std::memset(&system, 0, sizeof system);
  SYSTEM_INFO info;
  GetNativeSystemInfo(&info);
  system.processorLevel = info.wProcessorLevel;
  system.processorRevision = info.wProcessorRevision;
  system.processorCount = static_cast<uint8_t>(info.dwNumberOfProcessors);
  RTL_OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (RtlGetVersion(reinterpret_cast<RTL_OSVERSIONINFOW*>(&version)) >= 0) {
    system.majorVersion = version.dwMajorVersion;
    system.minorVersion = version.dwMinorVersion;
    system.buildNumber = version.dwBuildNumber;
    system.platformId = version.dwPlatformId;
    system.productType = version.wProductType;
    system.suiteMask = version.wSuiteMask;
    WideCharToMultiByte(CP_ACP, 0, version.szCSDVersion, -1, system.servicePack,
                        sizeof system.servicePack - 1, nullptr, nullptr);
  }
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    system.cpuVendor[0] = b;
    system.cpuVendor[1] = d;
    system.cpuVendor[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    system.cpuVersion = a;
    system.cpuFeatures = d;
  }
  if (__get_cpuid(0x80000001, &a, &b, &c, &d)) system.cpuAmdFeatures = d;
}

void StoreContext(const CONTEXT& context, uint8_t (&out)[kX86ContextSize]) {
  static_assert(sizeof(CONTEXT) == kX86ContextSize, "the 32-bit CONTEXT");
  std::memcpy(out, &context, sizeof out);
}
