#include "minidump.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace collector {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kVersion = 0xA793;
constexpr uint64_t kHeaderSize = 32;
constexpr uint64_t kDirectoryEntrySize = 12;
constexpr uint64_t kThreadSize = 48;
constexpr uint64_t kModuleSize = 108;
constexpr uint64_t kMemoryDescriptorSize = 16;
constexpr uint64_t kExceptionStreamSize = 168;
constexpr uint64_t kSystemInfoSize = 56;
constexpr uint64_t kMiscInfoMinSize = 12;
constexpr uint32_t kMiscProcessId = 1;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kMaxExceptionParameters = 15;

enum StreamType : uint32_t {
  kThreadList = 3,
  kModuleList = 4,
  kMemoryList = 5,
  kException = 6,
  kSystemInfo = 7,
  kMiscInfo = 15,
};

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Has(uint64_t offset, uint64_t size) const {
    return offset <= size_ && size <= size_ - offset;
  }
  uint32_t U8(uint64_t at) const { return data_[at]; }
  uint32_t U16(uint64_t at) const { return U8(at) | (U8(at + 1) << 8); }
  uint32_t U32(uint64_t at) const { return U16(at) | (U16(at + 2) << 16); }
  uint64_t U64(uint64_t at) const { return U32(at) | (static_cast<uint64_t>(U32(at + 4)) << 32); }
  ByteView View(uint64_t at, uint64_t size) const {
    return ByteView{data_ + at, static_cast<std::size_t>(size)};
  }
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
};

struct Location {
  uint32_t size = 0;
  uint32_t rva = 0;
};

Location LocationAt(const Reader& in, uint64_t at) { return Location{in.U32(at), in.U32(at + 4)}; }

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A MINIDUMP_STRING: a byte length, then UTF-16LE. Unpaired surrogates become U+FFFD.
bool ReadString(const Reader& in, uint32_t rva, std::string& out) {
  out.clear();
  if (!in.Has(rva, 4)) return false;
  uint64_t length = in.U32(rva) & ~1u;
  if (!in.Has(rva + 4ull, length)) return false;
  uint64_t at = rva + 4ull;
  uint64_t end = at + length;
  while (at < end) {
    uint32_t unit = in.U16(at);
    at += 2;
    if (unit >= 0xD800 && unit < 0xDC00 && at < end && in.U16(at) >= 0xDC00 &&
        in.U16(at) < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (in.U16(at) - 0xDC00);
      at += 2;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      unit = 0xFFFD;
    }
    AppendUtf8(out, unit);
  }
  return true;
}

bool ReadContext(const Reader& in, Location where, X86Context& out) {
  out = X86Context();
  if (where.size == 0) return true;  // a thread without context is still a thread
  if (where.size < X86Context::kMinSize || !in.Has(where.rva, where.size)) return false;
  uint64_t c = where.rva;
  out.present = true;
  out.contextFlags = in.U32(c);
  out.gs = in.U32(c + 0x8C);
  out.fs = in.U32(c + 0x90);
  out.es = in.U32(c + 0x94);
  out.ds = in.U32(c + 0x98);
  out.edi = in.U32(c + 0x9C);
  out.esi = in.U32(c + 0xA0);
  out.ebx = in.U32(c + 0xA4);
  out.edx = in.U32(c + 0xA8);
  out.ecx = in.U32(c + 0xAC);
  out.eax = in.U32(c + 0xB0);
  out.ebp = in.U32(c + 0xB4);
  out.eip = in.U32(c + 0xB8);
  out.cs = in.U32(c + 0xBC);
  out.eflags = in.U32(c + 0xC0);
  out.esp = in.U32(c + 0xC4);
  out.ss = in.U32(c + 0xC8);
  out.raw = in.View(c, where.size);
  return true;
}

class Parser {
 public:
  Parser(const Reader& in, Minidump& out) : in_(in), out_(out) {}

  bool Run(std::string& error);

 private:
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  // Where a list's entries start: after its count, or after 4 more bytes of padding, which
  // some writers add so that 64-bit fields stay aligned.
  bool ListEntries(Location stream, uint64_t entrySize, const char* what, uint64_t& first,
                   uint32_t& count);
  bool Threads(Location stream);
  bool Modules(Location stream);
  bool Memory(Location stream);
  bool ExceptionStream(Location stream);
  bool System(Location stream);
  bool Misc(Location stream);

  const Reader& in_;
  Minidump& out_;
  std::string error_;
};

bool Parser::ListEntries(Location stream, uint64_t entrySize, const char* what, uint64_t& first,
                         uint32_t& count) {
  if (stream.size < 4) return Fail(std::string(what) + " stream too short");
  count = in_.U32(stream.rva);
  // The stream lies inside the input, so this also bounds the count by the input's size.
  uint64_t room = stream.size - 4;
  if (count > room / entrySize) {
    return Fail(std::string(what) + " stream claims " + std::to_string(count) +
                " entries, more than it holds");
  }
  first = stream.rva + 4ull;
  if (room == count * entrySize + 4) first += 4;
  return true;
}

bool Parser::Threads(Location stream) {
  uint64_t at = 0;
  uint32_t count = 0;
  if (!ListEntries(stream, kThreadSize, "thread list", at, count)) return false;
  out_.threads.reserve(count);
  for (uint32_t i = 0; i < count; ++i, at += kThreadSize) {
    Minidump::Thread thread;
    thread.id = in_.U32(at);
    thread.suspendCount = in_.U32(at + 4);
    thread.priorityClass = in_.U32(at + 8);
    thread.priority = static_cast<int32_t>(in_.U32(at + 12));
    thread.teb = in_.U64(at + 16);
    thread.stackStart = in_.U64(at + 24);
    Location stack = LocationAt(in_, at + 32);
    if (!in_.Has(stack.rva, stack.size)) {
      return Fail("thread " + std::to_string(i) + ": stack outside the file");
    }
    thread.stack = in_.View(stack.rva, stack.size);
    if (!ReadContext(in_, LocationAt(in_, at + 40), thread.context)) {
      return Fail("thread " + std::to_string(i) + ": context outside the file or too short");
    }
    out_.threads.push_back(thread);
  }
  return true;
}

bool Parser::Modules(Location stream) {
  uint64_t at = 0;
  uint32_t count = 0;
  if (!ListEntries(stream, kModuleSize, "module list", at, count)) return false;
  out_.modules.reserve(count);
  for (uint32_t i = 0; i < count; ++i, at += kModuleSize) {
    Minidump::Module module;
    module.base = in_.U64(at);
    module.size = in_.U32(at + 8);
    module.checksum = in_.U32(at + 12);
    module.timestamp = in_.U32(at + 16);
    if (!ReadString(in_, in_.U32(at + 20), module.name)) {
      return Fail("module " + std::to_string(i) + ": name outside the file");
    }
    uint64_t version = at + 24;
    module.hasVersion = in_.U32(version) == kFixedFileInfoSignature;
    module.fileVersionMS = in_.U32(version + 8);
    module.fileVersionLS = in_.U32(version + 12);
    module.productVersionMS = in_.U32(version + 16);
    module.productVersionLS = in_.U32(version + 20);
    Location cv = LocationAt(in_, at + 76);
    if (!in_.Has(cv.rva, cv.size)) {
      return Fail("module " + std::to_string(i) + ": CodeView record outside the file");
    }
    if (cv.size >= 24 && std::memcmp(in_.data() + cv.rva, "RSDS", 4) == 0) {
      module.hasCodeView = true;
      std::memcpy(module.guid, in_.data() + cv.rva + 4, sizeof(module.guid));
      module.age = in_.U32(cv.rva + 20);
      for (uint64_t c = cv.rva + 24ull; c < cv.rva + uint64_t{cv.size} && in_.U8(c) != 0; ++c) {
        module.pdbName += static_cast<char>(in_.U8(c));
      }
    }
    out_.modules.push_back(std::move(module));
  }
  return true;
}

bool Parser::Memory(Location stream) {
  uint64_t at = 0;
  uint32_t count = 0;
  if (!ListEntries(stream, kMemoryDescriptorSize, "memory list", at, count)) return false;
  out_.memory.reserve(count);
  for (uint32_t i = 0; i < count; ++i, at += kMemoryDescriptorSize) {
    Minidump::MemoryRange range;
    range.start = in_.U64(at);
    Location bytes = LocationAt(in_, at + 8);
    if (!in_.Has(bytes.rva, bytes.size)) {
      return Fail("memory range " + std::to_string(i) + " outside the file");
    }
    range.bytes = in_.View(bytes.rva, bytes.size);
    out_.memory.push_back(range);
  }
  return true;
}

bool Parser::ExceptionStream(Location stream) {
  if (stream.size < kExceptionStreamSize) return Fail("exception stream too short");
  uint64_t at = stream.rva;
  Minidump::Exception& e = out_.exception;
  e.present = true;
  e.threadId = in_.U32(at);
  e.code = in_.U32(at + 8);
  e.flags = in_.U32(at + 12);
  e.recordAddress = in_.U64(at + 16);
  e.address = in_.U64(at + 24);
  uint32_t count = in_.U32(at + 32);
  if (count > kMaxExceptionParameters) return Fail("exception record claims too many parameters");
  for (uint32_t i = 0; i < count; ++i) e.parameters.push_back(in_.U64(at + 40 + 8ull * i));
  if (!ReadContext(in_, LocationAt(in_, at + 160), e.context)) {
    return Fail("exception context outside the file or too short");
  }
  return true;
}

bool Parser::System(Location stream) {
  if (stream.size < kSystemInfoSize) return Fail("system info stream too short");
  uint64_t at = stream.rva;
  Minidump::SystemInfo& s = out_.system;
  s.present = true;
  s.processorArchitecture = static_cast<uint16_t>(in_.U16(at));
  s.processorLevel = static_cast<uint16_t>(in_.U16(at + 2));
  s.processorRevision = static_cast<uint16_t>(in_.U16(at + 4));
  s.processorCount = static_cast<uint8_t>(in_.U8(at + 6));
  s.majorVersion = in_.U32(at + 8);
  s.minorVersion = in_.U32(at + 12);
  s.buildNumber = in_.U32(at + 16);
  s.platformId = in_.U32(at + 20);
  uint32_t csd = in_.U32(at + 24);
  if (csd != 0 && !ReadString(in_, csd, s.csdVersion)) {
    return Fail("service pack string outside the file");
  }
  return true;
}

bool Parser::Misc(Location stream) {
  if (stream.size < kMiscInfoMinSize) return Fail("misc info stream too short");
  if (in_.U32(stream.rva + 4) & kMiscProcessId) {
    out_.hasProcessId = true;
    out_.processId = in_.U32(stream.rva + 8);
  }
  return true;
}

bool Parser::Run(std::string& error) {
  if (!in_.Has(0, kHeaderSize) || in_.U32(0) != kSignature) {
    error = "not a minidump (no MDMP header)";
    return false;
  }
  if ((in_.U32(4) & 0xFFFF) != kVersion) {
    error = "unknown minidump version";
    return false;
  }
  uint32_t streamCount = in_.U32(8);
  uint32_t directory = in_.U32(12);
  out_.timestamp = in_.U32(20);
  if (!in_.Has(directory, uint64_t{streamCount} * kDirectoryEntrySize)) {
    error = "stream directory outside the file";
    return false;
  }
  bool seen[kMiscInfo + 1] = {};
  for (uint32_t i = 0; i < streamCount; ++i) {
    uint64_t entry = directory + i * kDirectoryEntrySize;
    uint32_t type = in_.U32(entry);
    Location stream = LocationAt(in_, entry + 4);
    bool known = type == kThreadList || type == kModuleList || type == kMemoryList ||
                 type == kException || type == kSystemInfo || type == kMiscInfo;
    // A second stream of a kind would contradict the first; the first one counts.
    if (!known || seen[type]) continue;
    seen[type] = true;
    if (!in_.Has(stream.rva, stream.size)) {
      error = "stream " + std::to_string(type) + " outside the file";
      return false;
    }
    bool ok = true;
    switch (type) {
      case kThreadList:
        ok = Threads(stream);
        break;
      case kModuleList:
        ok = Modules(stream);
        break;
      case kMemoryList:
        ok = Memory(stream);
        break;
      case kException:
        ok = ExceptionStream(stream);
        break;
      case kSystemInfo:
        ok = System(stream);
        break;
      case kMiscInfo:
        ok = Misc(stream);
        break;
    }
    if (!ok) {
      error = error_;
      return false;
    }
  }
  return true;
}

bool CopyFrom(uint64_t start, ByteView bytes, uint64_t address, void* out, std::size_t size) {
  if (address < start || address - start > bytes.size || size > bytes.size - (address - start)) {
    return false;
  }
  if (size != 0) std::memcpy(out, bytes.data + (address - start), size);
  return true;
}

}  // namespace

std::string Minidump::Module::DebugId() const {
  if (!hasCodeView) return "";
  auto le = [this](int at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | guid[at + i];
    return value;
  };
  char text[48];
  std::snprintf(text, sizeof(text), "%08X%04X%04X", le(0, 4), le(4, 2), le(6, 2));
  std::string id = text;
  for (int i = 8; i < 16; ++i) {
    std::snprintf(text, sizeof(text), "%02X", guid[i]);
    id += text;
  }
  std::snprintf(text, sizeof(text), "%X", age);
  return id + text;
}

std::string Minidump::Module::CodeId() const {
  char text[32];
  std::snprintf(text, sizeof(text), "%08X%x", timestamp, size);
  return text;
}

bool Minidump::Read(uint64_t address, void* out, std::size_t size) const {
  for (const Thread& thread : threads) {
    if (CopyFrom(thread.stackStart, thread.stack, address, out, size)) return true;
  }
  for (const MemoryRange& range : memory) {
    if (CopyFrom(range.start, range.bytes, address, out, size)) return true;
  }
  return false;
}

bool ParseMinidump(const uint8_t* data, std::size_t size, Minidump* out, std::string* error) {
  *out = Minidump();
  std::string why;
  Reader in(data == nullptr ? reinterpret_cast<const uint8_t*>("") : data,
            data == nullptr ? 0 : size);
  Parser parser(in, *out);
  if (parser.Run(why)) return true;
  *out = Minidump();
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace collector
