// A report that carries crash.dmp beside log.txt and stack.txt: the dump is served whole behind
// the read token or the session, summed up on the report page, in its JSON and by show, and
// written out by show --minidump, all within the decoding limit of each.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "minidump_builder.h"

namespace {

using namespace collector_test;

const std::string kBoundary = "---------------------------28253686825547";
const std::string kToken = "s3cret-read-token";
const std::string kStack =
    "VexoCrashRpt stack 1\r\nexception 0xc0000005 0x0040155d\r\nthread 0x00000124\r\n"
    "module 0x00400000 0x00021000 0x656f1a2b 3F2504E011898D4F9A0C0305E82C33011 crashgame.exe\r\n"
    "#0 crashgame.exe+0x155d context\r\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Get(int port, const std::string& path, const std::string& header = "") {
  return SendRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                           (header.empty() ? "" : header + "\r\n") + "\r\n");
}

std::string HeadOf(const std::string& response) {
  return response.substr(0, response.find("\r\n\r\n"));
}

// Signs in through the form, as a browser does, and returns "Cookie: collector_session=...".
std::string SignIn(int port) {
  std::string form = "token=" + kToken;
  std::string response =
      SendRaw(port,
              "POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                  std::to_string(form.size()) + "\r\n\r\n" + form);
  size_t at = response.find("collector_session=");
  if (StatusOf(response) != 303 || at == std::string::npos) {
    return "";
  }
  return "Cookie: " + response.substr(at, response.find(';', at) - at);
}

TEST(CollectorMinidump, ServedShownAndWrittenWithinTheLimits) {
  TempDir dir;
  std::ofstream(dir.File("token")) << kToken << "\n";
  const std::string dump = SampleMinidump();
  // Over the server's decoding limit once extracted, though the upload itself is small.
  TestDump bigDump;
  bigDump.memory.push_back({0x10000, std::string(20000, '\0')});
  const std::string big = BuildTestMinidump(bigDump);
  const std::string log = "[12:00:01] start\r\n\r\n" + SummaryFor("game.exe", "0xc0000005", "0x1");
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", dir.File("r.db"), "--read-token-file", dir.File("token"),
                            "--max-decoded-bytes", "8192"},
                           dir.File("serve.err")));
  int port = server.port();
  for (const std::string& pak :
       {PackEntries({{"log.txt", log}, {"stack.txt", kStack}, {"crash.dmp", dump}}),
        PackEntries({{"log.txt", log}}), PackEntries({{"log.txt", log}, {"crash.dmp", big}})}) {
    ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/u", kBoundary, "1.0", pak))), 200);
  }
  const std::string bearer = "Authorization: Bearer " + kToken;

  EXPECT_EQ(StatusOf(Get(port, "/api/reports/1/minidump")), 401);
  EXPECT_EQ(StatusOf(Get(port, "/api/reports/1/minidump", "Authorization: Bearer wrong")), 401);
  std::string served = Get(port, "/api/reports/1/minidump", bearer);
  ASSERT_EQ(StatusOf(served), 200) << served;
  EXPECT_EQ(BodyOf(served), dump);
  EXPECT_NE(HeadOf(served).find("Content-Type: application/octet-stream"), std::string::npos);
  EXPECT_NE(HeadOf(served).find("Content-Disposition: attachment; filename=\"report-1.dmp\""),
            std::string::npos)
      << HeadOf(served);
  for (const char* none :
       {"/api/reports/2/minidump", "/api/reports/3/minidump", "/api/reports/9/minidump"}) {
    std::string missing = Get(port, none, bearer);
    EXPECT_EQ(StatusOf(missing), 404) << none;
    EXPECT_EQ(BodyOf(missing), "{\"error\":\"not found\"}\n") << none;
  }

  const std::string summary =
      "\"minidump\":{\"threads\":2,\"modules\":2,\"bytes\":" + std::to_string(dump.size()) + "}";
  EXPECT_NE(BodyOf(Get(port, "/api/reports/1", bearer)).find(summary), std::string::npos);
  EXPECT_NE(BodyOf(Get(port, "/api/reports/2", bearer)).find("\"minidump\":null"),
            std::string::npos);
  EXPECT_NE(BodyOf(Get(port, "/api/reports/3", bearer)).find("\"minidump\":null"),
            std::string::npos);

  // The page's link works with the session alone.
  std::string cookie = SignIn(port);
  ASSERT_FALSE(cookie.empty());
  std::string page = BodyOf(Get(port, "/reports/1", cookie));
  const std::string counts = "2 threads, 2 modules (" + std::to_string(dump.size()) + " bytes)";
  EXPECT_NE(page.find("<dt>minidump</dt><dd>" + counts), std::string::npos) << page;
  EXPECT_NE(page.find("href=\"/api/reports/1/minidump\""), std::string::npos);
  EXPECT_EQ(BodyOf(Get(port, "/api/reports/1/minidump", cookie)), dump);
  EXPECT_EQ(Get(port, "/reports/2", cookie).find("minidump"), std::string::npos);
  std::string tooLarge = BodyOf(Get(port, "/reports/3", cookie));
  EXPECT_NE(tooLarge.find("not decoded: crash.dmp claims " + std::to_string(big.size())),
            std::string::npos)
      << tooLarge;
  EXPECT_EQ(tooLarge.find("/api/reports/3/minidump"), std::string::npos);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  ToolResult shown = RunCollector({"show", "1", "--db", dir.File("r.db")});
  EXPECT_EQ(shown.exitStatus, 0);
  EXPECT_NE(shown.out.find("\nminidump: " + counts + "\n"), std::string::npos) << shown.out;
  ToolResult written =
      RunCollector({"show", "1", "--db", dir.File("r.db"), "--minidump", dir.File("1.dmp")});
  EXPECT_EQ(written.exitStatus, 0) << written.err;
  EXPECT_EQ(written.out, "");
  EXPECT_EQ(ReadFile(dir.File("1.dmp")), dump);
  // show decodes without a cap, as it does the log.
  EXPECT_EQ(RunCollector({"show", "3", "--db", dir.File("r.db"), "--minidump", dir.File("3.dmp")})
                .exitStatus,
            0);
  EXPECT_EQ(ReadFile(dir.File("3.dmp")), big);
  ToolResult none =
      RunCollector({"show", "2", "--db", dir.File("r.db"), "--minidump", dir.File("2.dmp")});
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_NE(none.err.find("report 2 has no minidump"), std::string::npos) << none.err;
  EXPECT_EQ(
      RunCollector({"show", "1", "--db", dir.File("r.db"), "--raw", "--minidump", "x"}).exitStatus,
      2);
}

}  // namespace
