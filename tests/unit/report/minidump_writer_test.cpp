// The minidump writer on a synthetic process: an image with PE headers, a version resource and a
// CodeView record, two threads whose stacks hold frame-pointer chains, and a stack that runs into
// an unmapped page. Its dumps are read back by Breakpad's readers and by the collector's.
#include "report/minidump_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "minidump.h"

namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kGameBase = 0x00400000;
constexpr uint32_t kGameSize = 0x5000;
constexpr uint32_t kGameStamp = 0x656F1A2B;
constexpr uint32_t kGameChecksum = 0x0001F00D;
constexpr uint32_t kHelperBase = 0x10000000;  // listed, but its image cannot be read
constexpr uint32_t kFault = kGameBase + 0x1040;
constexpr uint32_t kReturns[] = {kGameBase + 0x1105, kGameBase + 0x1205, kGameBase + 0x1305};
constexpr uint32_t kWaitReturn = kGameBase + 0x1405;
constexpr uint32_t kCrashTid = 0x1A4;
constexpr uint32_t kCrashStackTop = 0x00130000;
constexpr uint32_t kCrashEsp = 0x0012E800;
constexpr uint32_t kOtherTid = 0x2B0;
constexpr uint32_t kOtherEsp = 0x00230F00;
constexpr uint32_t kOtherMapped = 0x00232000;  // the page from here on is unmapped
constexpr std::size_t kContextEbp = 0xB4;
const char kHelperName[] = "\xE5\xB7\xA5\xE5\x85\xB7.dll";  // 工具.dll in UTF-8
constexpr uint8_t kGuid[16] = {0xE0, 0x04, 0x25, 0x3F, 0x89, 0x4F, 0xD3, 0x11,
                               0x9A, 0x0C, 0x03, 0x05, 0xE8, 0x2C, 0x33, 0x01};

// Memory by pages: an address outside every page written is unreadable.
class FakeProcess : public MemoryReader {
 public:
  void Put(uint32_t address, const void* bytes, std::size_t size) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    for (std::size_t i = 0; i < size; ++i, ++address) {
      std::vector<uint8_t>& page = pages_[address / kPage];
      page.resize(kPage);
      page[address % kPage] = from[i];
    }
  }
  // Little-endian words at base + offset, given as offset, value, offset, value...
  void Words(uint32_t base, std::initializer_list<uint32_t> pairs) {
    for (auto at = pairs.begin(); at + 1 < pairs.end(); at += 2) Put(base + at[0], &at[1], 4);
  }
  void Map(uint32_t begin, uint32_t end) {
    Put(begin, std::vector<uint8_t>(end - begin).data(), end - begin);
  }

  bool Read(uint32_t address, void* out, std::size_t size) override {
    auto* to = static_cast<uint8_t*>(out);
    for (std::size_t i = 0; i < size; ++i, ++address) {
      auto page = pages_.find(address / kPage);
      if (page == pages_.end()) return false;
      to[i] = page->second[address % kPage];
    }
    return true;
  }

 private:
  std::map<uint32_t, std::vector<uint8_t>> pages_;
};

MinidumpThread Thread(uint32_t id, uint32_t teb, uint32_t eip, uint32_t esp, uint32_t ebp) {
  MinidumpThread thread;
  std::memset(&thread, 0, sizeof thread);
  thread.id = id;
  thread.priorityClass = 0x20;
  thread.teb = teb;
  // ContextFlags: an x86 context with control, integer and segment registers.
  const std::pair<std::size_t, uint32_t> registers[] = {
      {0, 0x00010007}, {kContextEbp, ebp}, {kX86ContextEip, eip}, {kX86ContextEsp, esp}};
  for (const auto& [offset, value] : registers) std::memcpy(thread.context + offset, &value, 4);
  return thread;
}

class MinidumpWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildImage();
    // The crashing thread: three frames chained through EBP, the outermost ending the chain.
    process_.Map(kCrashEsp & ~(kPage - 1), kCrashStackTop);
    const uint32_t frames[] = {kCrashEsp + 0x20, kCrashEsp + 0x200, kCrashEsp + 0x900};
    // [ebp] holds the caller's ebp, [ebp + 4] the return address.
    process_.Words(0, {frames[0], frames[1], frames[0] + 4, kReturns[0], frames[1], frames[2],
                       frames[1] + 4, kReturns[1], frames[2] + 4, kReturns[2]});
    // The other thread waits in a call; its stack top is unknown, and its stack runs into an
    // unmapped page.
    process_.Map(kOtherEsp & ~(kPage - 1), kOtherMapped);
    process_.Words(kOtherEsp, {0x14, kWaitReturn});
    threads_[0] = Thread(kOtherTid, 0x7FFDD000, kGameBase + 0x1500, kOtherEsp, kOtherEsp + 0x10);
    threads_[0].suspendCount = 1;
    threads_[0].priority = -2;
    threads_[1] = Thread(kCrashTid, 0x7FFDF000, kFault, kCrashEsp, frames[0]);
    threads_[1].stackTop = kCrashStackTop;

    std::memset(modules_, 0, sizeof modules_);
    StackModule& game = modules_[0];
    game.base = kGameBase;
    game.size = kGameSize;
    game.timestamp = kGameStamp;
    std::strcpy(game.name, "game.exe");
    game.hasCodeView = true;
    std::memcpy(game.guid, kGuid, sizeof kGuid);
    game.age = 2;
    std::strcpy(game.debugFile, "game.pdb");
    modules_[1].base = kHelperBase;
    modules_[1].size = 0x3000;
    modules_[1].timestamp = 0x5A000000;
    std::strcpy(modules_[1].name, kHelperName);

    std::memset(&input_, 0, sizeof input_);
    input_.processId = 0x5EC;
    input_.timeDateStamp = 1765263600;
    input_.crashThreadId = kCrashTid;
    input_.exceptionCode = 0xC0000005;
    input_.exceptionAddress = kFault;
    input_.exceptionParameterCount = 2;
    input_.exceptionParameters[1] = 0x10;
    input_.exceptionContext = threads_[1].context;
    input_.threads = threads_;
    input_.threadCount = 2;
    input_.modules = modules_;
    input_.moduleCount = 2;
    MinidumpSystem& s = input_.system;
    s.processorLevel = 6;
    s.processorRevision = 0x3A09;
    s.processorCount = 4;
    s.majorVersion = 6;
    s.minorVersion = 1;
    s.buildNumber = 7601;
    s.platformId = 2;
    std::strcpy(s.servicePack, "Service Pack 1");
    std::memcpy(s.cpuVendor, "GenuineIntel", 12);  // EBX, EDX, ECX as CPUID returns them
  }

  // Headers, a code section with a call before each return address, a CodeView debug directory,
  // and a resource directory whose version lies behind a named entry and another type.
  void BuildImage() {
    FakeProcess& p = process_;
    const uint32_t b = kGameBase;
    p.Map(b, b + kGameSize);
    p.Words(b, {0, 0x5A4D, 0x3C, 0x80, 0x80, 0x4550, 0x84, 0x0001014C, 0x88, kGameStamp, 0x94,
                0x010200E0});
    p.Words(b + 0x98,
            {0, 0x10B, 28, kGameBase, 56, kGameSize, 64, kGameChecksum, 92, 16, 96 + 2 * 8, 0x3000,
             100 + 2 * 8, 0x300, 96 + 6 * 8, 0x2000, 100 + 6 * 8, 28});
    p.Put(b + 0x178, ".text", 5);
    p.Words(b + 0x178, {8, 0x1000, 12, 0x1000, 36, 0x60000020});

    p.Put(b + 0x1000, std::vector<uint8_t>(0x1000, 0xCC).data(), 0x1000);
    p.Put(kFault, "\x8B\x00", 2);  // mov eax, [eax]
    for (uint32_t ret : {kReturns[0], kReturns[1], kReturns[2], kWaitReturn}) {
      p.Put(ret - 5, "\xE8\x00\x00\x00\x00", 5);  // call rel32
    }

    p.Words(b + 0x2000, {12, 2, 16, 24 + 9, 20, 0x2020});
    p.Put(b + 0x2020, "RSDS", 4);
    p.Put(b + 0x2024, kGuid, 16);
    p.Words(b + 0x2034, {0, 2});
    p.Put(b + 0x2038, "game.pdb", 9);

    const uint32_t r = b + 0x3000;
    p.Words(r, {12, 0x00020001, 16, 0x800002F0, 20, 0x800002E0,  // a named type
                24, 3, 28, 0x800002E0,                           // RT_ICON
                32, 16, 36, 0x80000100});                        // RT_VERSION
    p.Words(r + 0x100, {12, 0x00010000, 16, 1, 20, 0x80000140});
    p.Words(r + 0x140, {12, 0x00010000, 16, 0x804, 20, 0x180});
    p.Words(r + 0x180, {0, 0x3200, 4, 92});
    const char16_t key[] = u"VS_VERSION_INFO";
    p.Words(b + 0x3200, {0, 52 << 16 | 92, 40, 0xFEEF04BD, 44, 0x00010000});
    p.Words(b + 0x3200, {48, 0x00010002, 52, 0x00030004,    // file version 1.2.3.4
                         56, 0x00010002, 60, 0x00030000});  // product version 1.2.3.0
    p.Put(b + 0x3206, key, sizeof key);
  }

  std::vector<uint8_t> Write(std::size_t capacity) {
    std::vector<uint8_t> out(capacity);
    out.resize(WriteMinidump(input_, process_, out.data(), out.size()));
    return out;
  }

  FakeProcess process_;
  MinidumpThread threads_[2];
  StackModule modules_[2];
  MinidumpInput input_;
};

struct ToolRun {
  int status;
  std::string out;  // runs of spaces squeezed to one
  std::string err;
};

std::string Squeezed(std::istream& in) {
  std::string text;
  for (int c; (c = in.get()) != EOF;) {
    if (c != ' ' || text.empty() || text.back() != ' ') text += char(c);
  }
  return text;
}

// stderr goes to a file of its own: merged, its lines could land inside stdout's.
ToolRun RunTool(const std::string& command) {
  const std::string errPath = ::testing::TempDir() + std::to_string(getpid()) + "_tool.err";
  ToolRun run{-1, "", ""};
  FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
  if (pipe == nullptr) return run;
  std::string raw;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) raw.append(buffer, n);
  run.status = pclose(pipe);
  std::istringstream out(raw);
  run.out = Squeezed(out);
  std::ifstream err(errPath);
  run.err = Squeezed(err);
  std::remove(errPath.c_str());
  return run;
}

std::string SaveTemp(const std::vector<uint8_t>& bytes, const char* name) {
  const std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    if (text.compare(at, prefix.size(), prefix) == 0) lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(MinidumpWriter, BreakpadReadsModulesThreadsAndFramePointerChains) {
  const std::vector<uint8_t> dump = Write(1 << 20);
  ASSERT_GT(dump.size(), 0u);
  const std::string path = SaveTemp(dump, "breakpad.dmp");

  const ToolRun dumped = RunTool(MINIDUMP_DUMP " " + path);
  // minidump_dump fails its run (status 1) over the memory-info stream alone, which a dump made
  // without the platform's region list cannot have.
  for (const std::string& line : Lines(dumped.err, "")) {
    EXPECT_TRUE(!Contains(line, "ERROR") || Contains(line, "GetMemoryInfoList()")) << line;
  }
  EXPECT_TRUE(WIFEXITED(dumped.status) && WEXITSTATUS(dumped.status) <= 1) << dumped.err;
  for (const char* field : {"thread_count = 2", "region_count = 3", "thread_id = 0x2b0",
                            "checksum = 0x1f00d", "(code_identifier) = \"656F1A2B5000\"",
                            "(debug_identifier) = \"3F2504E04F8911D39A0C0305E82C33012\"",
                            "(version) = \"1.2.3.4\"", "exception_address = 0x401040",
                            "(csd_version) = \"Service Pack 1\"", "process_id = 1516"}) {
    EXPECT_TRUE(Contains(dumped.out, field)) << field;
  }

  const ToolRun walked = RunTool(MINIDUMP_STACKWALK " -m " + path);
  ASSERT_EQ(walked.status, 0) << walked.err;
  EXPECT_EQ(Lines(walked.out, "Module|"),
            (std::vector<std::string>{
                "Module|game.exe|1.2.3.4|game.pdb|3F2504E04F8911D39A0C0305E82C33012|0x00400000|"
                "0x00404fff|1",
                std::string("Module|") + kHelperName + "||||0x10000000|0x10002fff|0"}));
  // The crashing thread is the list's second; its walk starts at the faulting instruction.
  // (For an access violation Breakpad's crash address is the data address, not EIP.)
  EXPECT_EQ(Lines(walked.out, "Crash|")[0], "Crash|EXCEPTION_ACCESS_VIOLATION_READ|0x10|1");
  EXPECT_EQ(Lines(walked.out, "1|"),
            (std::vector<std::string>{"1|0|game.exe||||0x1040", "1|1|game.exe||||0x1105",
                                      "1|2|game.exe||||0x1205", "1|3|game.exe||||0x1305"}));
  EXPECT_EQ(Lines(walked.out, "0|"),
            (std::vector<std::string>{"0|0|game.exe||||0x1500", "0|1|game.exe||||0x1405"}));
  const std::string text = RunTool(MINIDUMP_STACKWALK " " + path).out;
  EXPECT_EQ(Lines(text, " Found by: previous frame's frame pointer").size(), 4u) << text;
  std::remove(path.c_str());
}

// The result's views point into dump.
collector::Minidump Parse(const std::vector<uint8_t>& dump) {
  collector::Minidump parsed;
  std::string error;
  EXPECT_TRUE(ParseMinidump(dump.data(), dump.size(), &parsed, &error)) << error;
  return parsed;
}

std::vector<uint8_t> Bytes(collector::ByteView view) {
  return std::vector<uint8_t>(view.data, view.data + view.size);
}

TEST_F(MinidumpWriter, TheCollectorReadsBackEveryField) {
  const std::vector<uint8_t> dump = Write(1 << 20);
  const collector::Minidump d = Parse(dump);
  const collector::Minidump::SystemInfo& s = d.system;
  EXPECT_EQ(std::make_tuple(d.timestamp, d.hasProcessId, d.processId),
            std::make_tuple(1765263600u, true, 0x5ECu));
  EXPECT_EQ(std::make_tuple(s.present, s.processorArchitecture, s.processorLevel,
                            s.processorRevision, s.processorCount, s.majorVersion, s.minorVersion,
                            s.buildNumber, s.platformId, s.csdVersion),
            std::make_tuple(true, 0, 6, 0x3A09, 4, 6u, 1u, 7601u, 2u, "Service Pack 1"));

  const collector::Minidump::Exception& e = d.exception;
  EXPECT_EQ(std::make_tuple(e.present, e.threadId, e.code, e.address, e.parameters),
            std::make_tuple(true, kCrashTid, 0xC0000005, uint64_t(kFault),
                            std::vector<uint64_t>{0, 0x10}));
  EXPECT_EQ(Bytes(e.context.raw), std::vector<uint8_t>(input_.exceptionContext,
                                                       input_.exceptionContext + kX86ContextSize));

  // Each stack from ESP to its top, or for the other thread to the unmapped page.
  ASSERT_EQ(d.threads.size(), 2u);
  const uint32_t stackEnds[] = {kOtherMapped, kCrashStackTop};
  for (std::size_t i = 0; i < 2; ++i) {
    const collector::Minidump::Thread& t = d.threads[i];
    const MinidumpThread& want = threads_[i];
    EXPECT_EQ(std::make_tuple(t.id, t.suspendCount, t.priorityClass, t.priority, t.teb),
              std::make_tuple(want.id, want.suspendCount, want.priorityClass, want.priority,
                              uint64_t(want.teb)));
    EXPECT_EQ(Bytes(t.context.raw),
              std::vector<uint8_t>(want.context, want.context + kX86ContextSize));
    std::vector<uint8_t> stack(stackEnds[i] - t.context.esp);
    ASSERT_TRUE(process_.Read(t.context.esp, stack.data(), stack.size()));
    EXPECT_EQ(t.stackStart, t.context.esp);
    EXPECT_EQ(Bytes(t.stack), stack);
  }

  ASSERT_EQ(d.modules.size(), 2u);
  const collector::Minidump::Module& game = d.modules[0];
  EXPECT_EQ(std::make_tuple(game.base, game.size, game.checksum, game.timestamp, game.name),
            std::make_tuple(uint64_t(kGameBase), kGameSize, kGameChecksum, kGameStamp, "game.exe"));
  EXPECT_EQ(std::make_tuple(game.hasVersion, game.fileVersionMS, game.fileVersionLS,
                            game.productVersionMS, game.productVersionLS),
            std::make_tuple(true, 0x00010002u, 0x00030004u, 0x00010002u, 0x00030000u));
  EXPECT_EQ(std::make_tuple(game.hasCodeView, game.DebugId(), game.pdbName, game.CodeId()),
            std::make_tuple(true, "3F2504E04F8911D39A0C0305E82C33012", "game.pdb", "656F1A2B5000"));
  const collector::Minidump::Module& helper = d.modules[1];
  EXPECT_EQ(std::make_tuple(helper.name, helper.checksum, helper.hasVersion, helper.hasCodeView),
            std::make_tuple(kHelperName, 0u, false, false));

  // The code around the faulting instruction, then each stack once, shared with its thread.
  ASSERT_EQ(d.memory.size(), 3u);
  EXPECT_EQ(d.memory[0].start, kFault - kMinidumpCodeBytes);
  EXPECT_EQ(d.memory[0].bytes.size, 2 * kMinidumpCodeBytes);
  EXPECT_EQ(d.memory[1].bytes.data, d.threads[1].stack.data);
  EXPECT_EQ(d.memory[2].bytes.data, d.threads[0].stack.data);
  uint8_t code[4];
  ASSERT_TRUE(d.Read(kFault - 2, code, sizeof code));
  EXPECT_EQ(std::vector<uint8_t>(code, code + 4), (std::vector<uint8_t>{0xCC, 0xCC, 0x8B, 0x00}));
}

TEST_F(MinidumpWriter, LackingRoomCutsTheOtherStacksFirst) {
  const std::size_t full = Write(1 << 20).size();
  const uint32_t otherStack = kOtherMapped - kOtherEsp;
  const uint32_t crashStack = kCrashStackTop - kCrashEsp;

  const std::vector<uint8_t> lessRoom = Write(full - otherStack / 2);
  collector::Minidump d = Parse(lessRoom);
  ASSERT_EQ(d.threads.size(), 2u);
  EXPECT_EQ(d.threads[1].stack.size, crashStack);
  EXPECT_GT(d.threads[0].stack.size, 0u);
  EXPECT_LT(d.threads[0].stack.size, otherStack);

  const std::vector<uint8_t> littleRoom = Write(full - otherStack - crashStack / 2);
  d = Parse(littleRoom);
  ASSERT_EQ(d.threads.size(), 2u);
  EXPECT_EQ(d.threads[0].stack.size, 0u);
  std::vector<uint8_t> kept(d.threads[1].stack.size);
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), crashStack);
  ASSERT_TRUE(process_.Read(kCrashEsp, kept.data(), kept.size()));
  EXPECT_EQ(Bytes(d.threads[1].stack), kept);
  ASSERT_EQ(d.memory.size(), 2u);
  EXPECT_EQ(d.memory[0].bytes.size, 2 * kMinidumpCodeBytes);
  EXPECT_EQ(d.modules.size(), 2u);
  EXPECT_TRUE(d.exception.present);
}

// Each output buffer is exactly as large as its capacity, so ASan catches a byte written beyond.
TEST_F(MinidumpWriter, AnyCapacityGivesNothingOrAValidDump) {
  const std::size_t full = Write(1 << 20).size();
  std::size_t smallest = 0;
  for (std::size_t capacity = 0; capacity <= full; capacity += smallest == 0 ? 1 : 37) {
    const std::vector<uint8_t> dump = Write(capacity);
    if (dump.empty()) {
      ASSERT_EQ(smallest, 0u) << "a larger buffer failed at " << capacity;
      continue;
    }
    if (smallest == 0) smallest = capacity;
    const collector::Minidump d = Parse(dump);
    EXPECT_EQ(d.threads.size(), 2u);
    EXPECT_EQ(d.modules.size(), 2u);
    EXPECT_TRUE(d.exception.present);
  }
  EXPECT_GT(smallest, 0u);
  EXPECT_EQ(Write(full).size(), full);
}

}  // namespace
