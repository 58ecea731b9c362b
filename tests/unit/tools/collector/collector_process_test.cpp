// The collector binary end to end: started as a child process on a free port, fed with uploads
// written byte for byte like the crash library writes them, then read back through list/show.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "collector_harness.h"
#include "gbk_texts.h"
#include "ingest/crash_entry.h"
#include "store/sqlite_store.h"

namespace {

using namespace collector_test;

// The library's initial boundary: 27 hyphens and 14 digits.
const std::string kBoundary41 = "---------------------------28253686825547";
// A regenerated one: the first 31 characters kept, eleven hexadecimal digits drawn.
const std::string kBoundary42 = "---------------------------28253F7A0B5C21E";

// A game log line "[12:00:01] 地图载入" (map loading) in GBK, and the same in UTF-8.
const std::string kGameLineGbk = "[12:00:01] \xB5\xD8\xCD\xBC\xD4\xD8\xC8\xEB\r\n";
const std::string kGameLineUtf8 = "[12:00:01] 地图载入\r\n";
// The summary of SummaryFor("game.exe", "0xc0000005", "0x401000") in UTF-8.
const std::string kSummaryUtf8 =
    "异常时间：2021-03-02 04:05:06\r\n\r\n程序名称：game.exe\r\n\r\n"
    "异常编号：0xc0000005\r\n异常地址：0x401000\r\n异常分类：0\r\n";

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) {
    parts.push_back(part);
  }
  return parts;
}

// The log of a crash: many game lines (so the archive compresses), CR LF, the summary.
std::string CrashLog(int lines) {
  std::string log;
  for (int i = 0; i < lines; ++i) {
    log += kGameLineGbk;
  }
  return log + "\r\n" + SummaryFor("game.exe", "0xc0000005", "0x401000");
}

std::string CrashLogUtf8(int lines) {
  std::string log;
  for (int i = 0; i < lines; ++i) {
    log += kGameLineUtf8;
  }
  return log + "\r\n" + kSummaryUtf8;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class CollectorServe : public ::testing::Test {
 protected:
  void StartServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--db", Db(), "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(server_.Start(args, dir_.File("serve.err")))
        << "first line: " << server_.firstLine() << "\nstderr: " << ServerErrors();
  }

  std::string Db() const { return dir_.File("reports.db"); }
  std::string ServerErrors() const { return ReadFile(dir_.File("serve.err")); }

  std::string Upload(const std::string& boundary, const std::string& ver, const std::string& file,
                     const std::string& path = "/upload") {
    return SendRaw(server_.port(), BuildUploadRequest(path, boundary, ver, file));
  }

  // The report lines of "list": each split into its seven fields.
  std::vector<std::vector<std::string>> ListedReports() {
    ToolResult listed = RunCollector({"list", "--db", Db()});
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> lines = Split(listed.out, '\n');
    if (lines.empty()) {
      ADD_FAILURE() << "empty listing";
      return rows;
    }
    EXPECT_EQ(lines[0].rfind("reports: ", 0), 0u) << listed.out;
    size_t count = std::stoul(lines[0].substr(9));
    for (size_t i = 1; i <= count && i < lines.size(); ++i) {
      rows.push_back(Split(lines[i], '\t'));
      EXPECT_EQ(rows.back().size(), 7u) << lines[i];
    }
    return rows;
  }

  ToolResult Show(const std::string& id, const std::string& flag = "") {
    std::vector<std::string> args{"show", id, "--db", Db()};
    if (!flag.empty()) {
      args.push_back(flag);
    }
    return RunCollector(args);
  }

  TempDir dir_;
  CollectorProcess server_;
};

TEST_F(CollectorServe, LibraryStyleUploadIsStoredListedAndShownByteForByte) {
  StartServer();
  std::string log = CrashLog(300);
  std::string image = PackLog(log);
  // Pack type 11 inside: the collector has to decompress.
  ASSERT_EQ(image.substr(64, 4), std::string("NZ\x0B\x00", 4));

  std::string response = Upload(kBoundary41, "1.0.0", image);
  EXPECT_EQ(StatusOf(response), 200) << response;
  EXPECT_EQ(BodyOf(response), "OK 1\n");

  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "1");
  EXPECT_EQ(rows[0][1].size(), 24u) << rows[0][1];  // 2026-12-08T14:31:26.123Z
  EXPECT_EQ(rows[0][1].back(), 'Z');
  EXPECT_EQ(rows[0][2], "1.0.0");
  EXPECT_EQ(rows[0][3], "game.exe");
  EXPECT_EQ(rows[0][4], "0xc0000005");
  EXPECT_EQ(rows[0][5], "0x401000");
  EXPECT_EQ(rows[0][6], "archive");

  ToolResult raw = Show("1", "--raw");
  EXPECT_EQ(raw.exitStatus, 0) << raw.err;
  EXPECT_EQ(raw.out, log);
  ToolResult pak = Show("1", "--pak");
  EXPECT_EQ(pak.exitStatus, 0) << pak.err;
  EXPECT_EQ(pak.out, image);

  ToolResult shown = Show("1");
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  std::string utf8 = CrashLogUtf8(300);
  ASSERT_GE(shown.out.size(), utf8.size());
  EXPECT_EQ(shown.out.substr(shown.out.size() - utf8.size()), utf8);
  EXPECT_NE(shown.out.find("id: 1\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("peer: 127.0.0.1:"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("path: /upload\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("ver: 1.0.0\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("state: archive\n"), std::string::npos) << shown.out;

  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
}

TEST_F(CollectorServe, RegeneratedBoundaryAndUnpackedLogText) {
  StartServer();
  // What the library uploads when it could not build an archive: the log text itself. It holds
  // the initial boundary, which is why the boundary was regenerated to 42 characters.
  std::string text = "line with " + kBoundary41 + " inside\r\n" + UnknownSummary("game.exe");
  std::string response = Upload(kBoundary42, "2.5.0", text, "/crash/report%20x?id=7");
  EXPECT_EQ(StatusOf(response), 200) << response;

  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][2], "2.5.0");
  EXPECT_EQ(rows[0][3], "game.exe");
  EXPECT_EQ(rows[0][4], "unknown");
  EXPECT_EQ(rows[0][6], "unpacked");
  ToolResult raw = Show("1", "--raw");
  EXPECT_EQ(raw.exitStatus, 0);
  EXPECT_EQ(raw.out, text);
  ToolResult shown = Show("1");
  EXPECT_NE(shown.out.find("path: /crash/report%20x?id=7\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("未知的错误信息！\r\n"), std::string::npos) << shown.out;
}

TEST_F(CollectorServe, AcceptsUploadsFromAnOrdinaryHttpClient) {
  StartServer();
  std::string log = CrashLog(3);
  std::string image = PackLog(log);
  httplib::Client client("127.0.0.1", server_.port());
  httplib::MultipartFormDataItems items = {
      {"ver", "3.1.4", "", ""},
      {"file", image, "log.pak", "application/octet-stream"},
  };
  auto result = client.Post("/any/where", items);
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 200);
  ToolResult raw = Show("1", "--raw");
  EXPECT_EQ(raw.out, log);
  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][2], "3.1.4");
}

TEST_F(CollectorServe, RejectsRequestsWithoutFilePartAndStoresNothing) {
  StartServer();
  int port = server_.port();
  // Multipart with the version field only.
  std::string body = "--" + kBoundary41 +
                     "\r\nContent-Disposition: form-data; name=\"ver\"\r\n\r\n1.0.0\r\n--" +
                     kBoundary41 + "--\r\n\r\n";
  std::string request =
      "POST /upload HTTP/1.0\r\nHOST: 127.0.0.1\r\n"
      "Content-Type: multipart/form-data; boundary=" +
      kBoundary41 + "\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  std::string response = SendRaw(port, request);
  EXPECT_EQ(StatusOf(response), 400) << response;
  EXPECT_NE(BodyOf(response).find("file"), std::string::npos) << response;

  // Not multipart at all.
  response = SendRaw(port,
                     "POST / HTTP/1.0\r\nContent-Type: text/plain\r\n"
                     "Content-Length: 5\r\n\r\nhello");
  EXPECT_EQ(StatusOf(response), 400) << response;
  EXPECT_FALSE(BodyOf(response).empty());

  // A multipart body cut off before its closing line.
  std::string full = BuildUploadRequest("/", kBoundary41, "1.0.0", "text");
  std::string cut = full.substr(0, full.size() - 12);
  size_t lengthAt = cut.find("Content-Length: ") + 16;
  size_t lengthEnd = cut.find("\r\n", lengthAt);
  size_t bodyLength = cut.size() - (cut.find("\r\n\r\n") + 4);
  cut.replace(lengthAt, lengthEnd - lengthAt, std::to_string(bodyLength));
  response = SendRaw(port, cut);
  EXPECT_EQ(StatusOf(response), 400) << response;

  EXPECT_TRUE(ListedReports().empty());
  // Still serving.
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "text")), 200);
  EXPECT_EQ(ListedReports().size(), 1u);
}

TEST_F(CollectorServe, AnswersTooLargeAboveTheLimit) {
  StartServer({"--max-bytes", "2000"});
  std::string response = Upload(kBoundary41, "1.0.0", std::string(5000, 'x'));
  EXPECT_EQ(StatusOf(response), 413) << response;
  EXPECT_NE(BodyOf(response).find("2000"), std::string::npos) << response;
  EXPECT_TRUE(ListedReports().empty());
  // A body just under the limit passes.
  std::string request = BuildUploadRequest("/", kBoundary41, "1.0.0", "");
  size_t overhead = request.size() - (request.find("\r\n\r\n") + 4);
  response = Upload(kBoundary41, "1.0.0", std::string(2000 - overhead, 'y'));
  EXPECT_EQ(StatusOf(response), 200) << response;
  EXPECT_EQ(ListedReports().size(), 1u);
}

TEST_F(CollectorServe, UndecodableArchiveIsStoredRawAndFlagged) {
  StartServer();
  std::string image = PackLog(CrashLog(300));
  std::string broken = image.substr(0, image.size() / 2);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", broken)), 200);
  // Binary that is no archive at all.
  std::string binary("\x01\x02\x00\x03", 4);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", binary)), 200);

  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][6], "undecodable");
  EXPECT_EQ(rows[1][6], "undecodable");
  EXPECT_EQ(Show("1", "--pak").out, broken);
  EXPECT_EQ(Show("2", "--pak").out, binary);
  ToolResult raw = Show("1", "--raw");
  EXPECT_EQ(raw.exitStatus, 1);
  EXPECT_TRUE(raw.out.empty());
  ToolResult shown = Show("1");
  EXPECT_EQ(shown.exitStatus, 0);
  EXPECT_NE(shown.out.find("state: undecodable\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("log: (none)\n"), std::string::npos) << shown.out;
}

TEST_F(CollectorServe, ShowReplacesInvalidGbkAndRawKeepsIt) {
  StartServer();
  std::string text = "ok\xFF\xB3\r\nend\xB3";
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", text)), 200);
  ToolResult shown = Show("1");
  EXPECT_EQ(shown.exitStatus, 0);
  const std::string expected = "ok\xEF\xBF\xBD\xEF\xBF\xBD\r\nend\xEF\xBF\xBD";
  ASSERT_GE(shown.out.size(), expected.size());
  EXPECT_EQ(shown.out.substr(shown.out.size() - expected.size()), expected);
  EXPECT_EQ(Show("1", "--raw").out, text);
}

TEST_F(CollectorServe, AnswersWithTheChosenStatusAndStillStores) {
  StartServer({"--status", "404"});
  std::string response = Upload(kBoundary41, "1.0.0", PackLog("x"));
  EXPECT_EQ(StatusOf(response), 404) << response;
  ASSERT_EQ(ListedReports().size(), 1u);
  EXPECT_NE(Show("1").out.find("answered: 404\n"), std::string::npos);
}

TEST_F(CollectorServe, ConcurrentUploadsAreAllStored) {
  StartServer();
  constexpr int kThreads = 8;
  constexpr int kEach = 5;
  // Archives are built here, one after another: the packer's work areas are shared, so it
  // must not run on several threads at once.
  std::vector<std::string> images;
  for (int n = 0; n < kThreads * kEach; ++n) {
    images.push_back(PackLog(CrashLog(50 + n)));
  }
  std::vector<std::vector<int>> statuses(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &statuses, &images] {
      for (int i = 0; i < kEach; ++i) {
        std::string ver = std::to_string(t) + "." + std::to_string(i) + ".0";
        std::string response =
            Upload(t % 2 ? kBoundary41 : kBoundary42, ver, images[t * kEach + i]);
        statuses[t].push_back(StatusOf(response));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const auto& list : statuses) {
    for (int status : list) {
      EXPECT_EQ(status, 200);
    }
  }
  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), static_cast<size_t>(kThreads * kEach));
  std::set<std::string> vers;
  for (const auto& row : rows) {
    vers.insert(row[2]);
    EXPECT_EQ(row[6], "archive");
  }
  EXPECT_EQ(vers.size(), static_cast<size_t>(kThreads * kEach));
  // Every report decodes to exactly the log that was sent with its version.
  for (size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::string> parts = Split(rows[i][2], '.');
    ASSERT_EQ(parts.size(), 3u);
    int lines = 50 + std::stoi(parts[0]) * kEach + std::stoi(parts[1]);
    EXPECT_EQ(Show(rows[i][0], "--raw").out, CrashLog(lines)) << rows[i][2];
  }
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
}

TEST_F(CollectorServe, StopsCleanlyOnSignalsWhileIdle) {
  StartServer();
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
  CollectorProcess second;
  ASSERT_TRUE(second.Start({"--db", Db()}, dir_.File("second.err")));
  EXPECT_EQ(second.StopWith(SIGINT), 0);
  // A signal at once after the first line, before the accept loop may have begun.
  CollectorProcess third;
  ASSERT_TRUE(third.Start({"--db", Db()}, dir_.File("third.err")));
  EXPECT_EQ(third.StopWith(SIGTERM), 0);
}

TEST_F(CollectorServe, AcknowledgedReportSurvivesSigtermRightAfterIt) {
  StartServer();
  std::string log = CrashLog(100);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", PackLog(log))), 200);
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Show("1", "--raw").out, log);
  // The database was closed cleanly: a new server continues its numbering.
  StartServer();
  EXPECT_EQ(BodyOf(Upload(kBoundary41, "1.0.0", "more")), "OK 2\n");
}

TEST_F(CollectorServe, AcknowledgedReportSurvivesAKill) {
  StartServer();
  std::string log = CrashLog(10);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", PackLog(log))), 200);
  // No chance to clean up: what was acknowledged must already be committed.
  EXPECT_EQ(server_.StopWith(SIGKILL), -1);
  EXPECT_EQ(Show("1", "--raw").out, log);
}

TEST_F(CollectorServe, LargeUploadRoundTrips) {
  StartServer();
  // Several megabytes of text that compresses poorly, so the archive is large too.
  std::string log;
  uint32_t state = 12345;
  while (log.size() < 3u * 1024u * 1024u) {
    state = state * 1103515245u + 12345u;
    log += static_cast<char>('!' + (state >> 16) % 90);
    if ((state >> 8) % 60 == 0) {
      log += "\r\n";
    }
  }
  log += SummaryFor("game.exe", "0xc0000005", "0x401000");
  std::string image = PackLog(log);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", image)), 200);
  EXPECT_EQ(Show("1", "--pak").out, image);
  EXPECT_EQ(Show("1", "--raw").out, log);
}

TEST_F(CollectorServe, RequestInProgressIsFinishedAfterSigterm) {
  StartServer();
  int port = server_.port();
  std::string request = BuildUploadRequest("/", kBoundary41, "9.9.9", PackLog(CrashLog(200)));
  int slow = ConnectTo(port);
  ASSERT_GE(slow, 0);
  size_t half = request.size() / 2;
  ASSERT_TRUE(SendAll(slow, request.substr(0, half)));
  // Connections are accepted in order, so once this later one is answered the slow one is
  // in the server's hands.
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "first")), 200);

  std::thread stopper([this] { server_.StopWith(SIGTERM); });
  // Wait until the server has stopped listening: a new connection is then refused.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool refused = false;
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    int probe = ConnectTo(port);
    if (probe < 0) {
      refused = true;
    } else {
      close(probe);
      std::this_thread::yield();
    }
  }
  EXPECT_TRUE(refused);
  ASSERT_TRUE(SendAll(slow, request.substr(half)));
  std::string response = ReceiveAll(slow);
  close(slow);
  stopper.join();
  EXPECT_EQ(StatusOf(response), 200) << response;
  EXPECT_EQ(server_.exitStatus(), 0) << ServerErrors();
  auto rows = ListedReports();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][2], "9.9.9");
}

TEST_F(CollectorServe, AcceptedConnectionsWaitingForAWorkerAreServedAfterSigterm) {
  StartServer();
  int port = server_.port();
  // More connections than the server has worker threads, each with half a request sent: some
  // are being read, the rest wait in the server's queue when the signal comes.
  constexpr int kConnections = 12;
  std::vector<std::string> requests;
  std::vector<int> sockets;
  for (int i = 0; i < kConnections; ++i) {
    requests.push_back(BuildUploadRequest("/", kBoundary41, std::to_string(i) + ".0.0",
                                          PackLog(CrashLog(20 + i))));
    int sock = ConnectTo(port);
    ASSERT_GE(sock, 0);
    sockets.push_back(sock);
    ASSERT_TRUE(SendAll(sock, requests.back().substr(0, requests.back().size() / 2)));
  }
  // Wait until the server has taken every connection off the listen queue.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (AcceptQueueLength(port) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(AcceptQueueLength(port), 0);

  std::thread stopper([this] { server_.StopWith(SIGTERM); });
  bool refused = false;
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    int probe = ConnectTo(port);
    refused = probe < 0;
    if (!refused) {
      close(probe);
      std::this_thread::yield();
    }
  }
  EXPECT_TRUE(refused);
  std::vector<int> statuses;
  for (int i = 0; i < kConnections; ++i) {
    SendAll(sockets[i], requests[i].substr(requests[i].size() / 2));
  }
  for (int i = 0; i < kConnections; ++i) {
    statuses.push_back(StatusOf(ReceiveAll(sockets[i])));
    close(sockets[i]);
  }
  stopper.join();
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_EQ(statuses[i], 200) << "connection " << i;
  }
  EXPECT_EQ(server_.exitStatus(), 0) << ServerErrors();
  EXPECT_EQ(ListedReports().size(), static_cast<size_t>(kConnections));
}

TEST_F(CollectorServe, FailsClearlyWhenThePortIsTaken) {
  StartServer();
  CollectorProcess second;
  std::vector<std::string> args{"--db", dir_.File("other.db"), "--listen",
                                "127.0.0.1:" + std::to_string(server_.port())};
  EXPECT_FALSE(second.Start(args, dir_.File("second.err")));
  EXPECT_EQ(second.exitStatus(), 1);
  EXPECT_NE(ReadFile(dir_.File("second.err")).find("in use"), std::string::npos)
      << ReadFile(dir_.File("second.err"));
  // The first one is unaffected.
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "x")), 200);
}

TEST(CollectorCommandLine, RejectsBadArgumentsAndUnusableDatabases) {
  TempDir dir;
  EXPECT_EQ(RunCollector({}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"frobnicate", "--db", dir.File("a.db")}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"list"}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"serve", "--db", dir.File("a.db"), "--listen", "127.0.0.1"}).exitStatus,
            2);
  EXPECT_EQ(
      RunCollector({"serve", "--db", dir.File("a.db"), "--listen", "127.0.0.1:70000"}).exitStatus,
      2);
  EXPECT_EQ(RunCollector({"serve", "--db", dir.File("a.db"), "--max-bytes", "0"}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"serve", "--db", dir.File("a.db"), "--status", "199"}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"serve", "--db", dir.File("a.db"), "--bogus"}).exitStatus, 2);
  EXPECT_EQ(
      RunCollector({"serve", "--db", dir.File("a.db"), "--trusted-proxy", "nginx"}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"show", "--db", dir.File("a.db")}).exitStatus, 2);
  EXPECT_EQ(RunCollector({"show", "x1", "--db", dir.File("a.db")}).exitStatus, 2);

  ToolResult result = RunCollector({"serve", "--db", dir.File("no/such/dir/a.db")});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("cannot open database"), std::string::npos) << result.err;
  EXPECT_TRUE(result.out.empty());  // no "listening" line for a server that never listened
  result = RunCollector({"list", "--db", dir.File("missing.db")});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("cannot open database"), std::string::npos) << result.err;

  ToolResult help = RunCollector({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("--status"), std::string::npos);
}

TEST_F(CollectorServe, ShowOfAnUnknownReportFails) {
  StartServer();
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "x")), 200);
  ToolResult result = Show("2");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("no report 2"), std::string::npos) << result.err;
}

// The multipart body the crash library sends, with the parts given (name, bytes) in order.
std::string MultipartBody(const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string body;
  for (const auto& part : parts) {
    body += "--" + kBoundary41 + "\r\nContent-Disposition: form-data; name=\"" + part.first + "\"";
    body += part.first == "file" ? "; filename=\"log.pak\"\r\n\r\n" : "\r\n\r\n";
    body += part.second + "\r\n";
  }
  return body + "--" + kBoundary41 + "--\r\n\r\n";
}

std::string PostHead(const std::string& framing) {
  return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
         "boundary=" +
         kBoundary41 + "\r\n" + framing + "Connection: close\r\n\r\n";
}

// The body sent in chunks of 1000 bytes, so its size is never announced.
std::string ChunkedRequest(const std::string& body) {
  std::string request = PostHead("Transfer-Encoding: chunked\r\n");
  for (size_t at = 0; at < body.size(); at += 1000) {
    std::string chunk = body.substr(at, 1000);
    char size[16];
    std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
    request += size + chunk + "\r\n";
  }
  return request + "0\r\n\r\n";
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(CollectorServe, ChunkedBodyOverTheLimitIsRefusedAndNotStored) {
  StartServer({"--max-bytes", "4000"});
  std::string response =
      SendRaw(server_.port(), ChunkedRequest(MultipartBody({{"file", std::string(6000, 'x')}})));
  EXPECT_EQ(StatusOf(response), 413) << response;
  EXPECT_TRUE(ListedReports().empty());
  response = SendRaw(server_.port(),
                     ChunkedRequest(MultipartBody({{"ver", "2.0"}, {"file", "chunked log"}})));
  EXPECT_EQ(StatusOf(response), 200) << response;
  EXPECT_EQ(Show("1", "--raw").out, "chunked log");
}

TEST_F(CollectorServe, DuplicatePartsAndOtherMethodsAreRefused) {
  StartServer();
  for (const std::string name : {"file", "ver"}) {
    std::string body = MultipartBody({{"ver", "1.0"}, {"file", "a"}, {name, "b"}});
    std::string response = SendRaw(
        server_.port(), PostHead("Content-Length: " + std::to_string(body.size()) + "\r\n") + body);
    EXPECT_EQ(StatusOf(response), 400) << response;
    EXPECT_EQ(BodyOf(response), "duplicate part " + name + "\n");
  }
  EXPECT_TRUE(ListedReports().empty());
  for (const std::string method : {"GET", "PUT"}) {
    std::string response = SendRaw(
        server_.port(), method + " /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(StatusOf(response), 405) << response;
    EXPECT_NE(response.find("\r\nAllow: POST\r\n"), std::string::npos) << response;
  }
}

TEST_F(CollectorServe, SlowClientsBlockNoUploadAndSigtermEndsThemQuickly) {
  StartServer();
  // Half of them stall inside the head, half inside the body, each a byte at a time.
  std::string request = BuildUploadRequest("/", kBoundary41, "1.0.0", std::string(4000, 'z'));
  size_t bodyAt = request.find("\r\n\r\n") + 4;
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    int sock = ConnectTo(server_.port());
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(SendAll(sock, request.substr(0, i % 2 ? bodyAt + 10 : 10)));
    slow.push_back(sock);
  }
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < slow.size(); ++i) {
      ASSERT_TRUE(SendAll(slow[i], request.substr((i % 2 ? bodyAt + 10 : 10) + round, 1)));
    }
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "2.0.0", "real")), 200);
  EXPECT_LT(SecondsSince(start), 2.0);

  start = std::chrono::steady_clock::now();
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
  EXPECT_LT(SecondsSince(start), 5.0);
  for (int sock : slow) {
    EXPECT_EQ(ReceiveAll(sock), "");  // closed without an answer
    close(sock);
  }
  ASSERT_EQ(ListedReports().size(), 1u);
}

TEST_F(CollectorServe, LateHeadsAndSlowBodiesAreCutOff) {
  StartServer({"--head-timeout", "1", "--min-rate", "100000"});
  std::string request = BuildUploadRequest("/", kBoundary41, "1.0.0", std::string(4000, 'z'));
  int silent = ConnectTo(server_.port());
  int slowBody = ConnectTo(server_.port());
  ASSERT_GE(silent, 0);
  ASSERT_GE(slowBody, 0);
  ASSERT_TRUE(SendAll(slowBody, request.substr(0, request.find("\r\n\r\n") + 10)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReceiveAll(silent), "");
  EXPECT_EQ(ReceiveAll(slowBody), "");
  // Cut after about the one second, well before the receive timeout.
  EXPECT_LT(SecondsSince(start), 3.0);
  close(silent);
  close(slowBody);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "fast")), 200);
}

TEST_F(CollectorServe, ConnectionsPerAddressAndHeadSizeAreCapped) {
  StartServer({"--max-per-address", "2"});
  int first = ConnectTo(server_.port());
  int second = ConnectTo(server_.port());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (AcceptQueueLength(server_.port()) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  // A third from the same address is closed without an answer; the two are still served.
  EXPECT_EQ(SendRaw(server_.port(), BuildUploadRequest("/", kBoundary41, "3", "x")), "");
  ASSERT_TRUE(SendAll(first, BuildUploadRequest("/", kBoundary41, "1", "x")));
  EXPECT_EQ(StatusOf(ReceiveAll(first)), 200);
  ASSERT_TRUE(SendAll(
      second, "POST / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(40000, 'p') + "\r\n\r\n"));
  EXPECT_EQ(StatusOf(ReceiveAll(second)), 431);
  close(first);
  close(second);
  EXPECT_EQ(ListedReports().size(), 1u);
}

TEST_F(CollectorServe, TrickleAfterAFastStartIsCutWithinAWindow) {
  StartServer({"--head-timeout", "1", "--min-rate", "1000"});
  std::string request = BuildUploadRequest("/", kBoundary41, "1.0.0", std::string(100000, 'z'));
  size_t at = request.find("\r\n\r\n") + 4 + 20000;
  int sock = ConnectTo(server_.port());
  ASSERT_GE(sock, 0);
  // 20 kB at once: averaged since the head, that would carry a trickle for 20 seconds.
  ASSERT_TRUE(SendAll(sock, request.substr(0, at)));
  auto trickleStart = std::chrono::steady_clock::now();
  bool cut = false;
  while (!cut && SecondsSince(trickleStart) < 10.0) {
    // A byte every 100 ms until the server closes the connection.
    pollfd closed{sock, POLLIN, 0};
    cut = poll(&closed, 1, 100) > 0;
    if (!cut) {
      SendAll(sock, request.substr(at++, 1));
    }
  }
  double seconds = SecondsSince(trickleStart);
  EXPECT_TRUE(cut);
  EXPECT_LT(seconds, 4.0);
  EXPECT_EQ(ReceiveAll(sock), "");
  close(sock);
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", "fast")), 200);
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
}

// The "Retry-After: N" header of a raw response, or "" without one.
std::string RetryAfterOf(const std::string& response) {
  std::string head = response.substr(0, response.find("\r\n\r\n"));
  size_t at = head.find("\r\nRetry-After: ");
  return at == std::string::npos ? "" : head.substr(at + 15, head.find("\r\n", at + 2) - at - 15);
}

TEST_F(CollectorServe, BodiesInFlightShareOneBudgetGivenBackWhenTheyEnd) {
  StartServer({"--max-bytes", "10000", "--max-inflight-bytes", "12000"});
  // An upload of about 8.8 kB that announces its length and waits for "100 Continue", which
  // comes once the server has taken its head and counted its bytes.
  std::string held = BuildUploadRequest("/", kBoundary41, "1.0.0", std::string(8500, 'h'));
  held.replace(held.find("HTTP/1.0"), 8, "HTTP/1.1");
  held.insert(held.find("\r\n") + 2, "Expect: 100-continue\r\n");
  size_t bodyAt = held.find("\r\n\r\n") + 4;
  int sock = ConnectTo(server_.port());
  ASSERT_GE(sock, 0);
  ASSERT_TRUE(SendAll(sock, held.substr(0, bodyAt)));
  std::string interim;
  char c = 0;
  while (interim.find("\r\n\r\n") == std::string::npos && recv(sock, &c, 1, 0) == 1) {
    interim += c;
  }
  ASSERT_EQ(interim.rfind("HTTP/1.1 100 ", 0), 0u) << interim;

  // Announced or chunked, an upload that does not fit is refused for the moment; one that
  // fits is taken.
  std::string fourKb = std::string(4000, 'f');
  std::string response = Upload(kBoundary41, "2.0.0", fourKb);
  EXPECT_EQ(StatusOf(response), 503) << response;
  EXPECT_EQ(RetryAfterOf(response), "5") << response;
  response = SendRaw(server_.port(), ChunkedRequest(MultipartBody({{"file", fourKb}})));
  EXPECT_EQ(StatusOf(response), 503) << response;
  EXPECT_EQ(RetryAfterOf(response), "5") << response;
  EXPECT_EQ(StatusOf(Upload(kBoundary41, "3.0.0", "small")), 200);

  // Once the held upload has ended its bytes are given back.
  ASSERT_TRUE(SendAll(sock, held.substr(bodyAt)));
  EXPECT_EQ(StatusOf(ReceiveAll(sock)), 200);
  close(sock);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    response = Upload(kBoundary41, "2.0.0", fourKb);
  } while (StatusOf(response) == 503 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(StatusOf(response), 200) << response;
  EXPECT_EQ(ListedReports().size(), 3u);
  EXPECT_EQ(server_.StopWith(SIGTERM), 0) << ServerErrors();
}

}  // namespace

// Sends the request to 127.0.0.1:port from the loopback address `from` and reads the answer.
std::string SendFrom(const char* from, int port, const std::string& request) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, from, &address.sin_addr);
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(sock);
    return "";
  }
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  std::string response;
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      SendAll(sock, request)) {
    response = ReceiveAll(sock);
  }
  close(sock);
  return response;
}

TEST_F(CollectorServe, SenderBehindATrustedProxyComesFromXRealIpAndNobodyElseCanSetIt) {
  StartServer({"--trusted-proxy", "127.0.0.2"});
  auto withRealIp = [](const std::string& value) {
    std::string request = BuildUploadRequest("/upload", "b0undary", "1.0.0", "log text");
    return request.insert(request.find("\r\n") + 2, "X-Real-IP: " + value + "\r\n");
  };
  // From the proxy: the header names the player.
  EXPECT_EQ(SendFrom("127.0.0.2", server_.port(), withRealIp("203.0.113.7")).rfind("HTTP/1.", 0),
            0u);
  // From a player: the header is ignored. From the proxy, a header that is no address too.
  SendFrom("127.0.0.1", server_.port(), withRealIp("198.51.100.9"));
  SendFrom("127.0.0.2", server_.port(), withRealIp("<b>1.2.3.4</b>"));
  const char* expected[] = {
      "peer: 203.0.113.7 via 127.0.0.2:", "peer: 127.0.0.1:", "peer: 127.0.0.2:"};
  for (int id = 1; id <= 3; ++id) {
    ToolResult shown = Show(std::to_string(id));
    EXPECT_NE(shown.out.find(expected[id - 1]), std::string::npos) << shown.out;
  }
}

namespace {

// Retention end to end: uploads decoded past the limit are kept raw as too-large; prune and
// --keep-days drop old uploads but keep their counts; bad times are refused.
TEST_F(CollectorServe, TooLargeLogsStayRawAndRetentionKeepsCounts) {
  StartServer({"--max-decoded-bytes", "4096"});
  std::string small = PackLog(CrashLog(10));
  std::string large = PackLog(CrashLog(400));  // about 12 KB once decoded
  ASSERT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", small)), 200);
  ASSERT_EQ(StatusOf(Upload(kBoundary41, "1.0.0", large)), 200);
  ASSERT_EQ(server_.StopWith(SIGTERM), 0);
  ToolResult shown = Show("2");
  EXPECT_NE(shown.out.find("state: too-large\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("log: (none)\n"), std::string::npos) << shown.out;
  EXPECT_EQ(Show("2", "--pak").out, large);

  // Everything is older than tomorrow: both lose their uploads, the counts stay.
  std::time_t tomorrow = std::time(nullptr) + 86400;
  char before[32];
  std::strftime(before, sizeof(before), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&tomorrow));
  EXPECT_EQ(RunCollector({"prune", "--db", Db(), "--before", "yesterday"}).exitStatus, 2);
  ToolResult pruned = RunCollector({"prune", "--db", Db(), "--before", before});
  EXPECT_EQ(pruned.exitStatus, 0) << pruned.err;
  EXPECT_EQ(pruned.out.rfind("pruned 2 reports", 0), 0u) << pruned.out;
  shown = Show("1");
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  EXPECT_NE(shown.out.find("pruned: "), std::string::npos) << shown.out;
  EXPECT_EQ(Show("1", "--raw").exitStatus, 1);
  EXPECT_EQ(ListedReports().size(), 2u);
  ToolResult listed = RunCollector({"list", "--db", Db()});
  // The too-large report has no crash fields: a group of its own.
  EXPECT_NE(listed.out.find("groups: 2\n1\tgame.exe\t0xc0000005\t0x401000\n1\t-\t-\t-\n"),
            std::string::npos)
      << listed.out;

  // --keep-days prunes at start: a report from 2020 loses its upload, one sent now keeps it.
  {
    collector::SqliteReportStore store;
    std::string error;
    ASSERT_TRUE(store.Open(Db(), true, error)) << error;
    collector::StoredReport old;
    old.receivedUtc = "2020-01-01T00:00:00.000Z";
    old.payload = small;
    old.state = "archive";
    collector::CrashEntry crash =
        collector::DescribeCrash(store, old, true, CrashLog(10), false, "");
    std::vector<int64_t> ids;
    std::vector<std::string> errors;
    ASSERT_TRUE(collector::StoreWithEntries(store, {&old}, {&crash}, ids, errors, error)) << error;
    ASSERT_EQ(ids, std::vector<int64_t>{3});
  }
  StartServer({"--keep-days", "1"});
  ASSERT_EQ(StatusOf(Upload(kBoundary41, "1.0.1", small)), 200);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Show("3", "--pak").exitStatus == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(server_.StopWith(SIGTERM), 0);
  EXPECT_NE(Show("3").out.find("pruned: "), std::string::npos);
  EXPECT_EQ(Show("4", "--raw").exitStatus, 0);
  EXPECT_NE(ServerErrors().find("retention pruned 1 reports"), std::string::npos) << ServerErrors();
}

}  // namespace
