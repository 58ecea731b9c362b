#include "http/http_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "http/http_test_access.h"
#include "tests/unit/http/loopback_server.h"
#include "tests/unit/http/test_support.h"

namespace {

const std::string kFixedHeaders = "Accept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n";

struct ParsedUrl {
  int accepted;
  std::string host;
  uint16_t port;
  std::string path;
};

ParsedUrl Parse(const std::string& url) {
  char host[256];
  char path[4096];
  ParsedUrl result{};
  result.accepted = ParseUrl(url.c_str(), host, sizeof(host), &result.port, path, sizeof(path));
  if (result.accepted) {
    result.host = host;
    result.path = path;
  }
  return result;
}

std::string Escaped(const char* text) {
  char out[256];
  int written = EscapePath(text, out);
  EXPECT_EQ(static_cast<int>(std::strlen(out)), written);
  return out;
}

TEST(ParseUrlTest, SplitsHostPortAndPath) {
  ParsedUrl url = Parse("http://example.com");
  EXPECT_EQ(1, url.accepted);
  EXPECT_EQ("example.com", url.host);
  EXPECT_EQ(80, url.port);
  EXPECT_EQ("/", url.path);

  url = Parse("HTTP://Example.com:8080/up/load.php?a=1&b=2");
  EXPECT_EQ(1, url.accepted);
  EXPECT_EQ("Example.com", url.host);
  EXPECT_EQ(8080, url.port);
  EXPECT_EQ("/up/load.php?a=1&b=2", url.path);

  url = Parse("http://host:81");
  EXPECT_EQ("host", url.host);
  EXPECT_EQ(81, url.port);
  EXPECT_EQ("/", url.path);
}

TEST(ParseUrlTest, RefusesOtherSchemesAndLeadingBlanks) {
  EXPECT_EQ(0, Parse("").accepted);
  EXPECT_EQ(0, Parse(" http://host/").accepted);
  EXPECT_EQ(0, Parse("https://host/").accepted);
  EXPECT_EQ(0, Parse("http:/").accepted);
  EXPECT_EQ(0, ParseUrl(nullptr, nullptr, 0, nullptr, nullptr, 0));
  EXPECT_EQ(1, ParseUrl("http://h", nullptr, 0, nullptr, nullptr, 0));
}

TEST(ParseUrlTest, PortRules) {
  // A ':' only after the first '/' belongs to the path.
  ParsedUrl url = Parse("http://host/a:99");
  EXPECT_EQ(80, url.port);
  EXPECT_EQ("host", url.host);
  EXPECT_EQ("/a:99", url.path);
  EXPECT_EQ(0, Parse("http://host:abc/").port);
  EXPECT_EQ(0, Parse("http://host:/").port);
  EXPECT_EQ(81, Parse("http://host: 81x/").port);
  EXPECT_EQ(65535, Parse("http://host:-1/").port);
  EXPECT_EQ(80, Parse("http://host:65616/").port);                 // low 16 bits
  EXPECT_EQ(65535, Parse("http://host:99999999999999999/").port);  // wraps, never overflows
}

TEST(ParseUrlTest, CutsToTheBufferSizes) {
  std::string longHost(300, 'h');
  std::string longPath = "/" + std::string(5000, 'p');
  ParsedUrl url = Parse("http://" + longHost + ":8080" + longPath);
  EXPECT_EQ(std::string(255, 'h'), url.host);
  EXPECT_EQ(longPath.substr(0, 4095), url.path);
  EXPECT_EQ(8080, url.port);

  char path[1] = {'x'};
  char host[4];
  ASSERT_EQ(1, ParseUrl("http://abcdef/x", host, sizeof(host), nullptr, path, sizeof(path)));
  EXPECT_STREQ("abc", host);
  EXPECT_STREQ("", path);
  ASSERT_EQ(1, ParseUrl("http://ab:1/x", host, sizeof(host), nullptr, nullptr, 0));
  EXPECT_STREQ("ab", host);
}

TEST(EscapePathTest, EscapesUnsafeBytesWithUpperCaseDigits) {
  EXPECT_EQ("/a%20b", Escaped("/a b"));
  EXPECT_EQ("/100%25", Escaped("/100%"));
  EXPECT_EQ("/%D6%D0", Escaped("/\xD6\xD0"));
  EXPECT_EQ("/q?a=1&b=2:3", Escaped("/q?a=1&b=2:3"));
  EXPECT_EQ("%3C%3E%22%23%25%7B%7D%7C%5C%5E%7E%5B%5D%60%27%20", Escaped("<>\"#%{}|\\^~[]`' "));
  EXPECT_EQ("%01%1F%7F%80%FF", Escaped("\x01\x1F\x7F\x80\xFF"));
  EXPECT_EQ("AZaz09-._!$()*+,;@", Escaped("AZaz09-._!$()*+,;@"));
  EXPECT_EQ("", Escaped(""));
  EXPECT_EQ("", Escaped(nullptr));
  EXPECT_EQ(0, EscapePath("a b", nullptr));
}

TEST(EscapePathTest, NeedsEscapingFindsTheFirstUnsafeByte) {
  EXPECT_EQ(0, NeedsEscaping(nullptr));
  EXPECT_EQ(0, NeedsEscaping(""));
  EXPECT_EQ(0, NeedsEscaping("/upload.php?a=1&b=2"));
  EXPECT_EQ(1, NeedsEscaping("/a b"));
  EXPECT_EQ(1, NeedsEscaping("/\xD6"));
  EXPECT_EQ(1, NeedsEscaping("~"));
}

TEST(HttpRequestTest, SetPathRules) {
  HttpRequest request;
  EXPECT_EQ(kHttpOk, request.SetPath(nullptr));
  EXPECT_STREQ("/", HttpTestAccess::Path(request));
  EXPECT_EQ(kHttpOk, request.SetPath("/a b/\xD6"));
  EXPECT_STREQ("/a%20b/%D6", HttpTestAccess::Path(request));
  std::string tooLong(65536, 'a');
  EXPECT_EQ(kHttpPathTooLong, request.SetPath(tooLong.c_str()));
  EXPECT_EQ(nullptr, HttpTestAccess::Path(request));
  std::string longest(65535, ' ');
  EXPECT_EQ(kHttpOk, request.SetPath(longest.c_str()));
  EXPECT_EQ(3u * 65535, std::strlen(HttpTestAccess::Path(request)));

  ASSERT_EQ(kHttpOk, request.SetHost("127.0.0.1", 80));
  ASSERT_EQ(kHttpOk, request.BeginRequest(kHttpGet));
  EXPECT_EQ(kHttpPathLocked, request.SetPath("/other"));
  request.Close();
  EXPECT_EQ(kHttpOk, request.SetPath("/other"));
}

TEST(HttpRequestTest, BeginRequestChecksInOrder) {
  HttpRequest request;
  EXPECT_EQ(kSocketNoAddress, request.BeginRequest(kHttpGet));
  ASSERT_EQ(kHttpOk, request.SetHost("127.0.0.1", 80));
  EXPECT_EQ(kHttpNoPath, request.BeginRequest(kHttpGet));
  ASSERT_EQ(kHttpOk, request.SetPath("/"));
  EXPECT_EQ(kHttpNoMethod, request.BeginRequest(kHttpPost));
  EXPECT_EQ(kHttpIdle, HttpTestAccess::State(request));
  EXPECT_EQ(kHttpNoMethod, request.BeginRequest(7));
  ASSERT_EQ(kHttpOk, request.BeginRequest(kHttpHead));
  EXPECT_EQ(kHttpHeadOpen, HttpTestAccess::State(request));
  EXPECT_EQ(kHttpHead, HttpTestAccess::Kind(request));
  EXPECT_EQ(kHttpAlreadyBegun, request.BeginRequest(kHttpGet));
}

TEST(HttpRequestTest, GetMethodNameCopiesWithinTheGivenSize) {
  HttpRequest request;
  char out[8];
  std::memset(out, 'x', sizeof(out));
  EXPECT_EQ(kHttpOk, request.GetMethodName(kHttpHead, out, sizeof(out)));
  EXPECT_STREQ("HEAD", out);
  std::memset(out, 'x', sizeof(out));
  EXPECT_EQ(kHttpOk, request.GetMethodName(kHttpHead, out, 3));
  EXPECT_EQ(std::string("HE\0", 3), std::string(out, 3));
  std::memset(out, 'x', sizeof(out));
  EXPECT_EQ(kHttpOk, request.GetMethodName(kHttpGet, out, 1));
  EXPECT_EQ('\0', out[0]);
  EXPECT_EQ(kHttpOk, request.GetMethodName(kHttpGet, nullptr, 0));
  EXPECT_EQ(kHttpNoMethod, request.GetMethodName(kHttpPost, out, sizeof(out)));
  EXPECT_EQ(kHttpNoMethod, request.GetMethodName(0, nullptr, 0));
}

TEST(HttpRequestTest, HeaderOperationsNeedAnOpenHead) {
  HttpRequest request;
  EXPECT_EQ(kHttpWrongState, request.AddHeaderLine("X: 1"));
  EXPECT_EQ(kHttpWrongState, request.AddHeaderLine(""));
  EXPECT_EQ(kHttpWrongState, request.AddHeaderBytes("X: 1", 4));
  EXPECT_EQ(kHttpWrongState, request.AddHeaderFormat(10, "X: %d", 1));
  EXPECT_EQ(kHttpWrongState, request.FinishHead());
  EXPECT_EQ(kHttpWrongState, request.SendAndReceive());
  EXPECT_EQ(kHttpOk, request.SendAndClose());
  EXPECT_EQ(0, request.statusCode);
}

TEST(HttpRequestTest, BuildsTheHeadLineByLine) {
  HttpRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://LocalHost:8080/a b?x=1", kHttpGet));
  EXPECT_EQ(kHttpOk, request.AddHeaderLine("X-One: 1"));
  EXPECT_EQ(kHttpOk, request.AddHeaderBytes("X-Two: 2zzz", 8));
  EXPECT_EQ(kHttpOk, request.AddHeaderFormat(9, "X-Three: %d", 3333));  // cut after 9 characters
  // Many empty lines in a row never write past the block's room.
  for (int i = 0; i < 40; ++i) EXPECT_EQ(kHttpOk, request.AddHeaderLine(nullptr));
  EXPECT_EQ(kHttpOk, request.AddHeaderFormat(5, nullptr));
  EXPECT_EQ(kHttpOk, request.FinishHead());
  EXPECT_EQ(kHttpHeadComplete, HttpTestAccess::State(request));
  EXPECT_EQ(kHttpWrongState, request.FinishHead());
  EXPECT_EQ(kHttpWrongState, request.AddHeaderLine("late"));
  std::string emptyLines;
  for (int i = 0; i < 41; ++i) emptyLines += "\r\n";
  EXPECT_EQ("GET /a%20b?x=1 HTTP/1.0\r\nHOST: LocalHost\r\n" + kFixedHeaders +
                "X-One: 1\r\nX-Two: 2\r\nX-Three: \r\n" + emptyLines + "Connection: close\r\n\r\n",
            HttpTestAccess::Head(request));
}

TEST(HttpRequestTest, RefusedFormattedLineFreesItsBlock) {
  HttpRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpGet));
  const uint32_t realLength = HttpTestAccess::HeadLength(request);
  // A head that claims the most an append may start from: the next append is refused by size
  // alone. The formatted line's own block must not outlive the refusal (the leak checker sees it).
  HttpTestAccess::SetHeadLength(request, UINT32_MAX - 32);
  EXPECT_THROW(request.AddHeaderFormat(100, "X-Big: %d", 1), std::bad_alloc);
  HttpTestAccess::SetHeadLength(request, realLength);
  EXPECT_EQ(kHttpOk, request.AddHeaderFormat(100, "X-Small: %d", 2));
}

TEST(HttpRequestTest, OpenUrlPassesTheLowerCodesOn) {
  HttpRequest request;
  EXPECT_EQ(kHttpBadUrl, request.OpenUrl("ftp://host/", kHttpGet));
  EXPECT_EQ(kHttpBadUrl, request.OpenUrl("", kHttpGet));
  EXPECT_EQ(kSocketBadPort, request.OpenUrl("http://127.0.0.1:x/", kHttpGet));
  EXPECT_EQ(kSocketNoHostName, request.OpenUrl("http:///path", kHttpGet));
  EXPECT_EQ(kSocketHostNotFound, request.OpenUrl("http://no-such-host.invalid/", kHttpGet));
  EXPECT_NE(0, request.lastError);
  EXPECT_EQ(kHttpNoMethod, request.OpenUrl("http://127.0.0.1/", kHttpPost));
}

TEST(HttpRequestTest, ParsesAHeadThatArrivesInPieces) {
  const std::string response =
      "HTTP/1.1 404 Not Found\r\ncontent-length: 4\r\nX-Spaced : no\r\nX-Empty:\r\n"
      "X-Tight:value\r\n\r\nbody";
  const size_t headEnd = response.find("\r\n\r\n") + 4;
  HttpRequest request;
  for (size_t i = 0; i < response.size(); ++i) {
    HttpTestAccess::Feed(request, &response[i], 1);
    if (request.ResponseHead() == nullptr) {
      EXPECT_EQ(i + 1 == headEnd ? kHttpOk : kHttpNoCompleteHead, request.ParseResponseHead()) << i;
    }
  }
  ASSERT_EQ(kHttpHeadAlreadyParsed, request.ParseResponseHead());
  EXPECT_EQ(404, request.statusCode);
  EXPECT_STREQ(
      "HTTP/1.1 404 Not Found\r\ncontent-length: 4\r\nX-Spaced : no\r\nX-Empty:\r\n"
      "X-Tight:value",
      request.ResponseHead());
  EXPECT_EQ("body", std::string(request.Response(), request.ResponseLength()));
  EXPECT_EQ('\0', request.Response()[4]);

  char value[64];
  EXPECT_EQ(kHttpOk, request.GetHeader("Content-Length", value, sizeof(value)));
  EXPECT_STREQ("4", value);
  EXPECT_EQ(kHttpNoSuchHeader, request.GetHeader("X-Spaced", value, sizeof(value)));
  EXPECT_EQ(kHttpOk, request.GetHeader("x-empty", value, sizeof(value)));
  EXPECT_STREQ("", value);
  EXPECT_EQ(kHttpOk, request.GetHeader("X-TIGHT", value, sizeof(value)));
  EXPECT_STREQ("value", value);
  EXPECT_EQ(kHttpOk, request.GetHeader("X-Tight", value, 4));
  EXPECT_STREQ("val", value);
  EXPECT_EQ(kHttpOk, request.GetHeader("X-Tight", nullptr, 0));
  EXPECT_EQ(kHttpNoSuchHeader, request.GetHeader("X-Tigh", value, sizeof(value)));
  EXPECT_EQ(kHttpNoSuchHeader, request.GetHeader("X-Tightly", value, sizeof(value)));
  EXPECT_EQ(kHttpNoHeaderName, request.GetHeader("", value, sizeof(value)));
  EXPECT_EQ(kHttpNoHeaderName, request.GetHeader(nullptr, value, sizeof(value)));
}

TEST(HttpRequestTest, ResponseHeadEdgeCases) {
  HttpRequest request;
  char value[8];
  EXPECT_EQ(kHttpNoResponseHead, request.GetHeader("A", value, sizeof(value)));
  EXPECT_EQ(kHttpNoCompleteHead, request.ParseResponseHead());

  HttpTestAccess::Feed(request, "HTTP/1.0\r\nA: b\r\n\r\n", 18);
  ASSERT_EQ(kHttpOk, request.ParseResponseHead());
  EXPECT_EQ(0, request.statusCode);  // no space in the status line
  EXPECT_EQ(0u, request.ResponseLength());

  HttpRequest wrongStart;
  HttpTestAccess::Feed(wrongStart, "http/1.0 200 OK\r\n\r\n", 19);
  EXPECT_EQ(kHttpNoCompleteHead, wrongStart.ParseResponseHead());
  EXPECT_EQ(0, wrongStart.statusCode);

  HttpRequest spaceOnLaterLine;
  HttpTestAccess::Feed(spaceOnLaterLine, "HTTP/1.0\nX: 200\r\n\r\n", 19);
  ASSERT_EQ(kHttpOk, spaceOnLaterLine.ParseResponseHead());
  EXPECT_EQ(0, spaceOnLaterLine.statusCode);

  HttpRequest withNul;
  HttpTestAccess::Feed(withNul, "HTTP/1.0 201\0X: 1\r\n\r\n", 21);
  ASSERT_EQ(kHttpOk, withNul.ParseResponseHead());
  EXPECT_EQ(201, withNul.statusCode);
  EXPECT_EQ(kHttpNoSuchHeader, withNul.GetHeader("X", value, sizeof(value)));
}

// One request against a scripted server; returns what the server received.
struct Exchange {
  int code;
  std::string sent;
  long long elapsedMs;
};

Exchange RunExchange(HttpRequest& request, LoopbackServer& server, int kind,
                     const std::string& path = "/") {
  server.Start();
  EXPECT_EQ(kHttpOk, request.OpenUrl(server.Url(path).c_str(), kind));
  Stopwatch stopwatch;
  int code = request.SendAndReceive();
  long long elapsed = stopwatch.ElapsedMs();
  request.CloseSocket();
  server.Release();
  return {code, server.Join(), elapsed};
}

TEST(HttpExchangeTest, GetEndsAtContentLengthWithoutWaitingForClose) {
  ScopedExchangeLimit limit(20000);
  LoopbackServer server;
  server.ReadRequest()
      .Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello")
      .HoldUntilReleased();
  HttpRequest request;
  server.Start();
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url("/q?a=1&b=x y").c_str(), kHttpGet));
  ASSERT_EQ(kHttpOk, request.AddHeaderLine("X-Game: vexo"));
  Stopwatch stopwatch;
  EXPECT_EQ(kHttpOk, request.SendAndReceive());
  EXPECT_LT(stopwatch.ElapsedMs(), 10000);
  EXPECT_TRUE(request.IsConnected());
  request.CloseSocket();
  server.Release();
  EXPECT_EQ("GET /q?a=1&b=x%20y HTTP/1.0\r\nHOST: 127.0.0.1\r\n" + kFixedHeaders +
                "X-Game: vexo\r\nConnection: close\r\n\r\n",
            server.Join());
  EXPECT_EQ(200, request.statusCode);
  EXPECT_EQ("hello", std::string(request.Response(), request.ResponseLength()));
}

TEST(HttpExchangeTest, HeadEndsAsSoonAsTheHeadIsParsed) {
  ScopedExchangeLimit limit(20000);
  LoopbackServer server;
  server.ReadRequest()
      .Send("HTTP/1.0 204 No Content\r\nContent-Length: 100\r\n\r\n")
      .HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpHead, "/status");
  EXPECT_EQ(kHttpOk, exchange.code);
  EXPECT_LT(exchange.elapsedMs, 10000);
  EXPECT_EQ(204, request.statusCode);
  EXPECT_EQ(
      "HEAD /status HTTP/1.0\r\nHOST: 127.0.0.1\r\n" + kFixedHeaders + "Connection: close\r\n\r\n",
      exchange.sent);
}

TEST(HttpExchangeTest, ResponseSplitAcrossManySmallReads) {
  LoopbackServer server;
  server.ReadRequest()
      .Trickle("HTTP/1.0 201 Created\r\nServer: t\r\nContent-Length: 6\r\n\r\nabcdef", 1)
      .HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpOk, exchange.code);
  EXPECT_EQ(201, request.statusCode);
  EXPECT_EQ("abcdef", std::string(request.Response(), request.ResponseLength()));
  char server_name[8];
  EXPECT_EQ(kHttpOk, request.GetHeader("server", server_name, sizeof(server_name)));
  EXPECT_STREQ("t", server_name);
}

TEST(HttpExchangeTest, WithoutContentLengthTheBodyEndsAtCloseWithCode15) {
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nX: y\r\n\r\nall of it");
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kSocketPeerClosed, exchange.code);
  EXPECT_EQ(200, request.statusCode);
  EXPECT_EQ("all of it", std::string(request.Response(), request.ResponseLength()));
  EXPECT_EQ(kSocketNotConnected, request.WaitAndReceive(0));
}

TEST(HttpExchangeTest, ContentLengthZeroWaitsOneMoreQuietSecond) {
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n").HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpOk, exchange.code);
  EXPECT_EQ(200, request.statusCode);
  EXPECT_GE(exchange.elapsedMs, 900);

  LoopbackServer closing;
  closing.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  HttpRequest second;
  EXPECT_EQ(kSocketPeerClosed, RunExchange(second, closing, kHttpGet).code);
  EXPECT_EQ(200, second.statusCode);
}

TEST(HttpExchangeTest, OctalContentLengthIsHonoured) {
  ScopedExchangeLimit limit(20000);
  LoopbackServer server;
  server.ReadRequest()
      .Send("HTTP/1.0 200 OK\r\nContent-Length: 010\r\n\r\n12345678")
      .HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpOk, exchange.code);
  EXPECT_LT(exchange.elapsedMs, 10000);
  EXPECT_EQ("12345678", std::string(request.Response(), request.ResponseLength()));
}

TEST(HttpExchangeTest, NegativeContentLengthRunsUntilClose) {
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nxyz");
  HttpRequest request;
  EXPECT_EQ(kSocketPeerClosed, RunExchange(request, server, kHttpGet).code);
  EXPECT_EQ(200, request.statusCode);
  EXPECT_EQ("xyz", std::string(request.Response(), request.ResponseLength()));
}

TEST(HttpExchangeTest, AnswerNotStartingWithHttpIsNeverParsed) {
  LoopbackServer server;
  server.ReadRequest().Send("ICY 200 OK\r\nContent-Length: 2\r\n\r\nok");
  HttpRequest request;
  EXPECT_EQ(kSocketPeerClosed, RunExchange(request, server, kHttpGet).code);
  EXPECT_EQ(0, request.statusCode);
  EXPECT_EQ(nullptr, request.ResponseHead());
}

TEST(HttpExchangeTest, StatusLineWithoutASpaceGivesStatusZero) {
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0\r\nContent-Length: 2\r\n\r\nok").HoldUntilReleased();
  HttpRequest request;
  EXPECT_EQ(kHttpOk, RunExchange(request, server, kHttpGet).code);
  EXPECT_EQ(0, request.statusCode);
  EXPECT_NE(nullptr, request.ResponseHead());
}

TEST(HttpExchangeTest, RefusedConnectionLeavesStatusZero) {
  uint16_t port = RefusedPort();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  HttpRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl(url.c_str(), kHttpGet));
  EXPECT_EQ(kSocketConnectFailed, request.SendAndReceive());
  EXPECT_NE(0, request.lastError);
  EXPECT_EQ(INVALID_SOCKET, HttpTestAccess::Socket(request));

  HttpRequest closing;
  ASSERT_EQ(kHttpOk, closing.OpenUrl(url.c_str(), kHttpGet));
  EXPECT_EQ(kHttpOk, closing.SendAndClose());
  EXPECT_EQ(0, closing.statusCode);
}

TEST(HttpExchangeTest, SilentServerEndsAtTheLimit) {
  ScopedExchangeLimit limit(1500);
  LoopbackServer server;
  server.ReadRequest().HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpExchangeTimedOut, exchange.code);
  EXPECT_EQ(0, request.lastError);
  EXPECT_EQ(0, request.statusCode);
  EXPECT_GE(exchange.elapsedMs, 1400);
  EXPECT_LT(exchange.elapsedMs, 5000);
}

TEST(HttpExchangeTest, TricklingServerEndsAtTheLimit) {
  ScopedExchangeLimit limit(1500);
  LoopbackServer server;
  server.ReadRequest().Trickle("HTTP/1.0 200 OK\r\n" + std::string(500, 'X'), 100);
  HttpRequest request;
  server.Start();
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url().c_str(), kHttpGet));
  Stopwatch stopwatch;
  EXPECT_EQ(kHttpOk, request.SendAndClose());
  long long elapsed = stopwatch.ElapsedMs();
  server.Release();
  server.Join();
  EXPECT_EQ(0, request.statusCode);
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 5000);
  EXPECT_GT(request.ResponseLength(), 3u);  // bytes did arrive, just never a whole head
}

TEST(HttpExchangeTest, TrickledBodyKeepsTheParsedStatus) {
  ScopedExchangeLimit limit(1500);
  LoopbackServer server;
  server.ReadRequest()
      .Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n")
      .Trickle(std::string(100, 'b'), 100);
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpExchangeTimedOut, exchange.code);
  EXPECT_EQ(200, request.statusCode);
  EXPECT_LT(exchange.elapsedMs, 5000);
}

TEST(HttpExchangeTest, OversizedAnswerIsCutOff) {
  LoopbackServer server;
  server.ReadRequest()
      .Send("HTTP/1.0 200 OK\r\n\r\n" + std::string(HttpRequest::kMaxResponseBytes + 100000, 'z'))
      .HoldUntilReleased();
  HttpRequest request;
  Exchange exchange = RunExchange(request, server, kHttpGet);
  EXPECT_EQ(kHttpResponseTooLarge, exchange.code);
  EXPECT_EQ(200, request.statusCode);
  EXPECT_GT(request.ResponseLength(), HttpRequest::kMaxResponseBytes);
}

}  // namespace
