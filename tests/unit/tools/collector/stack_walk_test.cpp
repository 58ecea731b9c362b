#include "stack_walk.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "minidump_builder.h"
#include "ingest/crash_entry.h"
#include "readmodel/stack_symbolize.h"
#include "store/report_store.h"

namespace {

using collector::Minidump;
using collector::ModuleImage;
using collector::WalkedFrame;
using collector::WalkedThread;
using collector::WalkMethodName;
using collector_test::TestDump;

constexpr uint32_t kPreferredBase = 0x10000000;
constexpr uint32_t kBase = 0x00A00000;  // loaded elsewhere, as a relocated DLL is
constexpr uint32_t kTextRva = 0x1000;
constexpr uint32_t kEhFrameRva = 0x2000;
constexpr uint32_t kStack = 0x0019E000;
constexpr size_t kEbpOffset = 0xB4;
constexpr size_t kEspOffset = 0xC4;

// The synthetic module's functions and the return addresses of its calls.
enum : uint32_t {
  kOuter = 0x1000,
  kOuterCallsMiddle = 0x1008,
  kOuterCallsOther = 0x1011,
  kMiddle = 0x1020,
  kMiddleCallsInner = 0x1029,
  kMiddleCallsOther = 0x1033,
  kMiddleCallsEax = 0x1035,
  kInner = 0x1040,
  kInnerFaults = 0x1043,
  kOther = 0x1060,
  kEntry = 0x1080,
  kEntryCallsOuter = 0x1088,
  kFpOuter = 0x10A0,
  kFpOuterCallsInner = 0x10AB,
  kFpInner = 0x10C0,
  kFpInnerFaults = 0x10C6,
  kCodeEnd = 0x10D0,
};

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  Put32(s, 0, v);
  return s;
}

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Hand-assembled code: Entry calls Outer calls Middle calls Inner without frame pointers (and
// Outer and Middle also call Other, whose return addresses go stale on the stack); FpOuter
// calls FpInner with frame pointers.
std::string Code() {
  std::string text(kCodeEnd - kTextRva, '\xCC');
  auto at = [&](uint32_t rva, const std::string& bytes) {
    text.replace(rva - kTextRva, bytes.size(), bytes);
  };
  auto call = [&](uint32_t rva, uint32_t target) { at(rva, B({0xE8}) + U32(target - (rva + 5))); };
  at(kOuter, B({0x83, 0xEC, 0x0C}));  // sub esp, 12
  call(0x1003, kMiddle);
  at(0x1008, B({0x83, 0xC4, 0x0C, 0xC3}));  // add esp, 12; ret
  call(0x100C, kOther);
  at(0x1011, B({0xC3}));
  at(kMiddle, B({0x53, 0x83, 0xEC, 0x18}));  // push ebx; sub esp, 24
  call(0x1024, kInner);
  at(0x1029, B({0x83, 0xC4, 0x18, 0x5B, 0xC3}));  // add esp, 24; pop ebx; ret
  call(0x102E, kOther);
  at(0x1033, B({0xFF, 0xD0, 0xC3}));  // call eax; ret
  at(kInner, B({0x83, 0xEC, 0x1C, 0xC7, 0x00, 0, 0, 0, 0, 0x83, 0xC4, 0x1C, 0xC3}));
  at(kOther, B({0xC3}));
  at(kEntry, B({0x83, 0xEC, 0x0C}));
  call(0x1083, kOuter);
  at(0x1088, B({0x83, 0xC4, 0x0C, 0xC3}));
  at(kFpOuter, B({0x55, 0x89, 0xE5, 0x83, 0xEC, 0x08}));  // push ebp; mov ebp, esp; sub esp, 8
  call(0x10A6, kFpInner);
  at(0x10AB, B({0xC9, 0xC3}));  // leave; ret
  at(kFpInner, B({0x55, 0x89, 0xE5, 0x83, 0xEC, 0x10, 0xC7, 0x00, 0, 0, 0, 0, 0xC9, 0xC3}));
  return text;
}

// .eh_frame as GCC writes it for i386 ("zR", pc-relative sdata4), for the functions without frame
// pointers only.
std::string EhFrame() {
  std::string eh;
  auto entry = [&](const std::string& body) {
    std::string padded = body;
    while (padded.size() % 4 != 0) padded += '\0';
    eh += U32(static_cast<uint32_t>(padded.size())) + padded;
  };
  entry(U32(0) + B({1, 'z', 'R', 0, 0x01, 0x7C, 0x08, 0x01, 0x1B, 0x0C, 0x04, 0x04, 0x88, 0x01}));
  auto fde = [&](uint32_t start, uint32_t end, const std::string& instructions) {
    uint32_t at = static_cast<uint32_t>(eh.size()) + 4;
    entry(U32(at) + U32(start - (kEhFrameRva + at + 4)) + U32(end - start) + B({0}) + instructions);
  };
  fde(kOuter, 0x1012, B({0x43, 0x0E, 0x10, 0x48, 0x0E, 0x04, 0x41, 0x0E, 0x10, 0x45, 0x0E, 0x04}));
  fde(kMiddle, 0x1036,
      B({0x41, 0x0E, 0x08, 0x83, 0x02,  // push ebx: CFA esp+8, ebx at CFA-8
         0x43, 0x0E, 0x20,              // sub: CFA esp+32
         0x48, 0x0A, 0x0E, 0x08,        // the epilogue, remembering the body's row
         0x41, 0xC3, 0x0E, 0x04,        // pop ebx
         0x41, 0x0B}));                 // the code after ret has the body's row again
  fde(kInner, 0x104D, B({0x43, 0x0E, 0x20, 0x49, 0x0E, 0x04}));
  fde(kOther, 0x1061, "");
  fde(kEntry, 0x108C, B({0x07, 0x08, 0x43, 0x0E, 0x10}));  // the outermost frame: eip undefined
  return eh;
}

// A PE32 image with the given sections; names longer than 8 characters go to the COFF string
// table after an empty symbol table, as in a stripped MinGW image.
std::string BuildImage(bool withCfi) {
  struct Section {
    std::string name;
    uint32_t rva;
    std::string data;
    uint32_t characteristics;
  };
  std::vector<Section> sections = {{".text", kTextRva, Code(), 0x60000020}};
  if (withCfi) sections.push_back({".eh_frame", kEhFrameRva, EhFrame(), 0x40000040});
  std::string image(0x40, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  image += std::string("PE\0\0", 4) + B({0x4C, 0x01}) + B({static_cast<int>(sections.size()), 0});
  size_t symbolTable = image.size() + 4;
  image += U32(0x5F000000) + U32(0) + U32(0) + B({0xE0, 0, 0x02, 0x21});
  std::string optional(0xE0, '\0');
  Put32(optional, 0, 0x10B);
  Put32(optional, 28, kPreferredBase);
  Put32(optional, 32, 0x1000);
  Put32(optional, 36, 0x200);
  Put32(optional, 56, 0x3000);
  Put32(optional, 60, 0x400);
  Put32(optional, 92, 16);
  image += optional;
  std::string strings = U32(0);
  std::string data;
  uint32_t fileOffset = 0x400;
  for (const Section& section : sections) {
    std::string header(40, '\0');
    std::string name = section.name;
    if (name.size() > 8) {
      name = "/" + std::to_string(strings.size());
      strings += section.name + '\0';
    }
    header.replace(0, name.size(), name);
    Put32(header, 8, static_cast<uint32_t>(section.data.size()));
    Put32(header, 12, section.rva);
    uint32_t raw = (static_cast<uint32_t>(section.data.size()) + 0x1FF) & ~0x1FFu;
    Put32(header, 16, raw);
    Put32(header, 20, fileOffset);
    Put32(header, 36, section.characteristics);
    image += header;
    data += section.data + std::string(raw - section.data.size(), '\0');
    fileOffset += raw;
  }
  image.resize(0x400, '\0');
  image += data;
  Put32(strings, 0, static_cast<uint32_t>(strings.size()));
  Put32(image, symbolTable, static_cast<uint32_t>(image.size()));
  return image + strings;
}

class TestProvider : public collector::StackWalkProvider {
 public:
  const ModuleImage* image = nullptr;    // module 0's
  std::map<uint32_t, uint32_t> symbols;  // function start -> end, module 0's

  const ModuleImage* Image(size_t module) const override { return module == 0 ? image : nullptr; }
  bool FunctionStart(size_t module, uint32_t rva, uint32_t* start) const override {
    auto it = symbols.upper_bound(rva);
    if (module != 0 || it == symbols.begin() || rva >= (--it)->second) return false;
    *start = it->first;
    return true;
  }
};

// A built dump, parsed, with registers the builder leaves 0 set first: {thread or -1 for the
// exception's context, offset in the CONTEXT, value}.
struct ParsedDump {
  struct Register {
    int thread;
    size_t offset;
    uint32_t value;
  };
  ParsedDump(const TestDump& layout, std::initializer_list<Register> registers)
      : bytes(collector_test::BuildTestMinidump(layout)) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_TRUE(collector::ParseMinidump(data, bytes.size(), &dump, nullptr));
    for (const Register& r : registers) {
      const collector::X86Context& context =
          r.thread < 0 ? dump.exception.context : dump.threads[r.thread].context;
      Put32(bytes, context.raw.data - data + r.offset, r.value);
    }
    EXPECT_TRUE(collector::ParseMinidump(data, bytes.size(), &dump, nullptr));
  }
  std::string bytes;
  Minidump dump;
};

// Frames as "method:address/stack", addresses in module 0 as RVAs, stack offsets from stackBase.
std::string Describe(const WalkedThread& stack, uint32_t base, uint32_t stackBase) {
  std::string text;
  for (const WalkedFrame& frame : stack.frames) {
    char line[64];
    std::snprintf(
        line, sizeof(line), "%s%s:%x/%x", text.empty() ? "" : " ", WalkMethodName(frame.method),
        frame.module == 0 ? frame.address - base : frame.address, frame.stackPointer - stackBase);
    text += line;
  }
  return text;
}

std::string Words(size_t size, const std::map<uint32_t, uint32_t>& words) {
  std::string stack(size, '\0');
  for (const auto& word : words) Put32(stack, word.first, word.second);
  return stack;
}

TEST(StackWalk, CallFrameInformationThenFramePointers) {
  // The crashed thread runs code with CFI. Inner's frame holds stale return addresses, one of
  // them a real call of Outer's, and ebp points at them: a frame-pointer walk would report them.
  TestDump layout;
  layout.threads.push_back({0x10, kStack,
                          Words(0x100, {{0x24, kBase + kOuterCallsOther},
                                        {0x28, kBase + kEntryCallsOuter},
                                        {0x3C, kBase + kMiddleCallsInner},
                                        {0x44, kBase + kMiddleCallsOther},
                                        {0x5C, kBase + kOuterCallsMiddle},
                                        {0x6C, kBase + kEntryCallsOuter},
                                        {0x74, kBase + kMiddleCallsEax},
                                        {0x78, kBase + kOuterCallsMiddle}}),
                          0x77000010, kStack + 0xF0});
  // The other runs code with frame pointers and no CFI, from Entry, which has CFI.
  layout.threads.push_back({0x20, kStack + 0x1000,
                          Words(0x100, {{0x24, kBase + kMiddleCallsInner},
                                        {0x30, kStack + 0x1048},
                                        {0x34, kBase + kFpOuterCallsInner},
                                        {0x4C, kBase + kEntryCallsOuter}}),
                          kBase + kFpInnerFaults, kStack + 0x1020});
  layout.modules.push_back({kBase, 0x3000, 0x5F000000, u"C:\\game\\plugin.dll", ""});
  layout.crashThread = 0x10;
  layout.exceptionAddress = kBase + kInnerFaults;
  ParsedDump parsed(layout, {{-1, kEspOffset, kStack + 0x20},
                           {-1, kEbpOffset, kStack + 0x20},
                           {1, kEbpOffset, kStack + 0x1030}});
  std::string file = BuildImage(true);
  ModuleImage image;
  ASSERT_TRUE(image.Load(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  ASSERT_EQ(image.cfi().size(), 5u);
  TestProvider provider;
  provider.image = &image;

  std::vector<WalkedThread> stacks = collector::WalkStacks(parsed.dump, provider);
  ASSERT_EQ(stacks.size(), 2u);
  EXPECT_EQ(stacks[0].threadId, 0x10u);
  EXPECT_TRUE(stacks[0].crashed);  // walked from the exception's context, not the thread's
  // Entry's rules end the stack: the stale words above its frame are never looked at.
  EXPECT_EQ(Describe(stacks[0], kBase, kStack),
            "context:1043/20 cfi:1029/40 cfi:1008/60 cfi:1088/70");
  for (const WalkedFrame& frame : stacks[0].frames) EXPECT_EQ(frame.module, 0u);
  EXPECT_FALSE(stacks[1].crashed);
  EXPECT_EQ(Describe(stacks[1], kBase, kStack + 0x1000), "context:10c6/20 fp:10ab/38 fp:1088/50");
}

TEST(StackWalk, ScanAcceptsOnlyCallsOfTheFunctionBelow) {
  // No image, no call-frame information: the dump holds the code, the symbols the functions.
  TestDump layout;
  std::map<uint32_t, uint32_t> words = {{0x24, kBase + kOuterCallsOther},   // calls Other
                                        {0x28, kBase + kEntryCallsOuter},   // calls Outer
                                        {0x3C, kBase + kMiddleCallsInner},  // the caller
                                        {0x44, kBase + kOuterCallsOther},
                                        {0x5C, kBase + kOuterCallsMiddle},
                                        {0x6C, kBase + kEntryCallsOuter}};
  layout.threads.push_back({0x30, kStack, Words(0x100, words), kBase + kInnerFaults, kStack + 0x20});
  // A call through a null pointer from Middle: its return address is on top of the stack.
  layout.threads.push_back({0x31, kStack + 0x1000,
                          Words(0x100, {{0x1C, kBase + kMiddleCallsEax},
                                        {0x24, kBase + kOuterCallsOther},
                                        {0x3C, kBase + kOuterCallsMiddle}}),
                          0, kStack + 0x101C});
  layout.modules.push_back({kBase, 0x3000, 0x5F000000, u"C:\\game\\plugin.dll", ""});
  layout.memory.push_back({kBase + kTextRva, Code()});
  ParsedDump parsed(layout, {});
  const Minidump& dump = parsed.dump;
  TestProvider provider;
  provider.symbols = {
      {kOuter, 0x1012}, {kMiddle, 0x1036}, {kInner, 0x104D}, {kOther, 0x1061}, {kEntry, 0x108C}};

  std::vector<WalkedThread> stacks = collector::WalkStacks(dump, provider);
  ASSERT_EQ(stacks.size(), 2u);
  EXPECT_EQ(Describe(stacks[0], kBase, kStack),
            "context:1043/20 scan:1029/40 scan:1008/60 scan:1088/70");
  EXPECT_EQ(Describe(stacks[1], kBase, kStack + 0x1000),
            "context:0/1c scan-unvalidated:1035/20 scan:1008/40");
  EXPECT_EQ(stacks[1].frames[0].module, WalkedFrame::kNoModule);

  // Without symbols a direct call is only known to lead below the callee's pc: the stale call
  // of Other (above Inner) is still refused, the one of Outer (below it) no longer is.
  provider.symbols.clear();
  WalkedThread loose = collector::WalkThread(dump, 0, provider);
  ASSERT_GE(loose.frames.size(), 2u);
  EXPECT_EQ(loose.frames[1].address, kBase + kEntryCallsOuter);
  EXPECT_EQ(loose.frames[1].method, collector::WalkMethod::kScan);
}

TEST(StackWalk, TopFrameWithoutAFrameOfItsOwn) {
  // FpInner faults on its first instruction, as a stack probe does before any frame is made: ebp
  // is still FpOuter's, and a frame-pointer step would skip FpOuter. A word returning from
  // FpInner's own call of Other does not count where the functions' starts are known. (Where
  // FpInner has made its frame, ebp's return address is the call of it, and the stale words
  // below are never looked at: the first test.)
  TestDump layout;
  layout.threads.push_back({0x40, kStack,
                          Words(0x100, {{0x1C, kBase + kFpInner + 0x15},
                                        {0x20, kBase + kFpOuterCallsInner},
                                        {0x30, kStack + 0x48},
                                        {0x34, kBase + kEntryCallsOuter}}),
                          kBase + kFpInner, kStack + 0x1C});
  layout.modules.push_back({kBase, 0x3000, 0x5F000000, u"C:\\game\\plugin.dll", ""});
  std::string code = Code();
  code.replace(kFpInner + 0x10 - kTextRva, 5, B({0xE8}) + U32(kOther - (kFpInner + 0x15)));
  layout.memory.push_back({kBase + kTextRva, code});
  ParsedDump parsed(layout, {{0, kEbpOffset, kStack + 0x30}});
  TestProvider provider;
  provider.symbols = {{kOther, 0x1061}, {kEntry, 0x108C}, {kFpOuter, 0x10AD}, {kFpInner, 0x10D5}};
  std::string walked = Describe(collector::WalkThread(parsed.dump, 0, provider), kBase, kStack);
  EXPECT_EQ(walked.substr(0, walked.find(" ", 36)), "context:10c0/1c scan:10ab/24 fp:1088/38");
}

// The real optimised build without frame pointers, when the Windows build has made it.
TEST(StackWalk, RealBuildWithoutFramePointers) {
  std::string root = __FILE__;
  root = root.substr(0, root.rfind("tests/unit/"));
  std::string exe = root + "build/windows/bin/crashgame_nofp.exe";
  std::string debug = root + "build/windows/bin/crashgame_nofp.debug";
  std::ifstream in(exe, std::ios::binary);
  std::string nm = VEXO_MINGW_NM;
  if (!in || nm.empty()) GTEST_SKIP() << "needs " << exe << " and the MinGW-w64 i686 nm";
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  std::map<std::string, uint32_t> functions;
  FILE* pipe = popen((nm + " '" + debug + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text = line;
    for (const char* name : {"ChainInner", "ChainMiddle", "ChainOuter", "ChainThread"}) {
      if (text.find(std::string(name) + "E") != std::string::npos &&
          text.find(".text") == std::string::npos) {
        functions[name] = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
      }
    }
  }
  pclose(pipe);
  ASSERT_EQ(functions.size(), 4u);

  ModuleImage image;
  ASSERT_TRUE(image.Load(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  const uint32_t base = static_cast<uint32_t>(image.layout().imageBase);
  // Each function's frame from its machine code: pushes and the sub from esp that follow them.
  struct Frame {
    uint32_t start, end, size, bodyStart;
  };
  std::map<std::string, Frame> frames;
  for (const auto& function : functions) {
    Frame frame{function.second - base, 0, 0, 0};
    ASSERT_TRUE(image.cfi().FunctionAt(frame.start, &frame.start, &frame.end)) << function.first;
    EXPECT_EQ(frame.start + base, function.second) << function.first;
    uint8_t code[16];
    ASSERT_TRUE(image.Read(frame.start, code, sizeof(code)));
    size_t at = 0;
    while (code[at] == 0x53 || code[at] == 0x55 || code[at] == 0x56 || code[at] == 0x57) {
      frame.size += 4;
      ++at;
    }
    ASSERT_TRUE(code[at] == 0x83 && code[at + 1] == 0xEC) << function.first;
    frame.size += code[at + 2];
    frame.bodyStart = frame.start + static_cast<uint32_t>(at) + 3;
    frames[function.first] = frame;
  }
  // Where each caller's call of its callee returns to.
  auto returnFrom = [&](const std::string& caller, const std::string& callee) -> uint32_t {
    const Frame& frame = frames[caller];
    std::string code(frame.end - frame.start, '\0');
    EXPECT_TRUE(image.Read(frame.start, &code[0], code.size()));
    for (size_t i = 0; i + 5 <= code.size(); ++i) {
      uint32_t next = frame.start + static_cast<uint32_t>(i) + 5;
      uint32_t rel = 0;
      for (int k = 4; k >= 1; --k) rel = rel << 8 | static_cast<uint8_t>(code[i + k]);
      if (static_cast<uint8_t>(code[i]) == 0xE8 && next + rel == frames[callee].start) {
        return base + next;
      }
    }
    ADD_FAILURE() << caller << " does not call " << callee;
    return 0;
  };
  const uint32_t intoMiddle = returnFrom("ChainMiddle", "ChainInner");
  const uint32_t intoOuter = returnFrom("ChainOuter", "ChainMiddle");
  const uint32_t intoThread = returnFrom("ChainThread", "ChainOuter");
  const uint32_t intoKernel = 0x7B001020;

  // The stack as the code lays it out, with stale return addresses (real calls of the chain)
  // planted in Inner's locals and ebp pointing at them.
  const uint32_t esp = kStack + 0x100;
  uint32_t sp = esp;
  std::map<uint32_t, uint32_t> words = {{0x104, intoOuter}, {0x108, intoThread}};
  char text[64];
  std::snprintf(text, sizeof(text), "context:%x/100", base + frames["ChainInner"].bodyStart);
  std::string expected = text;
  const std::pair<const char*, uint32_t> chain[] = {{"ChainInner", intoMiddle},
                                                    {"ChainMiddle", intoOuter},
                                                    {"ChainOuter", intoThread},
                                                    {"ChainThread", intoKernel}};
  for (const auto& link : chain) {
    sp += frames[link.first].size;
    words[sp - kStack] = link.second;
    sp += 4;
    std::snprintf(text, sizeof(text), " cfi:%x/%x", link.second, sp - kStack);
    expected += text;
  }
  TestDump layout;
  layout.threads.push_back(
      {0x40, kStack, Words(0x400, words), base + frames["ChainInner"].bodyStart, esp});
  layout.modules.push_back(
      {base, image.layout().sizeOfImage, 0, u"C:\\game\\crashgame_nofp.exe", ""});
  layout.modules.push_back({0x7B000000, 0x10000, 1, u"C:\\windows\\system32\\kernel32.dll", ""});
  ParsedDump parsed(layout, {{0, kEbpOffset, esp + 4}});
  TestProvider provider;
  provider.image = &image;
  WalkedThread stack = collector::WalkThread(parsed.dump, 0, provider);
  EXPECT_EQ(Describe(stack, 0, kStack), expected);  // base 0: whole addresses
}

// Two dumps of one crash, one with another second thread and another stale return address in
// the crashed frame, walked by the server against the image stored as symbols.
std::string CrashDump(bool other) {
  TestDump layout;
  layout.threads.push_back(
      {0x10, kStack,
       Words(0x100, {{0x24, kBase + (other ? kMiddleCallsOther : kOuterCallsOther)},
                     {0x3C, kBase + kMiddleCallsInner},
                     {0x5C, kBase + kOuterCallsMiddle},
                     {0x6C, kBase + kEntryCallsOuter}}),
       0x77000010, kStack + 0xF0});
  layout.threads.push_back({other ? 0x21u : 0x20u, kStack + 0x1000,
                            Words(0x100, {{0x30, kStack + 0x1048},
                                          {0x34, kBase + kFpOuterCallsInner},
                                          {0x4C, kBase + kEntryCallsOuter}}),
                            kBase + (other ? kFpOuter : kFpInnerFaults), kStack + 0x1020});
  layout.modules.push_back({kBase, 0x3000, 0x5F000000, u"C:\\game\\plugin.dll", ""});
  layout.crashThread = 0x10;
  layout.exceptionAddress = kBase + kInnerFaults;
  return ParsedDump(layout, {{-1, kEspOffset, kStack + 0x20}, {1, kEbpOffset, kStack + 0x1030}})
      .bytes;
}

std::string ShownGroup(const std::string& shown) {
  size_t at = shown.find("\ngroup: ");
  return at == std::string::npos ? "" : shown.substr(at, shown.find('\n', at + 1) - at);
}

TEST(StackWalk, ReportsKeyedAndShownByTheServersWalk) {
  using namespace collector_test;
  TempDir dir;
  const std::string db = dir.File("r.db");
  const std::string log = SummaryFor("game.exe", "0xc0000005", "0x1");
  // What the sender walked, which a dump that parses overrides and one that does not leaves.
  const std::string stack =
      "VexoCrashRpt stack 1\r\nmodule 0x00a00000 0x00003000 0x5f000000 - plugin.dll\r\n"
      "#0 plugin.dll+0x1043 context\r\n#1 plugin.dll+0x1011 scan\r\n";
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", db}, dir.File("serve.err")));
  for (const std::string& dump : {CrashDump(false), CrashDump(true), std::string("MDMP\x93\xa7")}) {
    std::string pak = PackEntries({{"log.txt", log}, {"stack.txt", stack}, {"crash.dmp", dump}});
    ASSERT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/u", "b0undary", "1.0", pak))),
              200);
  }
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  // The image with its CFI arrives after the reports: they are walked again, not only renamed.
  ToolResult before = RunCollector({"show", "1", "--db", db});
  EXPECT_EQ(before.out.find("[cfi]"), std::string::npos) << before.out;
  {
    std::unique_ptr<collector::ReportStore> store = collector::MakeReportStore(db);
    std::string error;
    ASSERT_TRUE(store->Open(db, true, error)) << error;
    collector::SymbolFile image;
    image.module = "plugin.dll";
    image.timestamp = 0x5F000000;
    image.sizeOfImage = 0x3000;
    image.imageBase = kPreferredBase;
    image.fileName = "plugin.dll";
    image.kind = "image";
    image.loadable = true;
    image.bytes = BuildImage(true);
    ASSERT_GT(store->AddSymbolFile(image, error), 0) << error;
    uint64_t changed = 0;
    ASSERT_TRUE(collector::RegroupStacks(*store, {"PLUGIN.DLL"}, changed, error)) << error;
    EXPECT_EQ(changed, 2u);  // the two dumps; the third report keeps stack.txt's frames
  }

  std::string shown[3];
  for (int id = 1; id <= 3; ++id) {
    ToolResult result = RunCollector({"show", std::to_string(id), "--db", db});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    shown[id - 1] = result.out;
  }
  EXPECT_NE(shown[0].find("stack: 7 frames\n"), std::string::npos) << shown[0];
  EXPECT_NE(
      shown[0].find("\n\nthread 0x10 (crashed)\n#0 plugin.dll+0x1043 [context]\n"
                    "#1 plugin.dll+0x1029 [cfi]\n#2 plugin.dll+0x1008 [cfi]\n"
                    "#3 plugin.dll+0x1088 [cfi]\nthread 0x20\n#0 plugin.dll+0x10c6 [context]\n"
                    "#1 plugin.dll+0x10ab [fp]\n#2 plugin.dll+0x1088 [fp]\n\n"),
      std::string::npos)
      << shown[0];
  EXPECT_NE(shown[1].find("\nthread 0x21\n"), std::string::npos) << shown[1];
  EXPECT_FALSE(ShownGroup(shown[0]).empty());
  EXPECT_EQ(ShownGroup(shown[0]), ShownGroup(shown[1]));
  EXPECT_NE(ShownGroup(shown[0]), ShownGroup(shown[2]));
  EXPECT_NE(shown[2].find("\n#0 plugin.dll+0x1043\n#1 plugin.dll+0x1011\n"), std::string::npos)
      << shown[2];
  ToolResult groups = RunCollector({"list", "--db", db});
  EXPECT_NE(groups.out.find("plugin.dll+0x1043 | plugin.dll+0x1029 | plugin.dll+0x1008"),
            std::string::npos)
      << groups.out;
  // A word a scan could not check stays on show but never in a key.
  std::vector<collector::ResolvedFrame> frames(3);
  const char* methods[] = {"context", "scan-unvalidated", "cfi"};
  for (uint32_t i = 0; i < 3; ++i) {
    frames[i].frame.index = i;
    frames[i].frame.module = "game.exe";
    frames[i].frame.offset = 0x10 * (i + 1);
    frames[i].frame.method = methods[i];
  }
  EXPECT_EQ(collector::StackGroupFrames(frames),
            (std::vector<std::string>{"game.exe+0x10", "game.exe+0x30"}));
}

}  // namespace
