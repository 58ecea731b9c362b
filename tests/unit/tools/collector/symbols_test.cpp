// Stacks end to end: a real PE cross-built here with its debug info split off the way the game
// ships it, a report whose stack.txt points into it, then `symbols add`, show and list.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "store/postgres_store.h"
#include "render/read_api.h"
#include "store/sqlite_store.h"

namespace {

using namespace collector_test;

const std::string kBoundary = "---------------------------28253686825547";

// One function a line, so every byte of each maps to a known line.
constexpr char kGameSource[] =
    "__attribute__((noinline)) void leaf(volatile int* p) { *p = 1; }\n"
    "__attribute__((noinline)) void middle(volatile int* p) { leaf(p); }\n"
    "__attribute__((noinline)) void outer(volatile int* p) { middle(p); }\n"
    "int main(int argc, char** argv) { (void)argv; outer(argc > 9 ? &argc : 0); return 0; }\n";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Hex(uint32_t value, bool padded) {
  char text[16];
  std::snprintf(text, sizeof(text), padded ? "0x%08x" : "0x%x", value);
  return text;
}

class Stacks : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {VEXO_MINGW_GCC, VEXO_MINGW_OBJCOPY, VEXO_MINGW_STRIP, VEXO_MINGW_NM,
                             VEXO_MINGW_OBJDUMP, VEXO_LLVM_SYMBOLIZER}) {
      if (std::string(tool).empty()) {
        GTEST_SKIP() << "needs the MinGW-w64 i686 cross tools and llvm-symbolizer, which were "
                        "not found when the build was configured";
      }
    }
    source_ = dir_.File("game.c");
    std::ofstream(source_) << kGameSource;
    exe_ = dir_.File("game.exe");
    debug_ = dir_.File("game.exe.debug");
    // objcopy and strip stamp the PE header with the current time; across a second boundary
    // the module and its debug file would disagree and never match. A fixed time keeps them
    // one build, as a release pipeline's SOURCE_DATE_EPOCH does.
    setenv("SOURCE_DATE_EPOCH", "1796700000", 1);
    Run({VEXO_MINGW_GCC, "-g", "-O0", "-Wl,--build-id", "-o", exe_, source_});
    Run({VEXO_MINGW_OBJCOPY, "--only-keep-debug", exe_, debug_});
    Run({VEXO_MINGW_STRIP, exe_});
    Run({VEXO_MINGW_OBJCOPY, "--add-gnu-debuglink=" + debug_, exe_});
    unsetenv("SOURCE_DATE_EPOCH");

    std::istringstream symbols(Run({VEXO_MINGW_NM, debug_}));
    std::string line;
    std::smatch match;
    while (std::getline(symbols, line)) {
      if (std::regex_match(line, match, std::regex("([0-9a-f]{8}) \\S (\\S+)"))) {
        symbols_[match[2].str()] = static_cast<uint32_t>(std::stoul(match[1].str(), nullptr, 16));
      }
    }
    // The stripped module's own CodeView record, as objdump prints it, is what the DLL reports.
    std::string headers = Run({VEXO_MINGW_OBJDUMP, "-p", exe_});
    ASSERT_TRUE(
        std::regex_search(headers, match, std::regex("signature ([0-9a-f]{32}) age ([0-9]+)")))
        << headers;
    debugId_ =
        match[1].str() + Hex(static_cast<uint32_t>(std::stoul(match[2].str())), false).substr(2);
    for (char& c : debugId_) c = static_cast<char>(toupper(c));
    std::string image = ReadAll(exe_);
    ASSERT_GT(image.size(), 0x200u);
    uint32_t pe = 0;
    std::memcpy(&pe, image.data() + 0x3C, 4);
    std::memcpy(&timestamp_, image.data() + pe + 8, 4);
  }

  std::string Run(const std::vector<std::string>& args) {
    ToolResult result = RunProgram(args);
    EXPECT_EQ(result.exitStatus, 0) << args[0] << ": " << result.err;
    return result.out;
  }

  uint32_t Offset(const std::string& symbol) {
    EXPECT_TRUE(symbols_.count(symbol)) << symbol;
    return symbols_[symbol] - symbols_["__image_base__"];
  }

  // stack.txt as the DLL writes it, with the module name in another case than the file's.
  std::string StackText(uint32_t leafOffset) {
    return "VexoCrashRpt stack 1\r\nexception 0xc0000005 0x004015b3\r\nthread 0x00000124\r\n"
           "module 0x00400000 0x0000d000 " +
           Hex(timestamp_, true) + " " + debugId_ +
           " Game.exe\r\n"
           "module 0x7b600000 0x000a0000 0x656f1a2a - kernel32.dll\r\n"
           "#0 Game.exe+" +
           Hex(Offset("_leaf") + leafOffset, false) + " context\r\n#1 Game.exe+" +
           // Return addresses right after the calls: the next function's first byte.
           Hex(Offset("_outer"), false) + " fp\r\n#2 Game.exe+" + Hex(Offset("_main"), false) +
           " fp\r\n#3 kernel32.dll+0x1234 scan\r\n#4 0x7b62f0a1 scan\r\n";
  }

  std::string Db() const { return dir_.File("reports.db"); }

  TempDir dir_;
  std::string source_, exe_, debug_, debugId_;
  uint32_t timestamp_ = 0;
  std::map<std::string, uint32_t> symbols_;
};

TEST_F(Stacks, ReportUploadedBeforeItsSymbolsIsSymbolizedOnceTheyAreAdded) {
  ASSERT_LT(Offset("_leaf"), Offset("_middle"));
  ASSERT_LT(Offset("_middle"), Offset("_outer"));
  ASSERT_LT(Offset("_outer"), Offset("_main"));
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", Db()}, dir_.File("serve.err")));
  std::string log = "[12:00:01] start\r\n\r\n" + SummaryFor("game.exe", "0xc0000005", "0x4015b3");
  // Two crashes in the same functions at different bytes of leaf, and one without a stack.
  for (uint32_t leafOffset : {3u, 5u}) {
    std::string image = PackEntries({{"log.txt", log}, {"stack.txt", StackText(leafOffset)}});
    EXPECT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/", kBoundary, "1.0.0", image))),
              200);
  }
  std::string plain = PackLog("\r\n" + SummaryFor("game.exe", "0xc0000005", "0x401000"));
  EXPECT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/", kBoundary, "1.0.0", plain))),
            200);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  std::string unsymbolized = "stack: 5 frames\n\n#0 Game.exe+" + Hex(Offset("_leaf") + 3, false) +
                             "\n#1 Game.exe+" + Hex(Offset("_outer"), false) + "\n#2 Game.exe+" +
                             Hex(Offset("_main"), false) +
                             "\n#3 kernel32.dll+0x1234\n#4 0x7b62f0a1\n\n";
  ToolResult shown = RunCollector({"show", "1", "--db", Db()});
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  EXPECT_NE(shown.out.find(unsymbolized), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("[12:00:01] start"), std::string::npos) << shown.out;
  ToolResult listed = RunCollector({"list", "--db", Db()});
  EXPECT_NE(listed.out.find("groups: 3\n"), std::string::npos) << listed.out;

  // The stripped module carries no debug info: it is kept as an image (for its unwind tables)
  // and names no function; its debug file does, keyed like the module.
  ToolResult image = RunCollector({"symbols", "add", "--db", Db(), exe_});
  EXPECT_EQ(image.exitStatus, 0) << image.err;
  EXPECT_EQ(image.out, "added image game.exe " + Hex(timestamp_, true) + " " + debugId_ +
                           " from game.exe\n");
  ToolResult added = RunCollector({"symbols", "add", "--db", Db(), debug_});
  EXPECT_EQ(added.exitStatus, 0) << added.err;
  // The two stack reports grouped by offsets before; now they move to their function names.
  EXPECT_EQ(added.out, "added game.exe " + Hex(timestamp_, true) + " " + debugId_ +
                           " from game.exe.debug\nregrouped 2 reports\n");

  std::string symbolized = "stack: 5 frames\n\n#0 leaf " + source_ + ":1\n#1 middle " + source_ +
                           ":2\n#2 outer " + source_ +
                           ":3\n#3 kernel32.dll+0x1234\n#4 0x7b62f0a1\n\n";
  shown = RunCollector({"show", "1", "--db", Db()});
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  EXPECT_NE(shown.out.find(symbolized), std::string::npos) << shown.out;
  listed = RunCollector({"list", "--db", Db()});
  EXPECT_NE(listed.out.find("groups: 2\n2\tgame.exe\t0xc0000005\tleaf | middle | outer\n"
                            "1\tgame.exe\t0xc0000005\t0x401000\n"),
            std::string::npos)
      << listed.out;

  // The results are kept: without a symbolizer the frames resolved before still read the same,
  // and report 2 (whose top frames the regrouping resolved) too; only frames never looked up
  // fall back to module and offset.
  setenv("COLLECTOR_SYMBOLIZER", dir_.File("no-such-symbolizer").c_str(), 1);
  shown = RunCollector({"show", "1", "--db", Db()});
  ToolResult second = RunCollector({"show", "2", "--db", Db()});
  unsetenv("COLLECTOR_SYMBOLIZER");
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  EXPECT_NE(shown.out.find(symbolized), std::string::npos) << shown.out;
  EXPECT_NE(second.out.find("#0 leaf " + source_ + ":1\n#1 middle "), std::string::npos)
      << second.out;
}

// An SQLite store with stacks and symbols, copied by `collector migrate` into PostgreSQL, reads
// back identically there: every field, the bytes, the groups (symbolized from the copied symbol
// file) and the read API; ids are kept and new reports continue after them.
TEST_F(Stacks, MigratedToPostgresReadsBackIdentically) {
  if (PostgresBase().empty()) {
    GTEST_SKIP() << "COLLECTOR_TEST_PG is not set: run through tests/pg_cluster.py";
  }
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", Db()}, dir_.File("serve.err")));
  std::string log = "[12:00:01] start \xB3\xCC\xD0\xF2\r\n\0\r\n" +
                    SummaryFor("game.exe", "0xc0000005", "0x4015b3");
  for (uint32_t leafOffset : {3u, 5u}) {
    std::string image = PackEntries({{"log.txt", log}, {"stack.txt", StackText(leafOffset)}});
    EXPECT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/", kBoundary, "1.0.0", image))),
              200);
  }
  EXPECT_EQ(StatusOf(SendRaw(server.port(),
                             BuildUploadRequest("/up", kBoundary, "2.0.0", "not an archive\xFF"))),
            200);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  ASSERT_EQ(RunCollector({"symbols", "add", "--db", Db(), debug_}).exitStatus, 0);

  std::string error;
  std::string target = NewPostgresDatabase(error);
  ASSERT_FALSE(target.empty()) << error;
  ToolResult copied = RunCollector({"migrate", "--from", Db(), "--to", target});
  ASSERT_EQ(copied.exitStatus, 0) << copied.err;
  EXPECT_EQ(copied.out, "copied 3 reports and 1 symbol files\n");

  for (const std::vector<std::string>& command : {std::vector<std::string>{"list"},
                                                  {"show", "1"},
                                                  {"show", "2", "--raw"},
                                                  {"show", "3", "--pak"}}) {
    std::vector<std::string> fromFile = command;
    fromFile.insert(fromFile.end(), {"--db", Db()});
    std::vector<std::string> fromPostgres = command;
    fromPostgres.insert(fromPostgres.end(), {"--db", target});
    ToolResult want = RunCollector(fromFile);
    ToolResult got = RunCollector(fromPostgres);
    EXPECT_EQ(want.exitStatus, 0) << want.err;
    EXPECT_EQ(got.exitStatus, 0) << got.err;
    EXPECT_EQ(got.out, want.out) << command[0];
  }
  EXPECT_NE(RunCollector({"list", "--db", target}).out.find("leaf | middle | outer"),
            std::string::npos);

  collector::SqliteReportStore file;
  collector::PostgresReportStore postgres;
  ASSERT_TRUE(file.Open(Db(), false, error)) << error;
  ASSERT_TRUE(postgres.Open(target, false, error)) << error;
  for (const char* path : {"/api/groups", "/api/reports/1", "/api/reports/3/raw"}) {
    collector::ApiAnswer want = collector::AnswerApi(file, "GET", path);
    collector::ApiAnswer got = collector::AnswerApi(postgres, "GET", path);
    EXPECT_EQ(want.status, 200u) << path;
    EXPECT_EQ(got.status, want.status) << path;
    EXPECT_EQ(got.body, want.body) << path;
  }
  std::vector<collector::StoredReport> want, got;
  ASSERT_TRUE(file.List(want, error)) << error;
  ASSERT_TRUE(postgres.List(got, error)) << error;
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    collector::StoredReport a, b;
    bool found = false;
    ASSERT_TRUE(file.Get(want[i].id, a, found, error) && found) << error;
    ASSERT_TRUE(postgres.Get(want[i].id, b, found, error) && found) << error;
    EXPECT_EQ(std::tie(a.id, a.receivedUtc, a.peer, a.path, a.hasVer, a.ver, a.fileName, a.payload,
                       a.payloadSize, a.hasLog, a.log, a.state, a.note, a.httpStatus, a.hasStack,
                       a.stack),
              std::tie(b.id, b.receivedUtc, b.peer, b.path, b.hasVer, b.ver, b.fileName, b.payload,
                       b.payloadSize, b.hasLog, b.log, b.state, b.note, b.httpStatus, b.hasStack,
                       b.stack))
        << "report " << want[i].id;
  }
  std::vector<collector::SymbolFile> wantSymbols, gotSymbols;
  ASSERT_TRUE(file.ListSymbolFiles(wantSymbols, error)) << error;
  ASSERT_TRUE(postgres.ListSymbolFiles(gotSymbols, error)) << error;
  ASSERT_EQ(gotSymbols.size(), 1u);
  EXPECT_EQ(gotSymbols[0].id, wantSymbols[0].id);
  EXPECT_EQ(gotSymbols[0].bytes, wantSymbols[0].bytes);
  EXPECT_EQ(gotSymbols[0].debugId, wantSymbols[0].debugId);

  // A target that holds reports is refused and left as it was.
  ToolResult again = RunCollector({"migrate", "--from", Db(), "--to", target});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_NE(again.err.find("already holds 3 reports"), std::string::npos) << again.err;

  // The next upload, to a collector serving the copy, continues after the copied ids.
  ASSERT_TRUE(server.Start({"--db", target}, dir_.File("serve2.err")));
  EXPECT_EQ(BodyOf(SendRaw(server.port(), BuildUploadRequest("/", kBoundary, "3.0.0", "x"))),
            "OK 4\n");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  ASSERT_TRUE(postgres.List(got, error)) << error;
  EXPECT_EQ(got.size(), 4u);
}

}  // namespace
