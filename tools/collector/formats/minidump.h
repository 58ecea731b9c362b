#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// Bytes inside the buffer ParseMinidump was given: valid only as long as that buffer is.
struct ByteView {
  const uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The general registers of a 32-bit Windows CONTEXT.
struct X86Context {
  static constexpr std::size_t kSize = 716;  // with the 512 bytes of ExtendedRegisters
  // Enough to hold every general register: writers may leave the extended registers out.
  static constexpr std::size_t kMinSize = 0xCC;

  bool present = false;
  uint32_t contextFlags = 0;
  uint32_t gs = 0, fs = 0, es = 0, ds = 0;
  uint32_t edi = 0, esi = 0, ebx = 0, edx = 0, ecx = 0, eax = 0;
  uint32_t ebp = 0, eip = 0, cs = 0, eflags = 0, esp = 0, ss = 0;
  ByteView raw;  // the whole record as stored
};

struct Minidump {
  struct SystemInfo {
    bool present = false;
    uint16_t processorArchitecture = 0;  // 0: x86
    uint16_t processorLevel = 0;
    uint16_t processorRevision = 0;
    uint8_t processorCount = 0;
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
    uint32_t buildNumber = 0;
    uint32_t platformId = 0;
    std::string csdVersion;  // e.g. "Service Pack 1", UTF-8
  };

  struct Exception {
    bool present = false;
    uint32_t threadId = 0;
    uint32_t code = 0;
    uint32_t flags = 0;
    uint64_t recordAddress = 0;
    uint64_t address = 0;
    std::vector<uint64_t> parameters;  // at most 15
    X86Context context;
  };

  struct Thread {
    uint32_t id = 0;
    uint32_t suspendCount = 0;
    uint32_t priorityClass = 0;
    int32_t priority = 0;
    uint64_t teb = 0;
    uint64_t stackStart = 0;
    ByteView stack;
    X86Context context;
  };

  struct Module {
    uint64_t base = 0;
    uint32_t size = 0;
    uint32_t checksum = 0;
    uint32_t timestamp = 0;
    std::string name;         // as stored (usually a full path), UTF-8
    bool hasVersion = false;  // a VS_FIXEDFILEINFO with its signature
    uint32_t fileVersionMS = 0, fileVersionLS = 0;
    uint32_t productVersionMS = 0, productVersionLS = 0;
    bool hasCodeView = false;  // an RSDS record
    uint8_t guid[16] = {};
    uint32_t age = 0;
    std::string pdbName;

    // GUID and age as symbol servers spell them, "" without CodeView.
    std::string DebugId() const;
    // TimeDateStamp %08X and SizeOfImage %x, the key of an image on a symbol server.
    std::string CodeId() const;
  };

  struct MemoryRange {
    uint64_t start = 0;
    ByteView bytes;
  };

  uint32_t timestamp = 0;  // header TimeDateStamp, seconds since 1970 UTC
  SystemInfo system;
  bool hasProcessId = false;
  uint32_t processId = 0;
  Exception exception;
  std::vector<Thread> threads;
  std::vector<Module> modules;
  std::vector<MemoryRange> memory;

  // Copies size bytes at address from a thread stack or a memory range holding all of them.
  bool Read(uint64_t address, void* out, std::size_t size) const;
};

// Reads a minidump from untrusted bytes without reading outside them. Streams of unknown types
// are skipped; anything a known stream points at must lie inside the input. On failure returns
// false and, when error is not null, says why. Views in *out point into data.
bool ParseMinidump(const uint8_t* data, std::size_t size, Minidump* out, std::string* error);

}  // namespace collector
