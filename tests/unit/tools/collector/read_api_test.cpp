// The read API of "collector serve": the token rule and the JSON, against the real server.

#include "render/read_api.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "collector_harness.h"
#include "gbk_texts.h"

namespace {

using namespace collector_test;

const std::string kBoundary = "---------------------------28253686825547";
const std::string kToken = "s3cret-read-token";

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Get(int port, const std::string& path, const std::string& authorization = "") {
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!authorization.empty()) {
    request += "Authorization: " + authorization + "\r\n";
  }
  return SendRaw(port, request + "\r\n");
}

std::string HeadOf(const std::string& response) {
  return response.substr(0, response.find("\r\n\r\n"));
}

// The value of the first string member "name" in the JSON text, unescaped; "<missing>" when
// there is none. Enough JSON for what the server writes: \", \\ and \u00XX.
std::string JsonMember(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\":\"");
  if (at == std::string::npos) {
    return "<missing>";
  }
  std::string value;
  for (at += name.size() + 4; at < json.size() && json[at] != '"'; ++at) {
    if (json[at] != '\\') {
      value += json[at];
    } else if (json[++at] == 'u') {
      value += static_cast<char>(std::stoi(json.substr(at + 1, 4), nullptr, 16));
      at += 4;
    } else {
      value += json[at];
    }
  }
  return value;
}

TEST(CollectorReadApi, TokenGuardsEveryApiPathAndTheJsonIsEscaped) {
  TempDir dir;
  WriteFile(dir.File("token"), kToken + " \r\n");
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", dir.File("r.db"), "--read-token-file", dir.File("token")},
                           dir.File("serve.err")));
  int port = server.port();
  std::string crash = "[12:00:01] start\r\n\r\n" + SummaryFor("game.exe", "0xc0000005", "0x401000");
  std::string hostile = "<script>alert(\"x\")</script>\\\x01\x1b[31m\r\n\r\n" +
                        SummaryFor("other.exe", "0xc0000094", "0x10");
  ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/u", kBoundary, "1.0.0", PackLog(crash)))),
            200);
  // Uploads stay open on every path, /api/ included.
  ASSERT_EQ(StatusOf(SendRaw(
                port, BuildUploadRequest("/api/upload", kBoundary, "1.1.0", PackLog(crash)))),
            200);
  ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/u", kBoundary, "2.0.0", PackLog(hostile)))),
            200);

  // Without the token, or with a wrong one, nothing tells what exists.
  std::string denied = Get(port, "/api/reports/1");
  EXPECT_EQ(StatusOf(denied), 401);
  for (const char* path : {"/api/reports/999", "/api/groups", "/api/groups/1/reports",
                           "/api/reports/1/raw", "/api/nothing"}) {
    for (const std::string& auth :
         std::vector<std::string>{"", "Bearer wrong", "Bearer " + kToken + "x",
                                  "Bearer " + kToken.substr(1), "Basic " + kToken}) {
      std::string response = Get(port, path, auth);
      EXPECT_EQ(StatusOf(response), 401) << path << " " << auth;
      EXPECT_EQ(BodyOf(response), BodyOf(denied)) << path << " " << auth;
    }
  }
  const std::string bearer = "Bearer " + kToken;
  // The scheme in any case.
  EXPECT_EQ(StatusOf(Get(port, "/api/groups", "bearer " + kToken)), 200);
  EXPECT_EQ(StatusOf(Get(port, "/api/groups", "BEARER " + kToken)), 200);

  std::string groups = Get(port, "/api/groups", bearer);
  ASSERT_EQ(StatusOf(groups), 200) << groups;
  std::string head = HeadOf(groups);
  EXPECT_NE(head.find("Content-Type: application/json; charset=utf-8"), std::string::npos) << head;
  EXPECT_NE(head.find("X-Content-Type-Options: nosniff"), std::string::npos) << head;
  EXPECT_NE(head.find("Cache-Control: no-store"), std::string::npos) << head;
  std::string body = BodyOf(groups);
  EXPECT_EQ(body.rfind("[{\"id\":1,\"program\":\"game.exe\",\"code\":\"0xc0000005\"", 0), 0u)
      << body;
  EXPECT_NE(body.find("\"top_frames\":[],\"count\":2,\"versions\":[\"1.0.0\",\"1.1.0\"]"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("{\"id\":3,\"program\":\"other.exe\""), std::string::npos) << body;
  EXPECT_NE(body.find("\"count\":1,\"versions\":[\"2.0.0\"]"), std::string::npos) << body;

  std::string members = BodyOf(Get(port, "/api/groups/1/reports", bearer));
  EXPECT_EQ(members.rfind("[{\"id\":1,", 0), 0u) << members;
  EXPECT_NE(members.find("{\"id\":2,"), std::string::npos) << members;
  EXPECT_EQ(members.find("\"id\":3"), std::string::npos) << members;
  EXPECT_EQ(JsonMember(members, "state"), "archive");
  EXPECT_EQ(StatusOf(Get(port, "/api/groups/2/reports", bearer)), 404);

  std::string report = Get(port, "/api/reports/3", bearer);
  ASSERT_EQ(StatusOf(report), 200) << report;
  std::string json = BodyOf(report);
  EXPECT_EQ(json.find("<script>"), std::string::npos) << json;
  EXPECT_EQ(json.find('\x01'), std::string::npos);
  EXPECT_EQ(json.find('\x1b'), std::string::npos);
  EXPECT_EQ(JsonMember(json, "ver"), "2.0.0");
  EXPECT_EQ(JsonMember(json, "program"), "other.exe");
  EXPECT_EQ(JsonMember(json, "log").rfind("<script>alert(\"x\")</script>\\\x01\x1b[31m\r\n", 0), 0u)
      << json;
  EXPECT_EQ(StatusOf(Get(port, "/api/reports/4", bearer)), 404);

  std::string raw = Get(port, "/api/reports/3/raw", bearer);
  ASSERT_EQ(StatusOf(raw), 200);
  EXPECT_EQ(BodyOf(raw), hostile);
  EXPECT_NE(HeadOf(raw).find("Content-Type: application/octet-stream"), std::string::npos);
  EXPECT_NE(HeadOf(raw).find("Content-Disposition: attachment"), std::string::npos);
  EXPECT_NE(HeadOf(raw).find("X-Content-Type-Options: nosniff"), std::string::npos);
  EXPECT_EQ(StatusOf(Get(port, "/api/nothing", bearer)), 404);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
}

TEST(CollectorReadApi, OffWithoutTokenFileAndRefusesAnEmptyOrShortOne) {
  TempDir dir;
  WriteFile(dir.File("empty"), " \n");
  CollectorProcess refused;
  EXPECT_FALSE(refused.Start({"--db", dir.File("r.db"), "--read-token-file", dir.File("empty")},
                             dir.File("refused.err")));
  EXPECT_EQ(refused.exitStatus(), 1);
  WriteFile(dir.File("short"), std::string(15, 'k') + "\n");
  EXPECT_FALSE(refused.Start({"--db", dir.File("r.db"), "--read-token-file", dir.File("short")},
                             dir.File("refused.err")));
  EXPECT_EQ(refused.exitStatus(), 1);
  std::ifstream errors(dir.File("refused.err"));
  std::string said((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
  EXPECT_NE(said.find("at least 16"), std::string::npos) << said;

  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", dir.File("r.db")}, dir.File("serve.err")));
  ASSERT_EQ(StatusOf(SendRaw(server.port(), BuildUploadRequest("/u", kBoundary, "1", "log"))), 200);
  EXPECT_EQ(StatusOf(Get(server.port(), "/api/groups", "Bearer " + kToken)), 404);
  EXPECT_EQ(StatusOf(Get(server.port(), "/api/reports/1")), 404);
  EXPECT_EQ(StatusOf(Get(server.port(), "/u")), 405);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  // The writer keeps valid UTF-8 and replaces everything else, byte by byte.
  EXPECT_EQ(collector::JsonString("\xC3\xA9\xE4\xB8\xAD"), "\"\xC3\xA9\xE4\xB8\xAD\"");
  EXPECT_EQ(collector::JsonString("a\xFF\xC0\xAF\xED\xA0\x80"),
            "\"a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(collector::JsonString("\"\\\n\x7f<&"), "\"\\\"\\\\\\u000a\\u007f\\u003c\\u0026\"");
}

// A server with the read token, stopped and its files removed at the end.
class CollectorReads : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("token"), kToken + "\n");
    ASSERT_TRUE(server_.Start({"--db", dir_.File("r.db"), "--read-token-file", dir_.File("token")},
                              dir_.File("serve.err")));
  }
  void TearDown() override { EXPECT_EQ(server_.StopWith(SIGTERM), 0); }

  TempDir dir_;
  CollectorProcess server_;
};

TEST_F(CollectorReads, ReadsBeyondTheRunningOnesWaitAndAreAllAnswered) {
  const int port = server_.port();
  for (int i = 0; i < 40; ++i) {
    std::string program = "game" + std::to_string(i % 8) + ".exe";
    std::string log = "[12:00:01] start\r\n\r\n" + SummaryFor(program, "0xc0000005", "0x401000");
    ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/u", kBoundary, "1.0." + std::to_string(i),
                                                        PackLog(log)))),
              200);
  }
  // Far more readers at once than there are reader threads, each reading pages and the API.
  constexpr int kClients = 24;
  const std::string bearer = "Bearer " + kToken;
  std::vector<std::vector<int>> statuses(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (const std::string& path :
           std::vector<std::string>{"/api/groups", "/", "/api/reports/" + std::to_string(c + 1),
                                    "/groups/1", "/api/groups/1/reports"}) {
        statuses[c].push_back(StatusOf(Get(port, path, bearer)));
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  for (int c = 0; c < kClients; ++c) {
    for (int status : statuses[c]) {
      EXPECT_EQ(status, 200) << "client " << c;
    }
  }
}

TEST_F(CollectorReads, SignInAndOutAreTakenFromTheOwnSiteOnly) {
  const int port = server_.port();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  auto post = [&](const std::string& path, const std::string& body, const std::string& headers) {
    return SendRaw(port, "POST " + path + " HTTP/1.1\r\nHost: " + host +
                             "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: " +
                             std::to_string(body.size()) + "\r\n" + headers +
                             "Connection: close\r\n\r\n" + body);
  };
  const std::string signIn = "token=" + kToken;
  for (const std::string foreign :
       {"Sec-Fetch-Site: cross-site\r\n", "Sec-Fetch-Site: same-site\r\n",
        "Origin: http://evil.example\r\n", "Origin: null\r\n", "Origin: http://127.0.0.1:1\r\n"}) {
    for (const std::string path : {"/login", "/logout"}) {
      std::string response = post(path, signIn, foreign);
      EXPECT_EQ(StatusOf(response), 403) << path << " " << foreign;
      EXPECT_EQ(HeadOf(response).find("Set-Cookie"), std::string::npos) << response;
    }
  }
  for (const std::string& own :
       std::vector<std::string>{"", "Sec-Fetch-Site: same-origin\r\n", "Sec-Fetch-Site: none\r\n",
                                "Origin: http://" + host + "\r\n"}) {
    std::string response = post("/login", signIn, own);
    EXPECT_EQ(StatusOf(response), 303) << own;
    EXPECT_NE(HeadOf(response).find("Set-Cookie: collector_session="), std::string::npos)
        << response;
    response = post("/logout", "", own);
    EXPECT_EQ(StatusOf(response), 303) << own;
    EXPECT_NE(HeadOf(response).find("Max-Age=0"), std::string::npos) << response;
  }
}

}  // namespace

namespace {

// Lists come a page at a time, the next one named in the Link header, and any page number or
// limit is answered, never an error.
TEST(CollectorReadApi, ListsArePagedWithALinkToTheNextPage) {
  TempDir dir;
  WriteFile(dir.File("token"), kToken + "\n");
  CollectorProcess server;
  ASSERT_TRUE(server.Start({"--db", dir.File("r.db"), "--read-token-file", dir.File("token")},
                           dir.File("serve.err")));
  int port = server.port();
  // Three groups (3, 2 and 1 reports), so the order by count is fixed.
  for (int group = 0; group < 3; ++group) {
    for (int i = 0; i < 3 - group; ++i) {
      std::string log = SummaryFor("game.exe", "0xc0000005", "0x" + std::to_string(group + 1));
      ASSERT_EQ(StatusOf(SendRaw(port, BuildUploadRequest("/u", kBoundary, "1.0", PackLog(log)))),
                200);
    }
  }
  const std::string bearer = "Bearer " + kToken;
  std::string first = Get(port, "/api/groups?limit=2", bearer);
  EXPECT_EQ(StatusOf(first), 200);
  EXPECT_NE(HeadOf(first).find("Link: </api/groups?limit=2&page=2>; rel=\"next\""),
            std::string::npos)
      << HeadOf(first);
  EXPECT_EQ(JsonMember(BodyOf(first), "address"), "0x1");
  std::string second = Get(port, "/api/groups?limit=2&page=2", bearer);
  EXPECT_EQ(HeadOf(second).find("Link:"), std::string::npos);
  EXPECT_EQ(JsonMember(BodyOf(second), "address"), "0x3");
  EXPECT_EQ(BodyOf(Get(port, "/api/groups?limit=1000&page=999999999999999", bearer)), "[]\n");

  std::string members = Get(port, "/api/groups/1/reports?limit=2", bearer);
  EXPECT_NE(HeadOf(members).find("Link: </api/groups/1/reports?limit=2&after=2>"),
            std::string::npos)
      << HeadOf(members);
  std::string rest = Get(port, "/api/groups/1/reports?limit=2&after=2", bearer);
  EXPECT_EQ(BodyOf(rest).find("\"id\":3,"), 2u) << BodyOf(rest);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
}

}  // namespace
