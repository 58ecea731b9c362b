#include "http/http_post_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "http/http_test_access.h"
#include "tests/unit/http/loopback_server.h"
#include "tests/unit/http/test_support.h"

namespace {

const std::string kInitial = "---------------------------28253686825547";
const std::string kFixedHeaders = "Accept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n";

std::string FieldPart(const std::string& boundary, const std::string& name,
                      const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

std::string FilePart(const std::string& boundary, const std::string& name,
                     const std::string& fileName, const std::string& data) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
         data + "\r\n";
}

std::string Closing(const std::string& boundary) { return "--" + boundary + "--\r\n\r\n"; }

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

TEST(HttpPostRequestTest, StartsWithTheInitialBoundary) {
  HttpPostRequest request;
  EXPECT_EQ(kInitial, request.Boundary());
  EXPECT_EQ(41u, kInitial.size());
}

TEST(HttpPostRequestTest, GetMethodNameAddsPost) {
  HttpPostRequest request;
  char out[8];
  EXPECT_EQ(kPostOk, request.GetMethodName(kHttpPost, out, sizeof(out)));
  EXPECT_STREQ("POST", out);
  EXPECT_EQ(kPostOk, request.GetMethodName(kHttpPost, out, 3));
  EXPECT_EQ(std::string("PO\0", 3), std::string(out, 3));
  EXPECT_EQ(kPostOk, request.GetMethodName(kHttpGet, out, sizeof(out)));
  EXPECT_STREQ("GET", out);
  EXPECT_EQ(kHttpNoMethod, request.GetMethodName(4, out, sizeof(out)));
}

TEST(HttpPostRequestTest, PartsAreCheckedInOrder) {
  HttpPostRequest request;
  EXPECT_EQ(kPostNotPost, request.AddFormField("ver", "1"));  // nothing begun
  EXPECT_EQ(kPostNoData, request.AddFile(nullptr, nullptr, nullptr, 0));
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpGet));
  EXPECT_EQ(kPostNotPost, request.AddFormField("ver", "1"));
  EXPECT_EQ(kPostNotPost, request.AddFile("file", "log.pak", "x", 1));

  HttpPostRequest post;
  ASSERT_EQ(kHttpOk, post.OpenUrl("http://127.0.0.1/", kHttpPost));
  EXPECT_EQ(kPostNoName, post.AddFormField("", "1"));
  EXPECT_EQ(kPostNoName, post.AddFormField(nullptr, "1"));
  EXPECT_EQ(kPostNoData, post.AddFormField("ver", nullptr));
  EXPECT_EQ(kPostNoData, post.AddFile("file", "log.pak", "x", 0));
  EXPECT_EQ(kPostNoData, post.AddFile("", "", nullptr, 5));
  EXPECT_EQ(kPostNoName, post.AddFile("", "log.pak", "x", 1));
  EXPECT_EQ(kPostNoFileName, post.AddFile("file", "", "x", 1));
  EXPECT_EQ(kPostNoFileName, post.AddFile("file", nullptr, "x", 1));
  EXPECT_EQ("", HttpTestAccess::Body(post));  // refused parts leave the body alone
  EXPECT_EQ(kPostOk, post.AddFormField("empty", ""));
  EXPECT_EQ(FieldPart(kInitial, "empty", ""), HttpTestAccess::Body(post));
  EXPECT_EQ(kPostOk, post.FinishHead());
  EXPECT_EQ(kHttpWrongState, post.AddFormField("ver", "1"));
  EXPECT_EQ(kHttpWrongState, post.AddFile("file", "log.pak", "x", 1));
  EXPECT_EQ(kHttpWrongState, post.FinishHead());
}

TEST(HttpPostRequestTest, PostWithoutPartsHasNoBodyHeaders) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://localhost:81/up", kHttpPost));
  ASSERT_EQ(kPostOk, request.FinishHead());
  EXPECT_EQ(
      "POST /up HTTP/1.0\r\nHOST: localhost\r\n" + kFixedHeaders + "Connection: close\r\n\r\n",
      HttpTestAccess::Head(request));
}

TEST(HttpPostRequestTest, GetAndHeadThroughThePostClass) {
  HttpPostRequest get;
  ASSERT_EQ(kHttpOk, get.OpenUrl("http://localhost/x", kHttpGet));
  ASSERT_EQ(kPostOk, get.FinishHead());
  EXPECT_EQ("GET /x HTTP/1.0\r\nHOST: localhost\r\n" + kFixedHeaders + "Connection: close\r\n\r\n",
            HttpTestAccess::Head(get));
  HttpPostRequest head;
  ASSERT_EQ(kHttpOk, head.OpenUrl("http://localhost/x", kHttpHead));
  ASSERT_EQ(kPostOk, head.FinishHead());
  EXPECT_EQ("HEAD /x HTTP/1.0\r\nHOST: localhost\r\n" + kFixedHeaders + "Connection: close\r\n\r\n",
            HttpTestAccess::Head(head));
}

TEST(HttpPostRequestTest, LongFileNameIsCutTo255Bytes) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpPost));
  std::string longName(300, 'n');
  ASSERT_EQ(kPostOk, request.AddFile("file", longName.c_str(), "data", 4));
  EXPECT_EQ(FilePart(kInitial, "file", longName.substr(0, 255), "data"),
            HttpTestAccess::Body(request));
}

TEST(HttpPostRequestTest, FileSizeThatWouldWrapThrowsBadAlloc) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpPost));
  char data[16] = {};
  // The sizes are refused before any byte of the (claimed) data is read.
  EXPECT_THROW(request.AddFile("file", "log.pak", data, UINT32_MAX - 1000), std::bad_alloc);
  EXPECT_EQ(nullptr, HttpTestAccess::BodyBlock(request));
}

TEST(HttpPostRequestTest, RefusedPartsFreeTheirBlocks) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpPost));
  ASSERT_EQ(kPostOk, request.AddFormField("ver", "1.0.0"));
  const std::string body = HttpTestAccess::Body(request);
  // A body that claims the most an append may start from: each part is formatted into its own
  // block, then its append is refused by size alone. Neither block may outlive the refusal (the
  // leak checker sees it).
  HttpTestAccess::SetBodyLength(request, UINT32_MAX - 32);
  EXPECT_THROW(request.AddFormField("big", "value"), std::bad_alloc);
  EXPECT_THROW(request.AddFile("file", "log.pak", "data", 4), std::bad_alloc);
  HttpTestAccess::SetBodyLength(request, static_cast<uint32_t>(body.size()));
  EXPECT_EQ(body, HttpTestAccess::Body(request));
}

TEST(HttpPostRequestTest, UploadSendsTheExactMultipartRequest) {
  const std::string payload("PAKF3001\0\x01\xFF\r\n--", 15);
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 201 Created\r\nContent-Length: 2\r\n\r\nok");
  server.Start();
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url("/crash/upload.php").c_str(), kHttpPost));
  ASSERT_EQ(kPostOk, request.AddFormField("ver", "1.2.3"));
  ASSERT_EQ(kPostOk, request.AddFile("file", "log.pak", payload.data(),
                                     static_cast<unsigned>(payload.size())));
  EXPECT_EQ(kHttpOk, request.SendAndClose());
  EXPECT_EQ(201, request.statusCode);
  std::string body = FieldPart(kInitial, "ver", "1.2.3") +
                     FilePart(kInitial, "file", "log.pak", payload) + Closing(kInitial);
  EXPECT_EQ("POST /crash/upload.php HTTP/1.0\r\nHOST: 127.0.0.1\r\n" + kFixedHeaders +
                "Content-Type: multipart/form-data; boundary=" + kInitial + "\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
            server.Join());
  EXPECT_EQ(nullptr, HttpTestAccess::BodyBlock(request));
}

TEST(HttpPostRequestTest, DataHoldingTheBoundaryChangesItEverywhere) {
  const std::string data = "before " + kInitial + " after";
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  server.Start();
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url("/").c_str(), kHttpPost));
  ASSERT_EQ(kPostOk, request.AddFormField("ver", "1"));
  ASSERT_EQ(kPostOk,
            request.AddFile("file", "log.pak", data.data(), static_cast<unsigned>(data.size())));
  ASSERT_EQ(kPostOk, request.AddFormField("after", "2"));
  const std::string boundary = request.Boundary();
  ASSERT_EQ(42u, boundary.size());
  EXPECT_EQ(kInitial.substr(0, 31), boundary.substr(0, 31));
  for (size_t i = 31; i < 42; ++i) {
    EXPECT_TRUE(std::strchr("0123456789ABCDEF", boundary[i]) != nullptr) << boundary;
    // Each value is 33 to 125, so every high digit is 2 to 7.
    if ((i - 31) % 2 == 0) {
      EXPECT_TRUE(boundary[i] >= '2' && boundary[i] <= '7') << boundary;
    }
  }
  EXPECT_EQ(kHttpOk, request.SendAndClose());
  EXPECT_EQ(200, request.statusCode);

  std::string body = FieldPart(boundary, "ver", "1") + FilePart(boundary, "file", "log.pak", data) +
                     FieldPart(boundary, "after", "2") + Closing(boundary);
  std::string sent = server.Join();
  EXPECT_EQ("POST / HTTP/1.0\r\nHOST: 127.0.0.1\r\n" + kFixedHeaders +
                "Content-Type: multipart/form-data; boundary=" + boundary + "\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
            sent);
  EXPECT_EQ(1u, Count(sent, kInitial));  // only inside the file's data
  EXPECT_EQ(5u, Count(sent, boundary));  // header, three delimiters, closing line
}

TEST(HttpPostRequestTest, RegenerateBoundaryRewritesTheDelimitersWritten) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpPost));
  ASSERT_EQ(kPostOk, request.AddFormField("a", "1"));
  ASSERT_EQ(kPostOk, request.AddFormField("b", "2"));
  request.RegenerateBoundary();
  std::string first = request.Boundary();
  EXPECT_EQ(FieldPart(first, "a", "1") + FieldPart(first, "b", "2"), HttpTestAccess::Body(request));
  request.RegenerateBoundary();
  std::string second = request.Boundary();
  EXPECT_EQ(42u, second.size());
  EXPECT_EQ(first.substr(0, 31), second.substr(0, 31));
  EXPECT_EQ(FieldPart(second, "a", "1") + FieldPart(second, "b", "2"),
            HttpTestAccess::Body(request));
  request.Close();
  EXPECT_EQ(second, request.Boundary());  // Reset keeps the boundary
  EXPECT_EQ(nullptr, HttpTestAccess::BodyBlock(request));
}

TEST(HttpPostRequestTest, NamesHoldingTheBoundaryChangeItToo) {
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl("http://127.0.0.1/", kHttpPost));
  const std::string name = "n" + kInitial;
  ASSERT_EQ(kPostOk, request.AddFormField(name.c_str(), "v"));
  ASSERT_NE(kInitial, request.Boundary());
  EXPECT_EQ(FieldPart(request.Boundary(), name, "v"), HttpTestAccess::Body(request));
  const std::string fileName = kInitial.substr(0, 31) + std::string(request.Boundary()).substr(31);
  const std::string before = request.Boundary();
  ASSERT_EQ(kPostOk, request.AddFile("file", fileName.c_str(), "x", 1));
  EXPECT_NE(before, request.Boundary());
  EXPECT_EQ(FieldPart(request.Boundary(), name, "v") +
                FilePart(request.Boundary(), "file", fileName, "x"),
            HttpTestAccess::Body(request));
}

TEST(HttpPostRequestTest, CanBeCreatedAndDestroyedOnTheHeap) {
  // Destroyed by its own type: the class is final, so no virtual destructor is needed.
  HttpPostRequest* request = new HttpPostRequest;
  ASSERT_EQ(kHttpOk, request->OpenUrl("http://127.0.0.1/", kHttpPost));
  ASSERT_EQ(kPostOk, request->AddFormField("ver", "1"));
  delete request;
}

TEST(HttpPostRequestTest, CheckBoundaryIgnoresShortAndMissingData) {
  HttpPostRequest request;
  request.CheckBoundary(nullptr, 100);
  request.CheckBoundary(kInitial.data(), 40);
  EXPECT_EQ(kInitial, request.Boundary());
  request.CheckBoundary(kInitial.data(), 41);
  EXPECT_NE(kInitial, request.Boundary());
}

TEST(HttpPostRequestTest, FortyMegabyteFileArrivesIntact) {
  const std::string data = PatternBytes(40u << 20);
  LoopbackServer server;
  server.ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
  server.Start();
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url("/upload").c_str(), kHttpPost));
  ASSERT_EQ(kPostOk, request.AddFormField("ver", "1.0.1"));
  ASSERT_EQ(kPostOk,
            request.AddFile("file", "log.pak", data.data(), static_cast<unsigned>(data.size())));
  EXPECT_EQ(kHttpOk, request.SendAndClose());
  EXPECT_EQ(200, request.statusCode);
  std::string sent = server.Join();
  std::string partHead = FilePart(kInitial, "file", "log.pak", "");
  partHead.resize(partHead.size() - 2);
  size_t at = sent.find(partHead);
  ASSERT_NE(std::string::npos, at);
  at += partHead.size();
  ASSERT_GE(sent.size(), at + data.size());
  EXPECT_TRUE(sent.compare(at, data.size(), data) == 0);
  EXPECT_EQ("\r\n" + Closing(kInitial), sent.substr(at + data.size()));
}

TEST(HttpPostRequestTest, ServerThatStopsReadingMidBodyEndsAtTheLimit) {
  ScopedExchangeLimit limit(1500);
  const std::string data = PatternBytes(32u << 20);
  LoopbackServer server;
  server.ReadBytes(100000).HoldUntilReleased();
  server.Start();
  HttpPostRequest request;
  ASSERT_EQ(kHttpOk, request.OpenUrl(server.Url("/upload").c_str(), kHttpPost));
  ASSERT_EQ(kPostOk,
            request.AddFile("file", "log.pak", data.data(), static_cast<unsigned>(data.size())));
  Stopwatch stopwatch;
  EXPECT_EQ(kSocketSendTimedOut, request.SendAndReceive());
  long long elapsed = stopwatch.ElapsedMs();
  request.CloseSocket();
  server.Release();
  server.Join();
  EXPECT_EQ(0, request.statusCode);
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 5000);
}

}  // namespace
