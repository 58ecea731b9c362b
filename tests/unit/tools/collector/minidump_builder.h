#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector_test {

// Lays out a small x86 minidump by hand from the public format, independently of any writer,
// so that the reader is checked against the layout itself.
struct TestDump {
  struct Thread {
    uint32_t id;
    uint64_t stackStart;
    std::string stack;
    uint32_t eip;
    uint32_t esp;
  };
  struct Module {
    uint64_t base;
    uint32_t size;
    uint32_t timestamp;
    std::u16string name;
    std::string codeView;  // the whole record, "" for none
  };
  std::vector<Thread> threads;
  std::vector<Module> modules;
  std::vector<std::pair<uint64_t, std::string>> memory;
  uint32_t crashThread = 0;
  uint32_t code = 0;
  uint32_t exceptionAddress = 0;
};

class DumpBytes {
 public:
  std::string bytes;
  size_t U16(uint32_t v) { return Put(v, 2); }
  size_t U32(uint32_t v) { return Put(v, 4); }
  size_t U64(uint64_t v) { return Put(v, 8); }
  void Set32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  }
  // Appends data and points the location descriptor at `at` to it.
  void Blob(size_t at, const std::string& data) {
    Set32(at, static_cast<uint32_t>(data.size()));
    Set32(at + 4, static_cast<uint32_t>(bytes.size()));
    bytes += data;
  }

 private:
  size_t Put(uint64_t v, int n) {
    size_t at = bytes.size();
    for (int i = 0; i < n; ++i) bytes += static_cast<char>(v >> (8 * i));
    return at;
  }
};

inline std::string X86ContextBytes(uint32_t eip, uint32_t esp) {
  DumpBytes c;
  c.bytes.assign(716, '\0');
  c.Set32(0, 0x1003F);  // CONTEXT_i386 | everything
  c.Set32(0xB8, eip);
  c.Set32(0xC4, esp);
  c.Set32(0xB0, 0xEAEAEAEA);  // eax, to tell the registers apart
  return c.bytes;
}

inline std::string BuildTestMinidump(const TestDump& dump) {
  DumpBytes out;
  constexpr uint32_t kStreams = 5;
  out.U32(0x504D444D);
  out.U32(0xA793);
  out.U32(kStreams);
  out.U32(32);
  out.U32(0);
  out.U32(0x65000000);  // timestamp
  out.U64(0);
  size_t directory = out.bytes.size();
  out.bytes.append(kStreams * 12, '\0');
  auto stream = [&](int index, uint32_t type, size_t start) {
    out.Set32(directory + index * 12, type);
    out.Set32(directory + index * 12 + 4, static_cast<uint32_t>(out.bytes.size() - start));
    out.Set32(directory + index * 12 + 8, static_cast<uint32_t>(start));
  };

  size_t start = out.U32(static_cast<uint32_t>(dump.threads.size()));
  std::vector<size_t> threadAt;
  for (const TestDump::Thread& t : dump.threads) {
    threadAt.push_back(out.U32(t.id));
    out.bytes.append(12, '\0');
    out.U64(0x7FFDE000);  // TEB
    out.U64(t.stackStart);
    out.bytes.append(16, '\0');
  }
  stream(0, 3, start);

  start = out.U32(static_cast<uint32_t>(dump.modules.size()));
  std::vector<size_t> moduleAt;
  for (const TestDump::Module& m : dump.modules) {
    moduleAt.push_back(out.U64(m.base));
    out.U32(m.size);
    out.U32(0);
    out.U32(m.timestamp);
    out.U32(0);
    out.bytes.append(52 + 16 + 16, '\0');
  }
  stream(1, 4, start);

  start = out.U32(static_cast<uint32_t>(dump.memory.size()));
  std::vector<size_t> rangeAt;
  for (const auto& range : dump.memory) {
    out.U64(range.first);
    rangeAt.push_back(out.U64(0));
  }
  stream(2, 5, start);

  start = out.U32(dump.crashThread);
  out.U32(0);
  out.U32(dump.code);
  out.U32(0);
  out.U64(0);
  out.U64(dump.exceptionAddress);
  out.bytes.append(8 + 15 * 8, '\0');
  size_t exceptionContext = out.U64(0);
  stream(3, 6, start);

  start = out.U16(0);  // x86
  out.U16(6);
  out.U16(0x3A09);
  out.bytes += '\2';
  out.bytes += '\1';
  out.U32(6);
  out.U32(1);
  out.U32(7601);
  out.U32(2);
  size_t csd = out.U32(0);
  out.bytes.append(28, '\0');
  stream(4, 7, start);

  for (size_t i = 0; i < dump.threads.size(); ++i) {
    const TestDump::Thread& t = dump.threads[i];
    out.Blob(threadAt[i] + 32, t.stack);
    out.Blob(threadAt[i] + 40, X86ContextBytes(t.eip, t.esp));
  }
  for (size_t i = 0; i < dump.modules.size(); ++i) {
    const TestDump::Module& m = dump.modules[i];
    out.Set32(moduleAt[i] + 20, static_cast<uint32_t>(out.bytes.size()));
    out.U32(static_cast<uint32_t>(m.name.size() * 2));
    for (char16_t c : m.name) out.U16(c);
    out.U16(0);
    if (!m.codeView.empty()) out.Blob(moduleAt[i] + 76, m.codeView);
  }
  for (size_t i = 0; i < dump.memory.size(); ++i) out.Blob(rangeAt[i], dump.memory[i].second);
  out.Blob(exceptionContext, X86ContextBytes(dump.exceptionAddress, 0x0019FF00));
  out.Set32(csd, static_cast<uint32_t>(out.bytes.size()));
  out.U32(28);
  for (char c : std::string("Service Pack 1")) out.U16(static_cast<uint8_t>(c));
  return out.bytes;
}

// A dump with two threads, two modules (one with a CodeView record) and one memory range.
inline std::string SampleMinidump() {
  TestDump dump;
  dump.threads.push_back(
      {0x124, 0x0019F000, std::string("\x11\x22\x33\x44stack", 9), 0x0040155D, 0x0019F000});
  dump.threads.push_back({0x200, 0x0029F000, std::string(64, '\x5A'), 0x77000010, 0x0029F000});
  std::string cv = "RSDS";
  const unsigned char guid[16] = {0xE0, 0x04, 0x25, 0x3F, 0x89, 0x11, 0x4F, 0x8D,
                                  0x9A, 0x0C, 0x03, 0x05, 0xE8, 0x2C, 0x33, 0x01};
  cv.append(reinterpret_cast<const char*>(guid), 16);
  cv += std::string("\x01\x00\x00\x00", 4) + "crashgame.pdb" + '\0';
  dump.modules.push_back({0x00400000, 0x21000, 0x656F1A2B, u"C:\\game\\crashgame.exe", cv});
  dump.modules.push_back({0x7B000000, 0xA0000, 0x1, u"C:\\windows\\\u6e38\u620f.dll", ""});
  dump.memory.push_back({0x00401500, std::string(512, '\x90')});
  dump.crashThread = 0x124;
  dump.code = 0xC0000005;
  dump.exceptionAddress = 0x0040155D;
  return BuildTestMinidump(dump);
}

}  // namespace collector_test
