// The webhook sender against receivers on this machine: one that answers, one that fails
// first, one that refuses, one that never answers.

#include "front/webhooks.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector_harness.h"

namespace {

using collector::Alert;
using collector::AlertDocument;
using collector::WebhookOptions;
using collector::WebhookSender;
using Clock = std::chrono::steady_clock;

Alert NewGroup(int64_t id) {
  Alert alert;
  alert.event = "new_group";
  alert.groupId = id;
  alert.program = "game.exe";
  alert.code = "0xc0000005";
  alert.topFrames = {"A", "B", "C"};
  alert.version = "1.2.1";
  alert.count = 1;
  return alert;
}

struct Received {
  std::string path;
  std::string body;
  std::multimap<std::string, std::string> headers;
};

// An HTTP receiver on 127.0.0.1 that answers 503 to its first failFirst requests, then 200.
class Receiver {
 public:
  explicit Receiver(int failFirst = 0) : failFirst_(failFirst) {
    server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(
          Received{request.path, request.body, {request.headers.begin(), request.headers.end()}});
      response.status = static_cast<int>(received_.size()) <= failFirst_ ? 503 : 200;
      changed_.notify_all();
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Receiver() {
    // stop() is lost on a server that has not started listening yet.
    auto until = Clock::now() + std::chrono::seconds(10);
    while (!server_.is_running() && Clock::now() < until) {
      std::this_thread::yield();
    }
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook?k=1"; }

  // The requests once there are at least count of them, or after 20 seconds.
  std::vector<Received> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  const int failFirst_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
};

// A socket bound to a port of 127.0.0.1; listening or not, it never accepts.
class DeadPort {
 public:
  explicit DeadPort(bool listening) : sock_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(sock_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        (listening && listen(sock_, 16) != 0) ||
        getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot set up the port";
    }
    port_ = ntohs(address.sin_port);
  }
  ~DeadPort() { close(sock_); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int sock_;
  int port_ = 0;
};

bool WaitUntil(const std::function<bool()>& done) {
  auto until = Clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (Clock::now() >= until) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

// CPU time of the calling thread: what it spent working, whatever else the machine runs.
std::chrono::microseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::nanoseconds(now.tv_nsec));
}

std::string Header(const Received& request, const std::string& name) {
  auto found = request.headers.find(name);
  return found == request.headers.end() ? "<missing>" : found->second;
}

TEST(AlertDocument, HoldsTheGroupAndItsLink) {
  EXPECT_EQ(AlertDocument(NewGroup(12), "https://crash.example/"),
            "{\"event\":\"new_group\",\"group\":12,\"program\":\"game.exe\",\"code\":"
            "\"0xc0000005\",\"top_frames\":[\"A\",\"B\",\"C\"],\"version\":\"1.2.1\",\"count\":1,"
            "\"url\":\"https://crash.example/groups/12\"}");
  Alert spike = NewGroup(7);
  spike.event = "spike";
  spike.count = 250;
  spike.hour = 494000;
  spike.topFrames.clear();
  EXPECT_EQ(AlertDocument(spike, ""),
            "{\"event\":\"spike\",\"group\":7,\"program\":\"game.exe\",\"code\":\"0xc0000005\","
            "\"top_frames\":[],\"version\":\"1.2.1\",\"count\":250,\"url\":null,"
            "\"hour\":494000}");
}

TEST(AlertDocument, UploadedTextsCannotBreakOutOfTheirStrings) {
  Alert alert = NewGroup(3);
  alert.program = std::string("a\"b\\c\nd\x01") + "\xff" + "\xe4\xb8\xad";
  alert.topFrames = {"}],\"count\":9"};
  std::string document = AlertDocument(alert, "http://h");
  EXPECT_NE(document.find("\"program\":\"a\\\"b\\\\c\\u000ad\\u0001\xef\xbf\xbd\xe4\xb8\xad\""),
            std::string::npos)
      << document;
  EXPECT_NE(document.find("\"top_frames\":[\"}],\\\"count\\\":9\"]"), std::string::npos)
      << document;
}

TEST(WebhookSignature, IsHmacSha256InLowercaseHex) {
  // RFC 4231, test case 2.
  EXPECT_EQ(collector::WebhookSignature("Jefe", "what do ya want for nothing?"),
            "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(ParseHttpUrl, TakesHostPortAndTargetApart) {
  collector::HttpUrl url;
  std::string error;
  ASSERT_TRUE(collector::ParseHttpUrl("HTTP://[::1]:8080?x=1", url, error)) << error;
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.port, 8080);
  EXPECT_EQ(url.target, "/?x=1");
  EXPECT_EQ(url.hostHeader, "[::1]:8080");
  ASSERT_TRUE(collector::ParseHttpUrl("http://hooks.example/a/b", url, error)) << error;
  EXPECT_EQ(url.port, 80);
  EXPECT_EQ(url.hostHeader, "hooks.example");
  for (const char* bad : {"hooks.example/a", "ftp://h/", "http://", "http://h:0/",
                          "http://h:65536/", "http://h:/", "http://u:p@h/", "http://h/a b",
                          "http://h/#x", "http://[::1/", "http://h\r\nX: y/", "http://a:1:2/"}) {
    EXPECT_FALSE(collector::ParseHttpUrl(bad, url, error)) << bad;
  }
}

TEST(WebhookSender, RefusesHttpsAndMalformedUrlsAtStart) {
  for (const char* url : {"https://hooks.example/x", "http://h:99999/"}) {
    WebhookOptions options;
    options.urls = {url};
    WebhookSender sender(options);
    std::string error;
    EXPECT_FALSE(sender.Start(error));
    EXPECT_NE(error.find(url), std::string::npos) << error;
  }
}

TEST(WebhookSender, PostsTheSignedDocumentToEveryUrl) {
  Receiver first;
  Receiver second;
  WebhookOptions options;
  options.urls = {first.Url(), second.Url()};
  options.secret = "hook-secret";
  options.publicUrl = "https://crash.example";
  WebhookSender sender(options);
  std::string error;
  ASSERT_TRUE(sender.Start(error)) << error;
  sender.Enqueue(NewGroup(12));
  const std::string document = AlertDocument(NewGroup(12), "https://crash.example");
  for (Receiver* receiver : {&first, &second}) {
    std::vector<Received> got = receiver->WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].path, "/hook");
    EXPECT_EQ(got[0].body, document);
    EXPECT_EQ(Header(got[0], "Content-Type"), "application/json");
    EXPECT_EQ(Header(got[0], "User-Agent"), "VexoCrashRpt-collector");
    EXPECT_EQ(Header(got[0], "X-Vexo-Signature"),
              collector::WebhookSignature("hook-secret", document));
  }
  EXPECT_TRUE(WaitUntil([&] { return sender.delivered() == 2; }));
  sender.Stop();
  EXPECT_EQ(sender.dropped(), 0u);
}

TEST(WebhookSender, TriesAgainUntilTheReceiverTakesIt) {
  Receiver receiver(/*failFirst=*/2);
  WebhookOptions options;
  options.urls = {receiver.Url()};
  options.firstRetryMilliseconds = 20;
  WebhookSender sender(options);
  std::string error;
  ASSERT_TRUE(sender.Start(error)) << error;
  sender.Enqueue(NewGroup(5));
  sender.Enqueue(NewGroup(6));
  std::vector<Received> got = receiver.WaitFor(4);
  ASSERT_EQ(got.size(), 4u);
  // The first alert three times (503, 503, 200), then the second, in order; no header
  // without a secret.
  EXPECT_EQ(got[0].body, got[2].body);
  EXPECT_EQ(got[2].body, AlertDocument(NewGroup(5), ""));
  EXPECT_EQ(got[3].body, AlertDocument(NewGroup(6), ""));
  EXPECT_EQ(Header(got[3], "X-Vexo-Signature"), "<missing>");
  EXPECT_TRUE(WaitUntil([&] { return sender.delivered() == 2; }));
  EXPECT_EQ(sender.dropped(), 0u);
}

TEST(WebhookSender, DropsAnAlertRefusedForItsRetryTime) {
  DeadPort refusing(/*listening=*/false);
  WebhookOptions options;
  options.urls = {refusing.Url()};
  options.retrySeconds = 1;
  options.firstRetryMilliseconds = 20;
  WebhookSender sender(options);
  std::string error;
  ASSERT_TRUE(sender.Start(error)) << error;
  sender.Enqueue(NewGroup(1));
  EXPECT_TRUE(WaitUntil([&] { return sender.dropped() == 1; }));
  EXPECT_EQ(sender.delivered(), 0u);
}

TEST(WebhookSender, AReceiverThatNeverAnswersHoldsUpNeitherIngestNorTheOthers) {
  DeadPort silent(/*listening=*/true);
  Receiver live;
  WebhookOptions options;
  options.urls = {silent.Url(), live.Url()};
  options.queueLimit = 1000;
  auto sender = std::make_unique<WebhookSender>(options);
  std::string error;
  ASSERT_TRUE(sender->Start(error)) << error;
  // Waiting on the silent receiver would take its 10 s timeout; the work itself is measured in
  // the thread's CPU time, which the other processes on a busy machine do not inflate.
  auto start = Clock::now();
  auto startCpu = ThreadCpuTime();
  for (int64_t id = 1; id <= 1000; ++id) {
    sender->Enqueue(NewGroup(id));
  }
  EXPECT_LT((ThreadCpuTime() - startCpu).count(), 50000);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            1000);
  EXPECT_EQ(sender->dropped(), 0u);
  ASSERT_EQ(live.WaitFor(1000).size(), 1000u);
  // The silent receiver's queue is full: the next alert is dropped there, delivered here.
  sender->Enqueue(NewGroup(1001));
  EXPECT_EQ(sender->dropped(), 1u);
  std::vector<Received> got = live.WaitFor(1001);
  ASSERT_EQ(got.size(), 1001u);
  EXPECT_EQ(got.back().body, AlertDocument(NewGroup(1001), ""));
  start = Clock::now();
  sender->Stop();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            3000);
  EXPECT_EQ(sender->delivered(), 1001u);
  EXPECT_EQ(sender->dropped(), 1001u);  // and the thousand abandoned at the silent one
}

TEST(WebhookSender, StopStillDeliversWhatIsQueuedToAReceiverThatAnswers) {
  Receiver receiver;
  WebhookOptions options;
  options.urls = {receiver.Url()};
  options.stopGraceMilliseconds = 10000;
  WebhookSender sender(options);
  std::string error;
  ASSERT_TRUE(sender.Start(error)) << error;
  for (int64_t id = 1; id <= 20; ++id) {
    sender.Enqueue(NewGroup(id));
  }
  sender.Stop();
  EXPECT_EQ(sender.delivered(), 20u);
  EXPECT_EQ(receiver.WaitFor(20).size(), 20u);
}

TEST(ServeWebhookFlags, RefusesWhatCouldNeverBeDelivered) {
  collector_test::TempDir dir;
  std::ofstream(dir.File("blank.secret")) << "  \nsecond line\n";
  auto serve = [&](std::vector<std::string> flags) {
    flags.insert(flags.begin(), {"serve", "--db", dir.File("a.db")});
    return collector_test::RunCollector(flags);
  };
  collector_test::ToolResult https = serve({"--webhook-url", "https://hooks.example/x"});
  EXPECT_EQ(https.exitStatus, 2);
  EXPECT_NE(https.err.find("only http://"), std::string::npos) << https.err;
  EXPECT_EQ(serve({"--webhook-url", "http://hooks.example:0/"}).exitStatus, 2);
  EXPECT_EQ(serve({"--public-url", "crash.example"}).exitStatus, 2);
  EXPECT_EQ(serve({"--spike-per-hour", "0"}).exitStatus, 2);
  EXPECT_EQ(serve({"--webhook-url", "http://h/", "--webhook-secret-file", dir.File("blank.secret")})
                .exitStatus,
            1);
  EXPECT_EQ(
      serve({"--webhook-url", "http://h/", "--webhook-secret-file", dir.File("none")}).exitStatus,
      1);
}

}  // namespace
