#include "report/minidump_writer.h"

#include <cstring>

namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kFormatVersion = 0xA793;

constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kMiscInfoStream = 15;
constexpr uint32_t kStreamCount = 6;

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDirectoryEntrySize = 12;
constexpr std::size_t kSystemInfoSize = 56;
constexpr std::size_t kMiscInfoSize = 24;
constexpr std::size_t kExceptionStreamSize = 168;
constexpr std::size_t kThreadSize = 48;
constexpr std::size_t kModuleSize = 108;
constexpr std::size_t kMemoryDescriptorSize = 16;
constexpr std::size_t kFixedFileInfoSize = 52;

constexpr uint32_t kMiscProcessId = 1;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kCodeViewSignature = 0x53445352;  // "RSDS"
constexpr uint32_t kResourceVersionType = 16;        // RT_VERSION
constexpr uint32_t kResourceSubdirectory = 0x80000000;
constexpr uint32_t kPageSize = 0x1000;
constexpr std::size_t kMaxMemoryRanges = kMinidumpMaxThreads + 1;
// A corrupt resource directory could claim 65535 entries; the version is among the first few.
constexpr uint32_t kMaxResourceEntries = 512;

struct Location {
  uint32_t size;
  uint32_t rva;
};

struct MemoryRange {
  uint32_t start;
  uint32_t size;
  uint32_t rva;
};

// The dump under construction: pieces are appended at 4-byte boundaries and filled in place.
// Every store is checked against what was appended, so nothing lands past capacity.
class Output {
 public:
  Output(uint8_t* out, uint32_t capacity) : out_(out), capacity_(capacity) {}

  uint32_t size() const { return size_; }
  bool failed() const { return failed_; }
  uint32_t Room() const { return capacity_ - Align4Clamped(size_); }
  uint8_t* Tail() { return out_ + Align4Clamped(size_); }

  // Appends length zero bytes; on failure returns 0 and the whole dump is abandoned.
  uint32_t Append(uint32_t length) {
    const uint32_t at = Align4Clamped(size_);
    if (failed_ || length > capacity_ - at) {
      failed_ = true;
      return 0;
    }
    std::memset(out_ + size_, 0, at - size_ + length);
    size_ = at + length;
    return at;
  }
  // Takes length bytes already placed at Tail(), at most Room().
  uint32_t Commit(uint32_t length) {
    const uint32_t at = Align4Clamped(size_);
    if (length > capacity_ - at) length = capacity_ - at;
    std::memset(out_ + size_, 0, at - size_);
    size_ = at + length;
    return at;
  }

  void Bytes(uint32_t at, const void* bytes, uint32_t length) {
    if (at <= size_ && length <= size_ - at) std::memcpy(out_ + at, bytes, length);
  }
  void U8(uint32_t at, uint8_t value) { Bytes(at, &value, 1); }
  void U16(uint32_t at, uint16_t value) {
    const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
    Bytes(at, b, 2);
  }
  void U32(uint32_t at, uint32_t value) {
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                          uint8_t(value >> 24)};
    Bytes(at, b, 4);
  }
  void U64(uint32_t at, uint32_t value) {
    U32(at, value);
    U32(at + 4, 0);
  }
  void Loc(uint32_t at, Location location) {
    U32(at, location.size);
    U32(at + 4, location.rva);
  }

 private:
  uint32_t Align4Clamped(uint32_t value) const {
    const uint64_t aligned = (uint64_t(value) + 3) & ~uint64_t(3);
    return aligned > capacity_ ? capacity_ : uint32_t(aligned);
  }

  uint8_t* out_;
  uint32_t capacity_;
  uint32_t size_ = 0;
  bool failed_ = false;
};

bool Read16(MemoryReader& memory, uint32_t address, uint32_t* value) {
  uint8_t b[2];
  if (!memory.Read(address, b, sizeof b)) return false;
  *value = b[0] | uint32_t(b[1]) << 8;
  return true;
}

bool Read32(MemoryReader& memory, uint32_t address, uint32_t* value) {
  uint8_t b[4];
  if (!memory.Read(address, b, sizeof b)) return false;
  *value = b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  return true;
}

// Copies the readable start of [start, start + length) page by page: an unreadable page ends the
// copy there instead of losing the whole range. Returns the bytes copied.
uint32_t CopyForward(MemoryReader& memory, uint32_t start, uint32_t length, uint8_t* to) {
  uint32_t done = 0;
  while (done < length) {
    const uint32_t at = start + done;
    uint32_t chunk = kPageSize - (at & (kPageSize - 1));
    if (chunk > length - done) chunk = length - done;
    if (!memory.Read(at, to + done, chunk)) break;
    done += chunk;
  }
  return done;
}

// The same towards lower addresses: copies the readable end of [end - length, end) to the end of
// to[0, length). Returns the bytes copied.
uint32_t CopyBackward(MemoryReader& memory, uint32_t end, uint32_t length, uint8_t* to) {
  uint32_t done = 0;
  while (done < length) {
    const uint32_t at = end - done;
    uint32_t chunk = ((at - 1) & (kPageSize - 1)) + 1;
    if (chunk > length - done) chunk = length - done;
    if (!memory.Read(at - chunk, to + length - done - chunk, chunk)) break;
    done += chunk;
  }
  return done;
}

uint32_t ContextWord(const uint8_t* context, std::size_t offset) {
  const uint8_t* b = context + offset;
  return b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// [start, end) of the stack a thread should keep, end exclusive and at most 2^32.
struct Window {
  uint32_t start;
  uint64_t end;
};

Window StackWindow(const MinidumpThread& thread, bool crashing) {
  const uint32_t esp = ContextWord(thread.context, kX86ContextEsp);
  const uint32_t bound = crashing ? kMinidumpCrashStackBytes : kMinidumpThreadStackBytes;
  uint64_t end = uint64_t(esp) + bound;
  if (end > 0x100000000ull) end = 0x100000000ull;
  if (thread.stackTop > esp && thread.stackTop < end) end = thread.stackTop;
  return {esp, end};
}

std::size_t WidenUtf8(const char* name, uint16_t* out, std::size_t capacity) {
  std::size_t written = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(name);
  while (*s != 0 && written < capacity) {
    uint32_t code = *s;
    std::size_t length = 1;
    if (code >= 0xC2 && code <= 0xF4) {
      const std::size_t need = code >= 0xF0 ? 4 : code >= 0xE0 ? 3 : 2;
      uint32_t value = code & (0x3F >> (need - 1));
      std::size_t i = 1;
      for (; i < need && (s[i] & 0xC0) == 0x80; ++i) value = value << 6 | (s[i] & 0x3F);
      const bool shortest =
          (need == 3 && value >= 0x800) || (need == 4 && value >= 0x10000) || need == 2;
      if (i == need && shortest && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
        code = value;
        length = need;
      }
    }
    if (code >= 0x10000) {
      if (capacity - written < 2) break;
      code -= 0x10000;
      out[written++] = uint16_t(0xD800 | code >> 10);
      code = 0xDC00 | (code & 0x3FF);
    }
    out[written++] = uint16_t(code);
    s += length;
  }
  return written;
}

// Appends a MINIDUMP_STRING: byte length, UTF-16 units, a NUL unit not counted.
uint32_t AppendString(Output& output, const uint16_t* units, std::size_t count) {
  const uint32_t at = output.Append(uint32_t(4 + 2 * count + 2));
  output.U32(at, uint32_t(2 * count));
  for (std::size_t i = 0; i < count; ++i) output.U16(at + 4 + uint32_t(2 * i), units[i]);
  return at;
}

// The image's own checksum and the VS_FIXEDFILEINFO of its version resource; zeros for whatever
// cannot be found or read.
void ReadImageFacts(MemoryReader& memory, uint32_t base, uint32_t* checksum,
                    uint8_t (&version)[kFixedFileInfoSize]) {
  *checksum = 0;
  std::memset(version, 0, sizeof version);
  uint32_t value = 0;
  uint32_t peOffset = 0;
  if (!Read16(memory, base, &value) || value != 0x5A4D ||  // "MZ"
      !Read32(memory, base + 0x3C, &peOffset) || !Read32(memory, base + peOffset, &value) ||
      value != 0x00004550) {  // "PE\0\0"
    return;
  }
  const uint32_t optional = base + peOffset + 24;
  uint32_t magic = 0;
  if (!Read16(memory, optional, &magic) || (magic != 0x10B && magic != 0x20B)) return;
  Read32(memory, optional + 64, checksum);
  // PE32+ widens four fields before the directories by 4 bytes each.
  const uint32_t directories = optional + (magic == 0x10B ? 96 : 112);
  uint32_t directoryCount = 0;
  uint32_t resources = 0;
  if (!Read32(memory, directories - 4, &directoryCount) || directoryCount < 3 ||
      !Read32(memory, directories + 2 * 8, &resources) || resources == 0) {
    return;
  }

  // Type (RT_VERSION), then the first name, then the first language, then the data entry.
  const uint32_t root = base + resources;
  uint32_t directory = root;
  for (int level = 0; level < 3; ++level) {
    uint32_t named = 0;
    uint32_t ids = 0;
    if (!Read16(memory, directory + 12, &named) || !Read16(memory, directory + 14, &ids)) return;
    uint32_t target = 0;
    bool found = false;
    if (level == 0) {
      // Id entries follow the named ones, in ascending order.
      for (uint32_t i = 0; i < ids && i < kMaxResourceEntries && !found; ++i) {
        uint32_t id = 0;
        const uint32_t entry = directory + 16 + (named + i) * 8;
        if (!Read32(memory, entry, &id) || id > kResourceVersionType) return;
        found = id == kResourceVersionType && Read32(memory, entry + 4, &target);
      }
    } else {
      found = named + ids > 0 && Read32(memory, directory + 16 + 4, &target);
    }
    if (!found) return;
    const bool subdirectory = (target & kResourceSubdirectory) != 0;
    if (subdirectory != (level < 2)) return;
    directory = root + (target & ~kResourceSubdirectory);
  }
  uint32_t dataRva = 0;
  uint32_t dataSize = 0;
  if (!Read32(memory, directory, &dataRva) || !Read32(memory, directory + 4, &dataSize)) return;

  // VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO", padding to 4, the value.
  static const char kKey[] = "VS_VERSION_INFO";
  constexpr uint32_t kValueOffset = 40;
  uint8_t head[kValueOffset];
  uint8_t value52[kFixedFileInfoSize];
  const uint32_t block = base + dataRva;
  if (dataSize < kValueOffset + kFixedFileInfoSize || !memory.Read(block, head, sizeof head) ||
      (head[2] | head[3] << 8) < int(kFixedFileInfoSize) ||
      !memory.Read(block + kValueOffset, value52, sizeof value52)) {
    return;
  }
  for (std::size_t i = 0; i < sizeof kKey; ++i) {
    if (head[6 + 2 * i] != uint8_t(kKey[i]) || head[7 + 2 * i] != 0) return;
  }
  const uint32_t signature = value52[0] | uint32_t(value52[1]) << 8 | uint32_t(value52[2]) << 16 |
                             uint32_t(value52[3]) << 24;
  if (signature == kFixedFileInfoSignature) std::memcpy(version, value52, sizeof version);
}

// Places memory ranges after the streams, most wanted first, each cut to the room left once the
// memory list that will describe them is reserved. Ranges never overlap: a later range that
// starts inside an earlier one is served from its bytes.
class MemoryPlacer {
 public:
  MemoryPlacer(Output& output, MemoryReader& memory) : output_(output), memory_(memory) {}

  // Bytes the next range may take.
  uint32_t Room() const {
    const uint64_t reserve = 4 + kMemoryDescriptorSize * (uint64_t(count_) + 1) + 3;
    return output_.Room() > reserve ? uint32_t(output_.Room() - reserve) : 0;
  }

  // The readable bytes of [anchor - before, anchor + after) that adjoin anchor.
  MemoryRange PlaceAround(uint32_t anchor, uint32_t before, uint32_t after) {
    if (count_ == kMaxMemoryRanges) return {anchor, 0, 0};
    const uint32_t room = Room();
    if (before + after > room) {
      before = before < room / 2 ? before : room / 2;
      after = room - before < after ? room - before : after;
    }
    uint8_t* to = output_.Tail();
    const uint32_t below = CopyBackward(memory_, anchor, before, to);
    const uint32_t above = CopyForward(memory_, anchor, after, to + before);
    std::memmove(to, to + before - below, below + above);
    return Keep(anchor - below, below + above);
  }

  // The readable start of window, or the part of an earlier range it starts in.
  MemoryRange PlaceStack(Window window) {
    for (std::size_t i = 0; i < count_; ++i) {
      const MemoryRange& r = ranges_[i];
      const uint32_t offset = window.start - r.start;
      if (window.start >= r.start && offset < r.size) {
        uint64_t size = r.size - offset;
        if (window.end - window.start < size) size = window.end - window.start;
        return {window.start, uint32_t(size), r.rva + offset};
      }
      if (r.start > window.start && r.start < window.end) window.end = r.start;
    }
    if (count_ == kMaxMemoryRanges) return {window.start, 0, 0};
    uint64_t length = window.end - window.start;
    if (length > Room()) length = Room();
    return Keep(window.start, CopyForward(memory_, window.start, uint32_t(length), output_.Tail()));
  }

  // Appends the memory list after the ranges; false when it does not fit.
  bool Finish(Location* list) {
    const uint32_t at = output_.Append(uint32_t(4 + kMemoryDescriptorSize * count_));
    if (output_.failed()) return false;
    output_.U32(at, uint32_t(count_));
    for (std::size_t i = 0; i < count_; ++i) {
      const uint32_t d = at + 4 + uint32_t(kMemoryDescriptorSize * i);
      output_.U64(d, ranges_[i].start);
      output_.Loc(d + 8, {ranges_[i].size, ranges_[i].rva});
    }
    *list = {uint32_t(4 + kMemoryDescriptorSize * count_), at};
    return true;
  }

 private:
  MemoryRange Keep(uint32_t start, uint32_t size) {
    if (size == 0) return {start, 0, 0};
    const MemoryRange range = {start, size, output_.Commit(size)};
    ranges_[count_++] = range;
    return range;
  }

  Output& output_;
  MemoryReader& memory_;
  MemoryRange ranges_[kMaxMemoryRanges];
  std::size_t count_ = 0;
};

}  // namespace

std::size_t WriteMinidump(const MinidumpInput& input, MemoryReader& memory, uint8_t* out,
                          std::size_t capacity) {
  if (out == nullptr || input.threads == nullptr || input.exceptionContext == nullptr) return 0;
  // RVAs are 32-bit: a dump never grows past 4 GB.
  Output output(out, capacity > 0xFFFFFFF0u ? 0xFFFFFFF0u : uint32_t(capacity));
  std::size_t moduleCount = input.modules != nullptr ? input.moduleCount : 0;
  if (moduleCount > kMaxStackModules) moduleCount = kMaxStackModules;

  // The threads kept: the first ones, and the crashing thread in any case.
  uint16_t kept[kMinidumpMaxThreads];
  std::size_t threadCount = 0;
  std::size_t crashing = kMinidumpMaxThreads;  // its index among kept
  for (std::size_t i = 0; i < input.threadCount; ++i) {
    const bool isCrash = input.threads[i].id == input.crashThreadId;
    if (isCrash && crashing == kMinidumpMaxThreads) {
      if (threadCount == kMinidumpMaxThreads) --threadCount;
      crashing = threadCount;
      kept[threadCount++] = uint16_t(i);
    } else if (threadCount < kMinidumpMaxThreads) {
      kept[threadCount++] = uint16_t(i);
    }
  }

  const uint32_t header = output.Append(kHeaderSize);
  const uint32_t directory = output.Append(kStreamCount * kDirectoryEntrySize);
  const uint32_t system = output.Append(kSystemInfoSize);
  const uint32_t misc = output.Append(kMiscInfoSize);
  const uint32_t exception = output.Append(kExceptionStreamSize);
  const uint32_t threadList = output.Append(uint32_t(4 + kThreadSize * threadCount));
  const uint32_t moduleList = output.Append(uint32_t(4 + kModuleSize * moduleCount));
  if (output.failed()) return 0;

  const MinidumpSystem& s = input.system;
  uint16_t units[sizeof s.servicePack];
  std::size_t unitCount = 0;
  for (; unitCount < sizeof s.servicePack && s.servicePack[unitCount] != '\0'; ++unitCount) {
    units[unitCount] = static_cast<unsigned char>(s.servicePack[unitCount]);
  }
  const uint32_t servicePack = AppendString(output, units, unitCount);
  output.U16(system + 0, 0);  // PROCESSOR_ARCHITECTURE_INTEL
  output.U16(system + 2, s.processorLevel);
  output.U16(system + 4, s.processorRevision);
  output.U8(system + 6, s.processorCount);
  output.U8(system + 7, s.productType);
  output.U32(system + 8, s.majorVersion);
  output.U32(system + 12, s.minorVersion);
  output.U32(system + 16, s.buildNumber);
  output.U32(system + 20, s.platformId);
  output.U32(system + 24, servicePack);
  output.U16(system + 28, s.suiteMask);
  for (int i = 0; i < 3; ++i) output.U32(system + 32 + 4 * i, s.cpuVendor[i]);
  output.U32(system + 44, s.cpuVersion);
  output.U32(system + 48, s.cpuFeatures);
  output.U32(system + 52, s.cpuAmdFeatures);

  output.U32(misc + 0, kMiscInfoSize);
  output.U32(misc + 4, kMiscProcessId);
  output.U32(misc + 8, input.processId);

  output.U32(threadList, uint32_t(threadCount));
  Location crashContext = {0, 0};
  for (std::size_t i = 0; i < threadCount; ++i) {
    const MinidumpThread& thread = input.threads[kept[i]];
    const uint32_t t = threadList + 4 + uint32_t(kThreadSize * i);
    const Location context = {uint32_t(kX86ContextSize), output.Append(uint32_t(kX86ContextSize))};
    output.Bytes(context.rva, thread.context, kX86ContextSize);
    output.U32(t + 0, thread.id);
    output.U32(t + 4, thread.suspendCount);
    output.U32(t + 8, thread.priorityClass);
    output.U32(t + 12, uint32_t(thread.priority));
    output.U64(t + 16, thread.teb);
    output.U64(t + 24, ContextWord(thread.context, kX86ContextEsp));
    output.Loc(t + 40, context);
    if (i == crashing) crashContext = context;
  }
  if (crashing == kMinidumpMaxThreads ||
      std::memcmp(input.threads[kept[crashing]].context, input.exceptionContext, kX86ContextSize) !=
          0) {
    crashContext = {uint32_t(kX86ContextSize), output.Append(uint32_t(kX86ContextSize))};
    output.Bytes(crashContext.rva, input.exceptionContext, kX86ContextSize);
  }

  output.U32(exception + 0, input.crashThreadId);
  output.U32(exception + 8, input.exceptionCode);
  output.U32(exception + 12, input.exceptionFlags);
  output.U64(exception + 16, input.exceptionRecordAddress);
  output.U64(exception + 24, input.exceptionAddress);
  const uint32_t parameters =
      input.exceptionParameterCount < 15 ? input.exceptionParameterCount : 15;
  output.U32(exception + 32, parameters);
  for (uint32_t i = 0; i < parameters; ++i) {
    output.U64(exception + 40 + 8 * i, input.exceptionParameters[i]);
  }
  output.Loc(exception + 160, crashContext);

  output.U32(moduleList, uint32_t(moduleCount));
  for (std::size_t i = 0; i < moduleCount && !output.failed(); ++i) {
    const StackModule& module = input.modules[i];
    const uint32_t m = moduleList + 4 + uint32_t(kModuleSize * i);
    uint32_t checksum = 0;
    uint8_t version[kFixedFileInfoSize];
    ReadImageFacts(memory, module.base, &checksum, version);
    output.U64(m + 0, module.base);
    output.U32(m + 8, module.size);
    output.U32(m + 12, checksum);
    output.U32(m + 16, module.timestamp);
    output.Bytes(m + 24, version, sizeof version);

    char name[kModuleNameSize + 1];
    std::memcpy(name, module.name, kModuleNameSize);
    name[kModuleNameSize] = '\0';
    uint16_t wide[kModuleNameSize];
    const std::size_t wideCount = input.widenName != nullptr
                                      ? input.widenName(name, wide, kModuleNameSize)
                                      : WidenUtf8(name, wide, kModuleNameSize);
    output.U32(m + 20, AppendString(output, wide,
                                    wideCount < kModuleNameSize ? wideCount : kModuleNameSize));
    if (module.hasCodeView) {
      std::size_t fileLength = 0;
      while (fileLength < kDebugFileSize - 1 && module.debugFile[fileLength] != '\0') ++fileLength;
      const uint32_t size = uint32_t(24 + fileLength + 1);
      const uint32_t cv = output.Append(size);
      output.U32(cv, kCodeViewSignature);
      output.Bytes(cv + 4, module.guid, sizeof module.guid);
      output.U32(cv + 20, module.age);
      output.Bytes(cv + 24, module.debugFile, uint32_t(fileLength));
      output.Loc(m + 76, {size, cv});
    }
  }
  if (output.failed()) return 0;

  // Memory, most wanted first: the faulting code, the crashing thread's stack, the others'. The
  // code is kept out of any stack window, so that the stacks it would overlap are never cut.
  Window stacks[kMinidumpMaxThreads];
  for (std::size_t i = 0; i < threadCount; ++i) {
    stacks[i] = StackWindow(input.threads[kept[i]], i == crashing);
  }
  const uint32_t eip = input.exceptionAddress;
  uint32_t before = eip < kMinidumpCodeBytes ? eip : kMinidumpCodeBytes;
  const uint64_t toTop = 0x100000000ull - eip;
  uint32_t after = toTop < kMinidumpCodeBytes ? uint32_t(toTop) : kMinidumpCodeBytes;
  for (std::size_t i = 0; i < threadCount; ++i) {
    const Window& w = stacks[i];
    if (eip >= w.start && eip < w.end) {
      before = after = 0;
    } else if (w.end <= eip && w.end > uint64_t(eip) - before) {
      before = uint32_t(eip - w.end);
    } else if (w.start > eip && w.start - eip < after) {
      after = w.start - eip;
    }
  }
  MemoryPlacer placer(output, memory);
  if (before + after > 0) placer.PlaceAround(eip, before, after);
  for (std::size_t pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < threadCount; ++i) {
      if ((i == crashing) != (pass == 0)) continue;
      const MemoryRange stack = placer.PlaceStack(stacks[i]);
      const uint32_t t = threadList + 4 + uint32_t(kThreadSize * i);
      output.Loc(t + 32, {stack.size, stack.rva});
    }
  }
  Location memoryList;
  if (!placer.Finish(&memoryList)) return 0;

  const Location streams[kStreamCount] = {
      {uint32_t(4 + kThreadSize * threadCount), threadList},
      {uint32_t(4 + kModuleSize * moduleCount), moduleList},
      memoryList,
      {kExceptionStreamSize, exception},
      {kSystemInfoSize, system},
      {kMiscInfoSize, misc},
  };
  const uint32_t types[kStreamCount] = {kThreadListStream, kModuleListStream, kMemoryListStream,
                                        kExceptionStream,  kSystemInfoStream, kMiscInfoStream};
  for (uint32_t i = 0; i < kStreamCount; ++i) {
    output.U32(directory + i * kDirectoryEntrySize, types[i]);
    output.Loc(directory + i * kDirectoryEntrySize + 4, streams[i]);
  }
  output.U32(header + 0, kSignature);
  output.U32(header + 4, kFormatVersion);
  output.U32(header + 8, kStreamCount);
  output.U32(header + 12, directory);
  output.U32(header + 20, input.timeDateStamp);
  return output.size();
}
