// PDB symbols end to end, on the fixture game clang and lld build with a PDB (two builds of it,
// tests/fixtures/pdbgame): the PDB's identity, `symbols add`, symbol uploads over HTTP with
// their own token, the symbol server's layout, and a PDB of another build never used.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "collector_harness.h"
#include "formats/pdb_file.h"
#include "formats/pe_image.h"
#include "gbk_texts.h"
#include "readmodel/symbol_source.h"
#include "store/sqlite_store.h"
#include "store_fixture.h"

namespace {

using namespace collector_test;

const std::string kBoundary = "---------------------------28253686825547";
const std::string kReadToken = "read-token-0123456789abcdef";
const std::string kSymbolsToken = "symbols-token-0123456789abcdef";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Hex(uint32_t value, const char* format = "0x%x") {
  char text[16];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// One build of the fixture: the stripped image, its PDB and where its functions are.
struct Build {
  std::string exe, pdb;  // paths
  std::string exeBytes, pdbBytes;
  collector::PeIdentity pe;
  std::map<std::string, uint32_t> offsets;  // from the image base
};

Build LoadBuild(const std::string& dir) {
  Build build;
  build.exe = dir + "/pdbgame.exe";
  build.pdb = dir + "/pdbgame.pdb";
  build.exeBytes = ReadAll(build.exe);
  build.pdbBytes = ReadAll(build.pdb);
  EXPECT_EQ(collector::ReadPeIdentity(build.exeBytes, build.pe), "") << build.exe;
  std::istringstream syms(ReadAll(dir + "/pdbgame.syms"));
  std::string name, offset;
  while (syms >> name >> offset) {
    build.offsets[name] = static_cast<uint32_t>(std::stoul(offset, nullptr, 16));
  }
  return build;
}

class PdbSymbols : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = LoadBuild(VEXO_PDBGAME_DIR);
    b_ = LoadBuild(VEXO_PDBGAME_OTHER_DIR);
    ASSERT_TRUE(a_.offsets.count("pdbgame_crash") && a_.offsets.count("main"));
    ASSERT_NE(a_.pe.debugId, b_.pe.debugId);
    // The lines the functions begin on, as the source has them.
    std::istringstream source(ReadAll(VEXO_PDBGAME_SOURCE));
    std::string line;
    for (int number = 1; std::getline(source, line); ++number) {
      if (line.find("int pdbgame_crash(") != std::string::npos) crashLine_ = number;
      if (line.find("int main(") != std::string::npos) mainLine_ = number;
    }
    std::ofstream(dir_.File("read.token")) << kReadToken << "\n";
    std::ofstream(dir_.File("symbols.token")) << kSymbolsToken << "\n";
  }

  // stack.txt as the DLL writes it for a crash in build A's pdbgame_crash, called from main.
  std::string StackText() const {
    return "VexoCrashRpt stack 1\r\nexception 0xc0000005 " + Hex(0x400000 + Crash(), "0x%08x") +
           "\r\nthread 0x00000124\r\nmodule 0x00400000 " + Hex(a_.pe.sizeOfImage, "0x%08x") + " " +
           Hex(a_.pe.timestamp, "0x%08x") + " " + a_.pe.debugId +
           " PDBGame.exe|pdbgame.pdb\r\n#0 PDBGame.exe+" + Hex(Crash()) +
           " context\r\n#1 PDBGame.exe+" + Hex(a_.offsets.at("main") + 1) + " fp\r\n";
  }
  uint32_t Crash() const { return a_.offsets.at("pdbgame_crash"); }

  void SendReport(int port) {
    std::string log = "[12:00:01] start\r\n\r\n" + SummaryFor("pdbgame.exe", "0xc0000005", "0x0");
    std::string image = PackEntries({{"log.txt", log}, {"stack.txt", StackText()}});
    ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/", kBoundary, "1.0.0", image))), 200);
  }

  std::string Unsymbolized() const {
    return "#0 PDBGame.exe+" + Hex(Crash()) + "\n#1 PDBGame.exe+" +
           Hex(a_.offsets.at("main") + 1) + "\n";
  }
  std::string Symbolized() const {
    return "#0 pdbgame_crash " + std::string(VEXO_PDBGAME_SOURCE) + ":" +
           std::to_string(crashLine_) + "\n#1 main " + VEXO_PDBGAME_SOURCE + ":" +
           std::to_string(mainLine_) + "\n";
  }

  std::string Db() const { return dir_.File("reports.db"); }

  // The symbol server's paths: GUID and age in lower case, the names in odd cases.
  std::string PdbPath(const Build& build) const {
    return "/symbols/PDBGame.pdb/" + Lower(build.pe.debugId) + "/pdbgame.PDB";
  }
  std::string ExePath(const Build& build) const {
    return "/symbols/pdbgame.EXE/" + Hex(build.pe.timestamp, "%08x") +
           Hex(build.pe.sizeOfImage, "%x") + "/PdbGame.exe";
  }

  TempDir dir_;
  Build a_, b_;
  int crashLine_ = 0, mainLine_ = 0;
};

TEST_F(PdbSymbols, ThePdbIsKnownByTheGuidAndAgeOfItsInfoStream) {
  collector::PdbIdentity pdb;
  ASSERT_EQ(collector::ReadPdbIdentity(a_.pdbBytes, pdb), "");
  EXPECT_EQ(pdb.debugId, a_.pe.debugId);  // what the image's CodeView record names
  EXPECT_EQ(pdb.version, 20000404u);
  EXPECT_EQ(pdb.age, 1u);
  ASSERT_EQ(collector::ReadPdbIdentity(b_.pdbBytes, pdb), "");
  EXPECT_EQ(pdb.debugId, b_.pe.debugId);
  EXPECT_EQ(collector::PdbFileName(a_.pe.debugFile), "pdbgame.pdb");
  // Cut short anywhere, or not a PDB at all, it is refused without reading out of bounds.
  for (size_t size : {0, 31, 56, 4096, 8192, 20000}) {
    EXPECT_NE(collector::ReadPdbIdentity(a_.pdbBytes.substr(0, size), pdb), "") << size;
  }
  EXPECT_NE(collector::ReadPdbIdentity(a_.exeBytes, pdb), "");
}

TEST_F(PdbSymbols, SymbolsAddTakesTheImageWithItsPdbAndNeverUsesAnotherBuilds) {
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", Db()}, dir_.File("serve.err")));
  SendReport(server.port());
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  std::string image = "image pdbgame.exe " + Hex(a_.pe.timestamp, "0x%08x") + " " + a_.pe.debugId;

  // Build A's image with build B's PDB: the PDB is refused, the image kept.
  ToolResult mixed = RunCollector({"symbols", "add", "--db", Db(), a_.exe, b_.pdb});
  EXPECT_EQ(mixed.exitStatus, 1);
  EXPECT_EQ(mixed.out, "added " + image + " from pdbgame.exe\n");
  EXPECT_NE(mixed.err.find("pdbgame.pdb: its GUID and age " + b_.pe.debugId +
                           " are not those of pdbgame.exe (" + a_.pe.debugId +
                           "): it is the PDB of another build"),
            std::string::npos)
      << mixed.err;
  // Build B whole: its PDB is kept but never used for build A's report.
  ToolResult other = RunCollector({"symbols", "add", "--db", Db(), b_.exe, b_.pdb});
  EXPECT_EQ(other.exitStatus, 0) << other.err;
  EXPECT_NE(other.out.find("added pdb pdbgame.pdb " + b_.pe.debugId + " from pdbgame.pdb\n"),
            std::string::npos)
      << other.out;
  ToolResult shown = RunCollector({"show", "1", "--db", Db()});
  EXPECT_NE(shown.out.find(Unsymbolized()), std::string::npos) << shown.out;

  // Build A's own PDB: the report is symbolized and regrouped; the image was there already.
  ToolResult added = RunCollector({"symbols", "add", "--db", Db(), a_.exe, a_.pdb});
  EXPECT_EQ(added.exitStatus, 0) << added.err;
  EXPECT_EQ(added.out, "already stored " + image + " from pdbgame.exe\nadded pdb pdbgame.pdb " +
                           a_.pe.debugId + " from pdbgame.pdb\nregrouped 1 reports\n");
  shown = RunCollector({"show", "1", "--db", Db()});
  EXPECT_NE(shown.out.find(Symbolized()), std::string::npos) << shown.out;
  EXPECT_NE(RunCollector({"list", "--db", Db()}).out.find("\tpdbgame_crash | main\n"),
            std::string::npos);

  // The same files again change nothing.
  ToolResult again = RunCollector({"symbols", "add", "--db", Db(), a_.exe, a_.pdb});
  EXPECT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_EQ(Count(again.out, "already stored "), 2u) << again.out;
  collector::SqliteReportStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Db(), false, error)) << error;
  std::vector<collector::SymbolFile> files;
  ASSERT_TRUE(store.ListSymbolFiles(files, error)) << error;
  EXPECT_EQ(files.size(), 4u);  // A's image and PDB, B's image and PDB
}

class PdbSymbolsServer : public PdbSymbols {
 protected:
  void StartServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--db", Db(), "--read-token-file", dir_.File("read.token"),
                                     "--symbols-token-file", dir_.File("symbols.token")};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(server_.Start(args, dir_.File("serve.err")));
  }
  httplib::Result Upload(const std::string& token, const std::vector<const Build*>& exes,
                         const std::vector<const Build*>& pdbs) {
    httplib::Client client("127.0.0.1", server_.port());
    httplib::MultipartFormDataItems items;
    for (const Build* build : exes) {
      items.push_back({"file", build->exeBytes, "pdbgame.exe", "application/octet-stream"});
    }
    for (const Build* build : pdbs) {
      items.push_back({"file", build->pdbBytes, "pdbgame.pdb", "application/octet-stream"});
    }
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    return client.Post("/api/symbols", headers, items);
  }
  httplib::Result Get(const std::string& token, const std::string& path) {
    httplib::Client client("127.0.0.1", server_.port());
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "bearer " + token);
    return client.Get(path, headers);
  }
  CollectorProcess server_;
};

TEST_F(PdbSymbolsServer, EachTokenOpensItsOwnSideOnly) {
  StartServer();
  for (const std::string& token : {std::string(), kReadToken, kSymbolsToken + "x"}) {
    auto result = Upload(token, {&a_}, {&a_});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401) << token;
  }
  for (const std::string& token : {std::string(), kSymbolsToken, kReadToken + "x"}) {
    for (const std::string& path : {PdbPath(a_), ExePath(a_), std::string("/api/groups")}) {
      auto result = Get(token, path);
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, 401) << token << " " << path;
      EXPECT_EQ(result->body.find("MZ"), std::string::npos);
    }
  }
  EXPECT_EQ(server_.StopWith(SIGTERM), 0);
  std::vector<collector::SymbolFile> files;
  collector::SqliteReportStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Db(), false, error)) << error;
  ASSERT_TRUE(store.ListSymbolFiles(files, error)) << error;
  EXPECT_TRUE(files.empty());
}

TEST_F(PdbSymbolsServer, UploadedOnceSymbolizesAndIsServedToDebuggers) {
  StartServer();
  SendReport(server_.port());
  auto stored = Upload(kSymbolsToken, {&a_}, {&a_});
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 200) << stored->body;
  EXPECT_EQ(stored->body,
            "{\"files\":[{\"file\":\"pdbgame.exe\",\"status\":\"stored\",\"name\":\"pdbgame.exe\","
            "\"kind\":\"image\",\"debug_id\":\"" +
                a_.pe.debugId + "\",\"code_id\":\"" + Hex(a_.pe.timestamp, "%08X") +
                Hex(a_.pe.sizeOfImage, "%X") +
                "\"},{\"file\":\"pdbgame.pdb\",\"status\":\"stored\",\"name\":\"pdbgame.pdb\","
                "\"kind\":\"pdb\",\"debug_id\":\"" +
                a_.pe.debugId + "\",\"code_id\":null}],\"regrouped\":1}\n");
  auto again = Upload(kSymbolsToken, {&a_}, {&a_});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(Count(again->body, "\"status\":\"already stored\""), 2u) << again->body;
  EXPECT_EQ(Count(again->body, "\"regrouped\":0"), 1u) << again->body;

  // The report that came first reads symbolized through the read API.
  auto report = Get(kReadToken, "/api/reports/1");
  ASSERT_TRUE(report);
  EXPECT_NE(report->body.find("\"#0 pdbgame_crash " + std::string(VEXO_PDBGAME_SOURCE) + ":" +
                              std::to_string(crashLine_) + "\""),
            std::string::npos)
      << report->body;

  // The symbol server's layout, any case: the exact bytes, or 404.
  auto pdb = Get(kReadToken, PdbPath(a_));
  ASSERT_TRUE(pdb);
  EXPECT_EQ(pdb->status, 200);
  EXPECT_TRUE(pdb->body == a_.pdbBytes) << pdb->body.size() << " bytes";
  // A debugger's symbol client: the read token as the password of basic authentication.
  httplib::Client debugger("127.0.0.1", server_.port());
  auto asked = debugger.Get(PdbPath(a_));
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->status, 401);
  EXPECT_NE(asked->get_header_value("WWW-Authenticate", 1).find("Basic"), std::string::npos);
  debugger.set_basic_auth("windbg", kSymbolsToken.c_str());
  auto refused = debugger.Get(PdbPath(a_));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  debugger.set_basic_auth("windbg", kReadToken.c_str());
  auto basic = debugger.Get(PdbPath(a_));
  ASSERT_TRUE(basic);
  EXPECT_EQ(basic->status, 200);
  EXPECT_TRUE(basic->body == a_.pdbBytes);
  auto exe = Get(kReadToken, ExePath(a_));
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe->status, 200);
  EXPECT_TRUE(exe->body == a_.exeBytes) << exe->body.size() << " bytes";
  for (const std::string& path :
       {PdbPath(b_), ExePath(b_), "/symbols/pdbgame.pdb/" + a_.pe.debugId + "/other.pdb",
        "/symbols/pdbgame.exe/" + Hex(a_.pe.timestamp, "%08X") + "1000/pdbgame.exe",
        std::string("/symbols/pdbgame.pdb")}) {
    auto absent = Get(kReadToken, path);
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->status, 404) << path;
  }

  // Build A's image with build B's PDB: the PDB is refused and never stored.
  auto mixed = Upload(kSymbolsToken, {&a_}, {&b_});
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->status, 422);
  EXPECT_NE(mixed->body.find("\"status\":\"refused\",\"name\":\"pdbgame.pdb\""), std::string::npos)
      << mixed->body;
  EXPECT_NE(mixed->body.find("it is the PDB of another build"), std::string::npos);
  auto other = Get(kReadToken, PdbPath(b_));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
  EXPECT_EQ(server_.StopWith(SIGTERM), 0);
  ToolResult shown = RunCollector({"show", "1", "--db", Db()});
  EXPECT_NE(shown.out.find(Symbolized()), std::string::npos) << shown.out;
}

TEST_F(PdbSymbolsServer, TokensAreCheckedAtStartAndUploadsBounded) {
  std::ofstream(dir_.File("short.token")) << "fifteen-bytes-x";
  CollectorProcess refused;
  EXPECT_FALSE(refused.Start({"--db", Db(), "--symbols-token-file", dir_.File("short.token")},
                             dir_.File("short.err")));
  EXPECT_EQ(refused.exitStatus(), 1);
  EXPECT_NE(ReadAll(dir_.File("short.err")).find("the symbols token in"), std::string::npos);
  EXPECT_FALSE(refused.Start({"--db", Db(), "--read-token-file", dir_.File("read.token"),
                              "--symbols-token-file", dir_.File("read.token")},
                             dir_.File("same.err")));
  EXPECT_EQ(refused.exitStatus(), 1);

  StartServer({"--max-symbol-bytes", std::to_string(a_.exeBytes.size() + 4096)});
  auto fits = Upload(kSymbolsToken, {&a_}, {});
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->status, 200) << fits->body;
  auto large = Upload(kSymbolsToken, {&a_}, {&a_});
  ASSERT_TRUE(large);
  EXPECT_EQ(large->status, 413);
  // Without the symbols token, /api/symbols is a path like any other for game uploads.
  EXPECT_EQ(server_.StopWith(SIGTERM), 0);
  ASSERT_TRUE(server_.Start({"--db", Db()}, dir_.File("plain.err")));
  EXPECT_EQ(StatusOf(SendRaw(server_.port(),
                             BuildUploadRequest("/api/symbols", kBoundary, "1.0.0", "log"))),
            200);
  EXPECT_EQ(server_.StopWith(SIGTERM), 0);
}

// The store's side on both stores: one copy per key, found by each identity a reader has.
using PdbStores = BothStores;

TEST_P(PdbStores, SymbolFilesAreKeptOnceAndFoundByIdentity) {
  Build a = LoadBuild(VEXO_PDBGAME_DIR);
  std::unique_ptr<collector::ReportStore> store = Open(NewLocation(), true);
  collector::SymbolFile image;
  image.kind = "image";
  image.loadable = true;
  image.module = "pdbgame.exe";
  image.timestamp = a.pe.timestamp;
  image.debugId = a.pe.debugId;
  image.sizeOfImage = a.pe.sizeOfImage;
  image.imageBase = a.pe.imageBase;
  image.fileName = "pdbgame.exe";
  image.addedUtc = "2026-12-09T00:00:00Z";
  image.bytes = a.exeBytes;
  collector::SymbolFile pdb = image;
  pdb.kind = "pdb";
  pdb.loadable = false;
  pdb.module = "pdbgame.pdb";
  pdb.timestamp = 0;
  pdb.sizeOfImage = 0;
  pdb.bytes = a.pdbBytes;
  std::string error;
  bool already = true;
  int64_t imageId = store->AddSymbolFile(image, already, error);
  ASSERT_NE(imageId, 0) << error;
  EXPECT_FALSE(already);
  EXPECT_EQ(store->AddSymbolFile(image, already, error), imageId);
  EXPECT_TRUE(already);
  int64_t pdbId = store->AddSymbolFile(pdb, already, error);
  ASSERT_NE(pdbId, 0) << error;

  collector::SymbolFile found;
  bool present = false;
  ASSERT_TRUE(store->FindImage("PDBGAME.EXE", a.pe.timestamp, a.pe.sizeOfImage, found, present,
                               error))
      << error;
  ASSERT_TRUE(present);
  EXPECT_EQ(found.id, imageId);
  EXPECT_TRUE(found.bytes == a.exeBytes);
  ASSERT_TRUE(store->FindImage("pdbgame.exe", a.pe.timestamp, a.pe.sizeOfImage + 1, found, present,
                               error));
  EXPECT_FALSE(present);
  ASSERT_TRUE(store->FindImageByDebugId("pdbgame.exe", Lower(a.pe.debugId), found, present, error));
  ASSERT_TRUE(present);
  EXPECT_EQ(found.kind, "image");
  EXPECT_TRUE(found.bytes == a.exeBytes);
  ASSERT_TRUE(store->FindPdb("PdbGame.pdb", Lower(a.pe.debugId), found, present, error));
  ASSERT_TRUE(present);
  EXPECT_EQ(found.id, pdbId);
  std::string otherAge = a.pe.debugId.substr(0, 32) + "2";
  ASSERT_TRUE(store->FindPdb("pdbgame.pdb", otherAge, found, present, error));
  EXPECT_FALSE(present);
  // An image is no DWARF file.
  ASSERT_TRUE(store->FindSymbolFile("pdbgame.exe", a.pe.timestamp, a.pe.debugId, found, present,
                                    error));
  EXPECT_FALSE(present);

  // Other bytes under the same key replace the file.
  image.bytes += "x";
  int64_t replaced = store->AddSymbolFile(image, already, error);
  EXPECT_FALSE(already);
  EXPECT_GT(replaced, pdbId);
  std::vector<collector::SymbolFile> files;
  ASSERT_TRUE(store->ListSymbolFiles(files, error)) << error;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[1].kind, "image");
  EXPECT_TRUE(files[1].loadable);
  EXPECT_TRUE(files[1].bytes == image.bytes);
}

INSTANTIATE_TEST_SUITE_P(Stores, PdbStores, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
