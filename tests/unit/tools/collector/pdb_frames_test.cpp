// A PDB's frame data: read from the fixture clang and lld build (checked against what
// llvm-pdbutil prints), malformed streams refused, programs evaluated, and the stack of a dump
// of the fixture walked with it.

#include "formats/pdb_frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collector_harness.h"
#include "formats/minidump.h"
#include "formats/pdb_file.h"
#include "formats/pe_image.h"
#include "formats/stack_walk.h"
#include "minidump_builder.h"
#include "readmodel/dump_walk.h"
#include "store/report_store.h"

namespace {

using collector::FrameProgramInput;
using collector::FrameVariables;
using collector::PdbFrameRecord;
using collector::PdbFrameTable;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  size_t end = text.find_last_not_of(' ');
  return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  Put32(s, 0, v);
  return s;
}

std::string U16(uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }

// The offsets of the fixture's functions from its image base.
std::map<std::string, uint32_t> Symbols(const std::string& dir) {
  std::map<std::string, uint32_t> offsets;
  std::istringstream syms(ReadAll(dir + "/pdbgame.syms"));
  std::string name, offset;
  while (syms >> name >> offset)
    offsets[name] = static_cast<uint32_t>(std::stoul(offset, nullptr, 16));
  return offsets;
}

TEST(PdbFrames, TheFixtureReadsAsLlvmPdbutilPrintsIt) {
  const std::string pdb = std::string(VEXO_PDBGAME_DIR) + "/pdbgame.pdb";
  PdbFrameTable table;
  ASSERT_EQ(PdbFrameTable::Read(ReadAll(pdb), table), "");

  // Each row of `llvm-pdbutil dump -fpo`: RVA | Code | Locals | Params | Stack | Prolog |
  // Saved Regs | Has SEH | Has C++EH | Start | Program.
  FILE* pipe = popen(("llvm-pdbutil dump -fpo '" + pdb + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string printed;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) printed.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << printed;
  std::vector<std::string> expected;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(Trim(cell));
    if (cells.size() != 11 || cells[0] == "RVA") continue;
    expected.push_back(line);
  }
  ASSERT_GE(expected.size(), 4u) << printed;
  ASSERT_EQ(table.records().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const PdbFrameRecord& r = table.records()[i];
    char line[256];
    auto flag = [&](uint32_t bit) { return (r.flags & bit) != 0 ? "true" : "false"; };
    std::snprintf(line, sizeof(line),
                  "%08X | %4u | %6u | %6u | %5u | %6u | %10u | %7s | %9s | %5s | ", r.rvaStart,
                  r.codeSize, r.localSize, r.paramsSize, r.maxStackSize, unsigned{r.prologSize},
                  unsigned{r.savedRegsSize}, flag(1), flag(2), flag(4));
    EXPECT_EQ(Trim(line + r.program), Trim(expected[i]));
  }

  // The frameless leaf and main's three stages, as lld writes them.
  std::map<std::string, uint32_t> symbols = Symbols(VEXO_PDBGAME_DIR);
  const uint32_t crash = symbols.at("pdbgame_crash");
  const uint32_t main = symbols.at("main");
  const PdbFrameRecord* leaf = table.RecordAt(crash + 4);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->rvaStart, crash);
  EXPECT_EQ(leaf->program, "$T0 .raSearch = $eip $T0 ^ = $esp $T0 4 + = ");
  const PdbFrameRecord* body = table.RecordAt(main + 0x20);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->rvaStart, main + 3);  // after push ebp; mov ebp, esp
  EXPECT_EQ(body->program, "$T0 $ebp 4 + = $eip $T0 ^ = $esp $T0 4 + = $ebp $T0 4 - ^ = ");
  EXPECT_EQ(table.RecordAt(main)->rvaStart, main);
  EXPECT_EQ(table.RecordAt(main + 1)->savedRegsSize, 4u);
  uint32_t start = 0;
  uint32_t end = 0;
  ASSERT_TRUE(table.FunctionAt(main + 0x20, &start, &end));
  EXPECT_EQ(start, main);
  EXPECT_EQ(end, body->rvaStart + body->codeSize);
  EXPECT_FALSE(table.FunctionAt(crash - 1, &start, &end));
  EXPECT_EQ(table.RecordAt(crash - 1), nullptr);
}

// An MSF 7.00 file of 512-byte blocks holding the streams given.
std::string Msf(const std::vector<std::string>& streams) {
  const uint32_t block = 512;
  std::string data;
  std::string directory = U32(static_cast<uint32_t>(streams.size()));
  std::string lists;
  uint32_t next = 3;  // after the superblock and the two free block maps
  for (const std::string& stream : streams) {
    directory += U32(static_cast<uint32_t>(stream.size()));
    for (size_t at = 0; at < stream.size(); at += block) {
      lists += U32(next++);
      std::string piece = stream.substr(at, block);
      data += piece + std::string(block - piece.size(), '\0');
    }
  }
  directory += lists;
  const uint32_t directoryBlock = next++;
  const uint32_t mapBlock = next++;
  std::string file(3 * block, '\0');
  file.replace(0, 32,
               std::string("Microsoft C/C++ MSF 7.00\r\n\x1a"
                           "DS\0\0\0",
                           32));
  Put32(file, 32, block);
  Put32(file, 36, 1);
  Put32(file, 40, next);
  Put32(file, 44, static_cast<uint32_t>(directory.size()));
  Put32(file, 52, mapBlock);
  file += data;
  file += directory + std::string(block - directory.size(), '\0');
  file += U32(directoryBlock) + std::string(block - 4, '\0');
  return file;
}

// The streams of a small PDB with frame data: info (naming "/names"), DBI, frame data, names.
struct PdbStreams {
  std::string names = std::string(1, '\0') + "$T0 .raSearch = $eip $T0 ^ = $esp $T0 4 + =" + '\0' +
                      "$T0 $ebp 4 + = $eip $T0 ^ = $esp $T0 4 + = $ebp $T0 4 - ^ =" + '\0';
  std::string info;
  std::string dbi;
  std::string frames;
  std::string namesStream;

  PdbStreams() {
    info = U32(20000404) + U32(0x5F000000) + U32(1) + std::string(16, '\x42');
    std::string buffer = std::string("/names") + '\0';
    info += U32(static_cast<uint32_t>(buffer.size())) + buffer;
    info += U32(1) + U32(1) + U32(1) + U32(1) + U32(0) + U32(0) + U32(5);  // one bucket: /names
    dbi = std::string(64, '\0');
    Put32(dbi, 0, 0xFFFFFFFF);
    Put32(dbi, 4, 19990903);
    Put32(dbi, 48, 22);
    for (int slot = 0; slot < 11; ++slot) dbi += U16(slot == 9 ? 4 : 0xFFFF);
    // The second function first: the reader sorts them. Its body, then its prologue.
    frames = U32(0) + Record(0x2003, 0x1D, 0, 4, 1 + 44) + Record(0x2000, 0x20, 0, 0, 1 + 44, 4) +
             Record(0x1000, 0x10, 8, 0, 1, 0, 4);
    namesStream = U32(0xEFFEEFFE) + U32(1) + U32(static_cast<uint32_t>(names.size())) + names;
  }
  static std::string Record(uint32_t rva, uint32_t code, uint32_t locals, uint16_t saved,
                            uint32_t program, uint32_t params = 0, uint32_t flags = 0) {
    return U32(rva) + U32(code) + U32(locals) + U32(params) + U32(0) + U32(program) + U16(0) +
           U16(saved) + U32(flags);
  }
  std::string Build() const { return Msf({"", info, "", dbi, frames, namesStream}); }
};

TEST(PdbFrames, ReadsASmallPdbAndRefusesMalformedOnes) {
  PdbStreams good;
  PdbFrameTable table;
  ASSERT_EQ(PdbFrameTable::Read(good.Build(), table), "");
  ASSERT_EQ(table.records().size(), 3u);
  EXPECT_EQ(table.records()[0].rvaStart, 0x1000u);
  EXPECT_EQ(table.records()[0].localSize, 8u);
  EXPECT_EQ(table.records()[0].program, "$T0 .raSearch = $eip $T0 ^ = $esp $T0 4 + =");
  EXPECT_EQ(table.RecordAt(0x2010)->rvaStart, 0x2003u);  // the deepest stage
  EXPECT_EQ(table.RecordAt(0x2010)->savedRegsSize, 4u);
  EXPECT_EQ(table.RecordAt(0x2001)->rvaStart, 0x2000u);
  EXPECT_EQ(table.RecordAt(0x2020), nullptr);
  uint32_t start = 0;
  uint32_t end = 0;
  ASSERT_TRUE(table.FunctionAt(0x2010, &start, &end));
  EXPECT_EQ(start, 0x2000u);
  EXPECT_EQ(end, 0x2020u);

  // lld writes the rows without the uint32 Microsoft's linker puts first.
  PdbStreams bare;
  bare.frames.erase(0, 4);
  PdbFrameTable fromLld;
  ASSERT_EQ(PdbFrameTable::Read(bare.Build(), fromLld), "");
  ASSERT_EQ(fromLld.records().size(), 3u);
  EXPECT_EQ(fromLld.records()[2].program, table.records()[2].program);

  // No frame data at all is no error: the DBI's debug header names none, or is too short.
  PdbStreams none;
  none.dbi[64 + 18] = '\xFF';
  none.dbi[64 + 19] = '\xFF';
  EXPECT_EQ(PdbFrameTable::Read(none.Build(), table), "");
  EXPECT_TRUE(table.empty());

  struct Broken {
    const char* what;
    void (*breakIt)(PdbStreams&);
  };
  const Broken broken[] = {
      {"half a record", [](PdbStreams& s) { s.frames += std::string(16, '\0'); }},
      {"a record's first bytes", [](PdbStreams& s) { s.frames.resize(s.frames.size() - 20); }},
      {"a program past the string table",
       [](PdbStreams& s) { Put32(s.frames, 4 + 20, static_cast<uint32_t>(s.names.size())); }},
      {"the string table's size past its stream",
       [](PdbStreams& s) { Put32(s.namesStream, 8, 0x7FFFFFF0); }},
      {"a program without its terminator", [](PdbStreams& s) { s.namesStream.pop_back(); }},
      {"no string table signature", [](PdbStreams& s) { Put32(s.namesStream, 0, 0); }},
      {"substreams past the DBI", [](PdbStreams& s) { Put32(s.dbi, 52, 0x10000); }},
      {"a negative substream", [](PdbStreams& s) { Put32(s.dbi, 24, 0xFFFFFFF0); }},
      {"the debug header past the DBI", [](PdbStreams& s) { Put32(s.dbi, 48, 0x1000); }},
      {"frame data in a missing stream", [](PdbStreams& s) { s.dbi[64 + 18] = 9; }},
      {"no /names", [](PdbStreams& s) { s.info[28 + 4 + 1] = 'N'; }},
      {"a bit vector past the info stream",
       [](PdbStreams& s) { Put32(s.info, 28 + 4 + 7 + 8, 0x40000000); }},
      {"a truncated hash table", [](PdbStreams& s) { s.info.resize(s.info.size() - 6); }},
      {"a truncated DBI header", [](PdbStreams& s) { s.dbi.resize(60); }},
  };
  for (const Broken& b : broken) {
    PdbStreams streams;
    b.breakIt(streams);
    table = PdbFrameTable();
    EXPECT_NE(PdbFrameTable::Read(streams.Build(), table), "") << b.what;
    EXPECT_TRUE(table.empty()) << b.what;
  }

  // The real fixture cut short, it and the small one with bytes changed: whatever it reads, it
  // never reads past what it was given (the sanitizers watch).
  const std::string real = ReadAll(std::string(VEXO_PDBGAME_DIR) + "/pdbgame.pdb");
  const std::string small = good.Build();
  ASSERT_GT(real.size(), 4096u);
  for (size_t size = 0; size < real.size(); size += 509) {
    PdbFrameTable::Read(real.substr(0, size), table);
  }
  uint32_t seed = 12345;
  for (int i = 0; i < 3000; ++i) {
    std::string mutated = i % 2 == 0 ? real : small;
    for (int j = 0; j < 4; ++j) {
      seed = seed * 1103515245 + 12345;
      mutated[(seed >> 8) % mutated.size()] = static_cast<char>(seed >> 24);
    }
    PdbFrameTable::Read(mutated, table);
  }
}

TEST(PdbFrames, ProgramsAreEvaluatedWithinBounds) {
  std::map<uint32_t, uint32_t> memory = {
      {0x1000, 0x401555}, {0x1004, 0x2000}, {0x2000, 0x3000}, {0x2004, 0x76001234}};
  FrameProgramInput input;
  PdbFrameRecord record;
  record.localSize = 0x10;
  record.savedRegsSize = 8;
  record.paramsSize = 12;
  input.record = &record;
  input.read = [&](uint32_t address, uint32_t* value) {
    auto it = memory.find(address);
    if (it == memory.end()) return false;
    *value = it->second;
    return true;
  };
  auto run = [&](const std::string& program, FrameVariables& vars) {
    vars.Set("$esp", 0x0F00, false);
    vars.Set("$ebp", 0x2000, false);
    vars.Set("$eip", 0x4014E4, false);
    return collector::EvaluateFrameProgram(program, input, vars);
  };
  uint32_t value = 0;

  // The ebp-based program: $ebp points at the saved ebp, the return address above it.
  FrameVariables vars;
  ASSERT_TRUE(run("$T0 $ebp 4 + = $eip $T0 ^ = $esp $T0 4 + = $ebp $T0 4 - ^ =", vars));
  EXPECT_TRUE(vars.Get("$eip", &value) && value == 0x76001234u);
  EXPECT_TRUE(vars.Get("$esp", &value) && value == 0x2008u);
  EXPECT_TRUE(vars.Get("$ebp", &value) && value == 0x3000u);
  EXPECT_TRUE(vars.Assigned("$ebp") && vars.Assigned("$T0"));

  // .raSearch only as the walker found it.
  vars = FrameVariables();
  EXPECT_FALSE(run("$T0 .raSearch = $eip $T0 ^ = $esp $T0 4 + =", vars));
  input.hasRaSearch = true;
  input.raSearch = 0x1000;
  vars = FrameVariables();
  ASSERT_TRUE(run("$T0 .raSearch = $eip $T0 ^ = $esp $T0 4 + =", vars));
  EXPECT_TRUE(vars.Get("$eip", &value) && value == 0x401555u);
  EXPECT_TRUE(vars.Get("$esp", &value) && value == 0x1004u);
  EXPECT_FALSE(vars.Assigned("$ebp"));  // known, not restored

  // Arithmetic, alignment, hex, the row's sizes and temporaries MSVC writes.
  vars = FrameVariables();
  ASSERT_TRUE(
      run("$T1 0x1007 8 @ = $T2 .cbLocals .cbSavedRegs + .cbParams * = $T3 17 5 % = "
          "$T4 100 7 / = $L $T1 .cbFrame - = $T5 $esp 0x10 - =",
          vars));
  EXPECT_TRUE(vars.Get("$T1", &value) && value == 0x1000u);
  EXPECT_TRUE(vars.Get("$T2", &value) && value == (0x10u + 8) * 12);
  EXPECT_TRUE(vars.Get("$T3", &value) && value == 2u);
  EXPECT_TRUE(vars.Get("$T4", &value) && value == 14u);
  EXPECT_TRUE(vars.Get("$L", &value) && value == 0x1000u - 0x18);
  EXPECT_TRUE(vars.Get("$T5", &value) && value == 0xEF0u);

  // Anything malformed tells nothing.
  for (const char* bad :
       {"", "$T0 1 0 / =", "$T0 1 0 % =", "$T0 1 0 @ =", "$T0 $T9 =", "$T0 0x10000 ^ =", "5 1 =",
        "$T0 1 2 =", "$T0 1 + =", "$T0 1 ! =", "$T0 .cbBogus =", "$T0 12a =", "$T0 4294967296 =",
        "$T0 1 = 7", "$T0 0x =", "=", "^"}) {
    vars = FrameVariables();
    EXPECT_FALSE(run(bad, vars)) << bad;
  }
  std::string longProgram;
  for (size_t i = 0; i < collector::kMaxFrameProgramTokens / 3 + 1; ++i) longProgram += "$T0 1 = ";
  vars = FrameVariables();
  EXPECT_FALSE(run(longProgram, vars));
  std::string deep = "$T0";
  for (int i = 0; i < 100; ++i) deep += " 1";
  vars = FrameVariables();
  EXPECT_FALSE(run(deep, vars));
  std::string many;
  for (size_t i = 0; i <= FrameVariables::kMax; ++i) many += "$V" + std::to_string(i) + " 1 = ";
  vars = FrameVariables();
  EXPECT_FALSE(run(many, vars));
}

constexpr uint32_t kStack = 0x0019E000;
constexpr uint32_t kKernel32 = 0x76000000;
constexpr size_t kEbpOffset = 0xB4;
constexpr size_t kEspOffset = 0xC4;

// The CodeView (RSDS) record of a debug id as stack.txt spells it: GUID, then age.
std::string CodeView(const std::string& debugId, const std::string& pdbName) {
  auto hex = [&](size_t at, size_t n) {
    return static_cast<uint32_t>(std::stoul(debugId.substr(at, n), nullptr, 16));
  };
  std::string cv = "RSDS" + U32(hex(0, 8)) + U16(static_cast<uint16_t>(hex(8, 4))) +
                   U16(static_cast<uint16_t>(hex(12, 4)));
  for (size_t i = 0; i < 8; ++i) cv += static_cast<char>(hex(16 + 2 * i, 2));
  return cv + U32(hex(32, debugId.size() - 32)) + pdbName + '\0';
}

class FixtureProvider : public collector::StackWalkProvider {
 public:
  const collector::ModuleImage* image = nullptr;  // module 0's
  const PdbFrameTable* frames = nullptr;          // module 0's

  const collector::ModuleImage* Image(size_t module) const override {
    return module == 0 ? image : nullptr;
  }
  const PdbFrameTable* FrameData(size_t module) const override {
    return module == 0 ? frames : nullptr;
  }
};

// "method:address/stack" per frame, module 0's addresses as RVAs, stack offsets from kStack.
std::string Describe(const collector::WalkedThread& thread, uint32_t base) {
  std::string text;
  for (const collector::WalkedFrame& frame : thread.frames) {
    char line[64];
    std::snprintf(line, sizeof(line), "%s%s:%x/%x", text.empty() ? "" : " ",
                  collector::WalkMethodName(frame.method),
                  frame.module == 0 ? frame.address - base : frame.address,
                  frame.stackPointer - kStack);
    text += line;
  }
  return text;
}

// The fixture crashed in pdbgame_crash (a leaf that makes no frame) as main called it: [esp] is
// the return into main, ebp main's frame, whose caller is in kernel32.
class PdbFramesWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = ReadAll(std::string(VEXO_PDBGAME_DIR) + "/pdbgame.exe");
    pdb_ = ReadAll(std::string(VEXO_PDBGAME_DIR) + "/pdbgame.pdb");
    ASSERT_EQ(collector::ReadPeIdentity(exe_, pe_), "");
    ASSERT_TRUE(image_.Load(reinterpret_cast<const uint8_t*>(exe_.data()), exe_.size()));
    ASSERT_EQ(PdbFrameTable::Read(pdb_, frames_), "");
    base_ = static_cast<uint32_t>(pe_.imageBase);
    std::map<std::string, uint32_t> symbols = Symbols(VEXO_PDBGAME_DIR);
    crash_ = symbols.at("pdbgame_crash");
    const uint32_t main = symbols.at("main");
    uint32_t start = 0;
    uint32_t end = 0;
    ASSERT_TRUE(frames_.FunctionAt(main, &start, &end));
    std::string code(end - main, '\0');
    ASSERT_TRUE(image_.Read(main, &code[0], code.size()));
    for (size_t i = 0; i + 5 <= code.size(); ++i) {
      uint32_t rel = 0;
      for (int b = 3; b >= 0; --b) rel = (rel << 8) | static_cast<uint8_t>(code[i + 1 + b]);
      if (code[i] == '\xE8' && main + static_cast<uint32_t>(i) + 5 + rel == crash_) {
        returnIntoMain_ = main + static_cast<uint32_t>(i) + 5;
      }
    }
    ASSERT_NE(returnIntoMain_, 0u) << "main calls pdbgame_crash nowhere";

    collector_test::TestDump layout;
    std::string stack(0x100, '\0');
    Put32(stack, 0x40, base_ + returnIntoMain_);
    Put32(stack, 0x44, 0);                   // pdbgame_crash's argument
    Put32(stack, 0x48, kStack + 0x80);       // main's saved ebp
    Put32(stack, 0x4C, kKernel32 + 0x1234);  // main's return address
    layout.threads.push_back({0x40, kStack, stack, base_ + crash_ + 4, kStack + 0x40});
    layout.modules.push_back({base_, pe_.sizeOfImage, pe_.timestamp, u"C:\\game\\pdbgame.exe",
                              CodeView(pe_.debugId, "pdbgame.pdb")});
    layout.modules.push_back(
        {kKernel32, 0x100000, 0x5F000001, u"C:\\Windows\\System32\\kernel32.dll", ""});
    layout.crashThread = 0x40;
    layout.code = 0xC0000005;
    layout.exceptionAddress = base_ + crash_ + 4;  // mov eax, [eax]
    bytes_ = collector_test::BuildTestMinidump(layout);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes_.data());
    ASSERT_TRUE(collector::ParseMinidump(data, bytes_.size(), &dump_, nullptr));
    const size_t context = dump_.exception.context.raw.data - data;
    Put32(bytes_, context + kEspOffset, kStack + 0x40);
    Put32(bytes_, context + kEbpOffset, kStack + 0x48);
    ASSERT_TRUE(collector::ParseMinidump(data, bytes_.size(), &dump_, nullptr));
    ASSERT_EQ(dump_.modules[0].DebugId(), pe_.debugId);
  }

  std::string Expected(const std::string& caller, const std::string& kernel) const {
    char text[160];
    std::snprintf(text, sizeof(text), "context:%x/40 %s:%x/44 %s:%x/50", crash_ + 4, caller.c_str(),
                  returnIntoMain_, kernel.c_str(), kKernel32 + 0x1234);
    return text;
  }

  std::string exe_, pdb_, bytes_;
  collector::PeIdentity pe_;
  collector::ModuleImage image_;
  PdbFrameTable frames_;
  collector::Minidump dump_;
  uint32_t base_ = 0;
  uint32_t crash_ = 0;
  uint32_t returnIntoMain_ = 0;
};

TEST_F(PdbFramesWalk, MainAndItsCallerByTheFrameData) {
  FixtureProvider provider;
  provider.image = &image_;
  provider.frames = &frames_;
  EXPECT_EQ(Describe(collector::WalkThread(dump_, 0, provider), base_),
            Expected("frame-data", "frame-data"));
  // The rows alone, without the code: the leaf's return address is where its row says.
  provider.image = nullptr;
  EXPECT_EQ(Describe(collector::WalkThread(dump_, 0, provider), base_),
            Expected("frame-data", "frame-data"));

  // Without the frame data, the code alone: a scan finds main's call of the leaf.
  provider.frames = nullptr;
  provider.image = &image_;
  EXPECT_EQ(Describe(collector::WalkThread(dump_, 0, provider), base_), Expected("scan", "fp"));
  // Without either, ebp's chain skips main.
  provider.image = nullptr;
  char skipped[64];
  std::snprintf(skipped, sizeof(skipped), "context:%x/40 fp:%x/50", crash_ + 4, kKernel32 + 0x1234);
  EXPECT_EQ(Describe(collector::WalkThread(dump_, 0, provider), base_), skipped);
}

TEST_F(PdbFramesWalk, TheStoredPdbOfTheModulesOwnBuildOnly) {
  collector_test::TempDir dir;
  std::string error;
  for (const std::string build : {VEXO_PDBGAME_DIR, VEXO_PDBGAME_OTHER_DIR}) {
    std::unique_ptr<collector::ReportStore> store =
        collector::MakeReportStore(dir.File(build == VEXO_PDBGAME_DIR ? "a.db" : "b.db"));
    ASSERT_TRUE(store->Open(dir.File(build == VEXO_PDBGAME_DIR ? "a.db" : "b.db"), true, error))
        << error;
    collector::SymbolFile image;
    image.kind = "image";
    image.loadable = true;
    image.module = "pdbgame.exe";
    image.timestamp = pe_.timestamp;
    image.debugId = pe_.debugId;
    image.sizeOfImage = pe_.sizeOfImage;
    image.imageBase = pe_.imageBase;
    image.fileName = "pdbgame.exe";
    image.addedUtc = "2026-12-09T00:00:00Z";
    image.bytes = exe_;
    ASSERT_GT(store->AddSymbolFile(image, error), 0) << error;
    collector::SymbolFile pdb = image;
    pdb.kind = "pdb";
    pdb.loadable = false;
    pdb.module = "pdbgame.pdb";
    pdb.fileName = "pdbgame.pdb";
    pdb.timestamp = 0;
    pdb.sizeOfImage = 0;
    pdb.bytes = ReadAll(build + "/pdbgame.pdb");
    collector::PdbIdentity identity;
    ASSERT_EQ(collector::ReadPdbIdentity(pdb.bytes, identity), "");
    pdb.debugId = identity.debugId;
    ASSERT_GT(store->AddSymbolFile(pdb, error), 0) << error;

    std::vector<collector::DumpThreadStack> stacks;
    ASSERT_TRUE(collector::WalkDumpStacks(*store, bytes_, stacks));
    ASSERT_EQ(stacks.size(), 1u);
    std::string methods;
    for (const collector::StackFrame& frame : stacks[0].trace.frames) {
      methods += frame.method + " " + (frame.module.empty() ? "?" : frame.module) + " ";
    }
    // Another build's PDB, though named as the module's, is never used.
    EXPECT_EQ(methods, build == VEXO_PDBGAME_DIR
                           ? "context pdbgame.exe frame-data pdbgame.exe frame-data kernel32.dll "
                           : "context pdbgame.exe scan pdbgame.exe fp kernel32.dll ")
        << build;
  }
}

}  // namespace
