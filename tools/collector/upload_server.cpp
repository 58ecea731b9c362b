#include "upload_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "crash_entry.h"
#include "dashboard.h"
#include "payload_decode.h"
#include "read_api.h"
#include "report_store.h"
#include "session.h"

namespace collector {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kFileField[] = "file";
constexpr char kVersionField[] = "ver";
constexpr int kListenBacklog = 1024;
constexpr unsigned kWorkerThreads = 4;
constexpr size_t kPostBufferBytes = 64 * 1024;
constexpr auto kSweepInterval = std::chrono::milliseconds(100);
// A sign-in form holds one token; anything longer is not one.
constexpr size_t kMaxFormBytes = 4096;
// Read requests (pages and API) run the symbolizer, so threads of their own answer them and
// the network threads stay free for uploads; at most kMaxWaitingReads more wait their turn.
constexpr size_t kReaderThreads = 2;
constexpr size_t kMaxWaitingReads = 64;
// What a refused client is asked to wait: a read is soon answered, while the body budget frees
// up only as uploads end.
constexpr int kReadRetrySeconds = 1;
constexpr int kBudgetRetrySeconds = 5;
// The sweeper samples each body's byte count this many times per rate window.
constexpr int64_t kRateSamplesPerWindow = 4;
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'";

std::string NowUtc() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) %
                std::chrono::seconds(1);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis.count()));
  return text;
}

int64_t Nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::string PeerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) {
    return "-";
  }
  const sockaddr* addr = info->client_addr;
  socklen_t length = addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (getnameinfo(addr, length, host, sizeof(host), port, sizeof(port),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "-";
  }
  return std::string(host) + ":" + port;
}

// Behind a reverse proxy every connection comes from the proxy, which names the sender in
// X-Real-IP. Only the proxies named are believed: from anyone else the header is a player's
// say-so, and the connection's own address is kept.
std::string SenderOf(MHD_Connection* connection, const std::vector<std::string>& proxies) {
  std::string peer = PeerOf(connection);
  if (proxies.empty()) {
    return peer;
  }
  std::string host = peer.substr(0, peer.rfind(':'));
  if (std::find(proxies.begin(), proxies.end(), host) == proxies.end()) {
    return peer;
  }
  const char* real = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Real-IP");
  if (real == nullptr || !IsIpAddress(real)) {
    return peer;
  }
  return std::string(real) + " via " + peer;
}

// One TCP connection, watched by the sweeper for the head deadline and the body rate.
struct Link {
  int fd = -1;
  Clock::time_point opened;
  std::atomic<int64_t> headAt{0};      // when the head was complete (steady ns), 0 before
  std::atomic<uint64_t> bodyBytes{0};  // body bytes taken so far
  std::atomic<bool> bodyDone{false};   // whole body taken or answered: no more rate checks
  bool cut = false;                    // shut down by the sweeper (under the registry lock)
  // The sweeper's own (steady ns, bodyBytes) samples of the body that began at samplesFor,
  // reaching one window back: the rate is judged on the last window only.
  std::deque<std::pair<int64_t, uint64_t>> samples;
  int64_t samplesFor = 0;
};

// True when the body has run for longer than the window and brought fewer than minWindowBytes
// within the last window: a fast start buys no time for a trickle after it. Samples are taken a
// few times per window; the one judged against is the newest at least a window old.
bool BodyTooSlow(Link& link, int64_t headAt, int64_t now, int64_t window, double minWindowBytes) {
  if (link.samplesFor != headAt) {
    link.samples.clear();
    link.samples.emplace_back(headAt, 0);
    link.samplesFor = headAt;
  }
  uint64_t bytes = link.bodyBytes;
  if (now - link.samples.back().first >= window / kRateSamplesPerWindow) {
    link.samples.emplace_back(now, bytes);
  }
  while (link.samples.size() > 1 && link.samples[1].first <= now - window) {
    link.samples.pop_front();
  }
  return now - headAt > window &&
         static_cast<double>(bytes - link.samples.front().second) < minWindowBytes;
}

// One request, from its request line to its answer.
struct Request {
  std::string target;  // raw request target, query included
  Link* link = nullptr;
  bool started = false;
  MHD_PostProcessor* post = nullptr;
  uint64_t received = 0;
  std::string closeDelimiter;  // "\r\n--BOUNDARY--": what follows it is ignored
  std::string window;          // the last bytes, for a delimiter split across chunks
  bool ended = false;          // the close delimiter has been seen
  unsigned refusal = 0;        // status to answer once the body has ended, 0 for none
  std::string reason;
  std::string file;
  std::string fileName;
  std::string ver;
  bool hasFile = false;
  bool hasVer = false;
  std::string lastKey;  // the part the last chunk belonged to
  uint64_t lastEnd = 0;
  std::string duplicate;  // name of a part sent twice
  bool form = false;      // a sign-in or sign-out form, not an upload
  bool signOut = false;
  std::string formBody;
  uint64_t reserved = 0;  // body bytes counted against the budget, given back at the end
  int retryAfter = 0;     // seconds for the Retry-After of the refusal, 0 for none
  // A read (API or page) answered by a reader thread while the connection is suspended.
  bool read = false;
  bool api = false;
  bool readRefused = false;  // dropped from the queue by a stop: answered 503
  std::string method;
  std::string path;
  std::string query;
  ApiAnswer apiAnswer;
  PageAnswer pageAnswer;
  // Filled by the writer; read after the connection is resumed.
  bool queued = false;
  bool stored = false;
  int64_t id = 0;
  std::string storeError;
  StoredReport report;
};

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  bool allowPost = false) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  // One request per connection: a stop never waits for an idle keep-alive connection.
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  if (allowPost) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "POST");
  }
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result AnswerFromApi(MHD_Connection* connection, const ApiAnswer& answer) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  if (answer.attachment) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION,
                            "attachment; filename=\"log.txt\"");
  }
  if (answer.allowGet) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET");
  }
  if (!answer.link.empty()) {
    MHD_add_response_header(response, "Link", answer.link.c_str());
  }
  if (answer.status == MHD_HTTP_UNAUTHORIZED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
  }
  MHD_Result result = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result AnswerFromPage(MHD_Connection* connection, const PageAnswer& page) {
  MHD_Response* response = MHD_create_response_from_buffer(
      page.body.size(), const_cast<char*>(page.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, page.contentType.c_str());
  MHD_add_response_header(response, "Content-Security-Policy", kContentSecurityPolicy);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  if (!page.location.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, page.location.c_str());
  }
  if (!page.setCookie.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, page.setCookie.c_str());
  }
  MHD_Result result = MHD_queue_response(connection, page.status, response);
  MHD_destroy_response(response);
  return result;
}

// 503 with Retry-After: the client is asked to come back, not told that it failed.
MHD_Result AnswerBusy(MHD_Connection* connection, const char* contentType, const std::string& body,
                      int retrySeconds) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER,
                          std::to_string(retrySeconds).c_str());
  MHD_Result result = MHD_queue_response(connection, MHD_HTTP_SERVICE_UNAVAILABLE, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result AnswerReadBusy(MHD_Connection* connection, bool api) {
  if (api) {
    return AnswerBusy(connection, "application/json; charset=utf-8",
                      "{\"error\":\"busy, try again\"}\n", kReadRetrySeconds);
  }
  return AnswerBusy(connection, "text/plain; charset=utf-8",
                    "The collector is busy answering other pages; try again.\n", kReadRetrySeconds);
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

// A sign-in or sign-out form has to come from the dashboard's own pages. Browsers name the
// sending site in Sec-Fetch-Site, older ones at least the origin; a request with neither is
// no browser's (curl, a script) and cannot be a forged cross-site one.
bool FromOwnSite(MHD_Connection* connection) {
  const char* site = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
  if (site != nullptr) {
    std::string value = Lower(site);
    return value == "same-origin" || value == "none";
  }
  const char* origin =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ORIGIN);
  if (origin == nullptr) {
    return true;
  }
  // "scheme://host[:port]"; an opaque "null" origin matches nothing.
  std::string text = origin;
  size_t scheme = text.find("://");
  if (scheme == std::string::npos) {
    return false;
  }
  std::string host = Lower(text.substr(scheme + 3));
  return !host.empty() && host == Lower(Header(connection, MHD_HTTP_HEADER_HOST));
}

// The sign-in and sign-out forms: a POST to /login or /logout that is a url-encoded form.
// Uploads are multipart, so every upload stays an upload whatever its path.
bool IsSessionForm(MHD_Connection* connection, const std::string& url) {
  if (url != "/login" && url != "/logout") {
    return false;
  }
  std::string type = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  for (char& c : type) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::string form = "application/x-www-form-urlencoded";
  return type.compare(0, form.size(), form) == 0 &&
         (type.size() == form.size() || type[form.size()] == ';' || type[form.size()] == ' ');
}

// The value of one field of a url-encoded form, decoded.
std::string FormField(const std::string& body, const std::string& name) {
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) {
      end = body.size();
    }
    if (body.compare(at, name.size() + 1, name + "=") == 0) {
      std::string out;
      for (size_t i = at + name.size() + 1; i < end; ++i) {
        bool escape = body[i] == '%' && i + 2 < end &&
                      std::isxdigit(static_cast<unsigned char>(body[i + 1])) &&
                      std::isxdigit(static_cast<unsigned char>(body[i + 2]));
        if (body[i] == '+') {
          out += ' ';
        } else if (escape) {
          out += static_cast<char>(std::stoi(body.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          out += body[i];
        }
      }
      return out;
    }
    at = end + 1;
  }
  return std::string();
}

std::string SessionCookie(const std::string& value, int64_t maxAge) {
  return std::string(kSessionCookie) + "=" + value + "; Max-Age=" + std::to_string(maxAge) +
         "; Path=/; HttpOnly; SameSite=Strict";
}

// The boundary parameter of the multipart Content-Type, unquoted; empty when there is none.
std::string BoundaryOf(MHD_Connection* connection) {
  const char* type =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  std::string text = type != nullptr ? type : "";
  std::string lower = text;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  size_t at = lower.find("boundary=");
  if (at == std::string::npos) {
    return std::string();
  }
  std::string boundary = text.substr(at + 9);
  if (!boundary.empty() && boundary.front() == '"') {
    size_t close = boundary.find('"', 1);
    return close == std::string::npos ? std::string() : boundary.substr(1, close - 1);
  }
  return boundary.substr(0, boundary.find_first_of("; \t"));
}

}  // namespace

bool IsIpAddress(const std::string& text) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), address) == 1 ||
         inet_pton(AF_INET6, text.c_str(), address) == 1;
}

class UploadServer::Impl {
 public:
  Impl(ReportStore& store, const ServerOptions& options)
      : store_(store), options_(options), sessions_(options.readToken) {}

  ~Impl() {
    if (listenFd_ >= 0) {
      close(listenFd_);
    }
  }

  int Bind(std::string& error);
  bool Serve();
  void Stop() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopRequested_ = true;
    stopChanged_.notify_all();
  }

 private:
  static void* OnUri(void* cls, const char* uri, MHD_Connection* connection);
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* data,
                              size_t* size, void** context);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode code);
  static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code);
  static MHD_Result OnPart(void* cls, MHD_ValueKind kind, const char* key, const char* filename,
                           const char* contentType, const char* encoding, const char* data,
                           uint64_t offset, size_t size);

  MHD_Result TakeBody(Request& request, const char* data, size_t* size);
  void Refuse(Request& request, unsigned status, const std::string& reason);
  bool Reserve(uint64_t bytes);
  void GiveBack(Request& request);
  MHD_Result Finish(MHD_Connection* connection, Request& request);
  MHD_Result Reply(MHD_Connection* connection, Request& request);
  MHD_Result ServeApi(MHD_Connection* connection, Request& request, const char* url,
                      const char* method);
  MHD_Result ServePage(MHD_Connection* connection, Request& request, const std::string& url);
  MHD_Result QueueRead(MHD_Connection* connection, Request& request);
  MHD_Result AnswerRead(MHD_Connection* connection, Request& request, size_t* size);
  MHD_Result TakeForm(MHD_Connection* connection, Request& request, const char* data, size_t* size);
  bool Authorized(MHD_Connection* connection) const;
  void WriterLoop();
  void ReaderLoop();
  void CloseReads(std::vector<std::thread>& readers);
  void SweeperLoop();

  ReportStore& store_;
  ServerOptions options_;
  SessionKeys sessions_;
  std::atomic<uint64_t> bodyBytesInFlight_{0};  // counted against maxBodyBudgetBytes
  int listenFd_ = -1;
  MHD_Daemon* daemon_ = nullptr;

  std::mutex stopMutex_;
  std::condition_variable stopChanged_;
  bool stopRequested_ = false;

  // Open connections; the sweeper may shut one down only while it is in this set, because
  // MHD reports the close before it closes the descriptor.
  std::mutex linksMutex_;
  std::condition_variable linksChanged_;
  std::set<Link*> links_;
  bool stopping_ = false;
  Clock::time_point stopDeadline_;
  bool sweeperDone_ = false;

  // Reports waiting for the group commit, with their suspended connections.
  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<std::pair<MHD_Connection*, Request*>> queue_;
  size_t writing_ = 0;
  bool closing_ = false;  // no more reports are taken
  bool writerDone_ = false;

  // Reads waiting for a reader thread, with their suspended connections.
  std::mutex readMutex_;
  std::condition_variable readsChanged_;
  std::deque<std::pair<MHD_Connection*, Request*>> reads_;
  bool readsClosed_ = false;  // stopping: no more reads are taken, the readers end
};

int UploadServer::Impl::Bind(std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string where = options_.host + ":" + std::to_string(options_.port);
  int status = getaddrinfo(options_.host.c_str(), std::to_string(options_.port).c_str(), &hints,
                           &found);
  if (status != 0) {
    error = "cannot listen on " + where + ": " + gai_strerror(status);
    return -1;
  }
  int lastErrno = 0;
  for (addrinfo* ai = found; ai != nullptr && listenFd_ < 0; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastErrno = errno;
      continue;
    }
    // SO_REUSEADDR only: SO_REUSEPORT would let a second server share a taken port.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, kListenBacklog) != 0) {
      lastErrno = errno;
      close(fd);
      continue;
    }
    listenFd_ = fd;
  }
  freeaddrinfo(found);
  if (listenFd_ < 0) {
    error = "cannot listen on " + where + ": " + std::strerror(lastErrno);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  char port[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, nullptr, 0, port, sizeof(port),
              NI_NUMERICSERV);
  return std::atoi(port);
}

bool UploadServer::Impl::Serve() {
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ITC;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Impl::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, listenFd_,
      MHD_OPTION_THREAD_POOL_SIZE, kWorkerThreads, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(options_.maxConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned>(options_.maxPerAddress), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(options_.headTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      options_.maxHeaderBytes, MHD_OPTION_URI_LOG_CALLBACK, &Impl::OnUri, this,
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
      &Impl::OnConnection, this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    return false;
  }
  std::vector<std::thread> writers;
  for (size_t i = 0; i < std::max<size_t>(1, store_.ConcurrentWriters()); ++i) {
    writers.emplace_back([this] { WriterLoop(); });
  }
  std::vector<std::thread> readers;
  for (size_t i = 0; i < kReaderThreads; ++i) {
    readers.emplace_back([this] { ReaderLoop(); });
  }
  std::thread sweeper([this] { SweeperLoop(); });
  {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopChanged_.wait(lock, [this] { return stopRequested_; });
  }
  // Closing the listening socket makes new connections fail at once instead of queueing.
  MHD_socket listener = MHD_quiesce_daemon(daemon_);
  if (listener != MHD_INVALID_SOCKET) {
    close(listener);
  }
  listenFd_ = -1;
  {
    // Open connections get the grace to finish; then the sweeper ends them.
    std::unique_lock<std::mutex> lock(linksMutex_);
    stopping_ = true;
    stopDeadline_ = Clock::now() + std::chrono::milliseconds(options_.stopGraceMilliseconds);
    linksChanged_.notify_all();
    linksChanged_.wait_until(lock, stopDeadline_ + std::chrono::seconds(1),
                             [this] { return links_.empty(); });
    sweeperDone_ = true;
    linksChanged_.notify_all();
  }
  sweeper.join();
  CloseReads(readers);
  {
    // Every report taken so far is stored and its connection resumed before MHD stops.
    std::unique_lock<std::mutex> lock(queueMutex_);
    closing_ = true;
    queueChanged_.wait(lock, [this] { return queue_.empty() && writing_ == 0; });
    writerDone_ = true;
    queueChanged_.notify_all();
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  return true;
}

void* UploadServer::Impl::OnUri(void*, const char* uri, MHD_Connection* connection) {
  Request* request = new Request;
  request->target = uri;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info != nullptr) {
    request->link = static_cast<Link*>(info->socket_context);
  }
  return request;
}

void UploadServer::Impl::OnConnection(void* cls, MHD_Connection* connection,
                                      void** socketContext, MHD_ConnectionNotificationCode code) {
  Impl* self = static_cast<Impl*>(cls);
  std::lock_guard<std::mutex> lock(self->linksMutex_);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    Link* link = new Link;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    link->fd = info != nullptr ? info->connect_fd : -1;
    link->opened = Clock::now();
    self->links_.insert(link);
    *socketContext = link;
  } else {
    Link* link = static_cast<Link*>(*socketContext);
    self->links_.erase(link);
    delete link;
    *socketContext = nullptr;
    self->linksChanged_.notify_all();
  }
}

void UploadServer::Impl::OnCompleted(void* cls, MHD_Connection*, void** context,
                                     MHD_RequestTerminationCode) {
  Request* request = static_cast<Request*>(*context);
  if (request != nullptr) {
    static_cast<Impl*>(cls)->GiveBack(*request);
    if (request->link != nullptr) {
      request->link->bodyDone = true;
    }
    if (request->post != nullptr) {
      MHD_destroy_post_processor(request->post);
    }
    delete request;
    *context = nullptr;
  }
}

MHD_Result UploadServer::Impl::OnRequest(void* cls, MHD_Connection* connection, const char* url,
                                         const char* method, const char*, const char* data,
                                         size_t* size, void** context) {
  Impl* self = static_cast<Impl*>(cls);
  Request* request = static_cast<Request*>(*context);
  if (request == nullptr) {
    return MHD_NO;
  }
  if (!request->started) {
    request->started = true;
    if (request->link != nullptr) {
      request->link->headAt = Nanos(Clock::now());
    }
    // A POST is an upload on every path, /api/ included: games keep whatever URL they were given.
    if (IsApiPath(url) && std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
      if (request->link != nullptr) {
        request->link->bodyDone = true;
      }
      return self->ServeApi(connection, *request, url, method);
    }
    bool dashboard = !self->options_.readToken.empty();
    bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
               std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (dashboard && get) {
      if (request->link != nullptr) {
        request->link->bodyDone = true;
      }
      return self->ServePage(connection, *request, url);
    }
    if (dashboard && std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 &&
        IsSessionForm(connection, url)) {
      if (!FromOwnSite(connection)) {
        if (request->link != nullptr) {
          request->link->bodyDone = true;
        }
        return Answer(connection, MHD_HTTP_FORBIDDEN,
                      "sign-in and sign-out are taken from the dashboard's own pages only\n");
      }
      request->form = true;
      request->signOut = std::strcmp(url, "/logout") == 0;
      const char* length =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxFormBytes) {
        return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the form is too large\n");
      }
      return MHD_YES;
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
      if (request->link != nullptr) {
        request->link->bodyDone = true;
      }
      return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "uploads are accepted by POST only\n",
                    true);
    }
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    uint64_t announced = length != nullptr ? std::strtoull(length, nullptr, 10) : 0;
    if (announced > self->options_.maxBytes) {
      return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                    "the upload is larger than " + std::to_string(self->options_.maxBytes) +
                        " bytes\n");
    }
    if (!self->Reserve(announced)) {
      return AnswerBusy(connection, "text/plain; charset=utf-8",
                        "the collector is busy taking other uploads; try again\n",
                        kBudgetRetrySeconds);
    }
    request->reserved = announced;
    request->post = MHD_create_post_processor(connection, kPostBufferBytes, &Impl::OnPart, request);
    std::string boundary = BoundaryOf(connection);
    request->closeDelimiter = "\r\n--" + boundary + "--";
    if (request->post == nullptr || boundary.empty()) {
      return Answer(connection, MHD_HTTP_BAD_REQUEST, "expected a multipart/form-data upload\n");
    }
    // Reserved once from the announced length, so the file part does not grow by doubling.
    request->file.reserve(static_cast<size_t>(announced));
    return MHD_YES;
  }
  if (request->read) {
    return self->AnswerRead(connection, *request, size);
  }
  if (request->form) {
    return self->TakeForm(connection, *request, data, size);
  }
  if (*size > 0) {
    return self->TakeBody(*request, data, size);
  }
  if (request->refusal != 0 && request->retryAfter != 0) {
    // A refusal for the moment: it says when to come back.
    if (request->link != nullptr) {
      request->link->bodyDone = true;
    }
    return AnswerBusy(connection, "text/plain; charset=utf-8", request->reason,
                      request->retryAfter);
  }
  return request->queued ? self->Reply(connection, *request) : self->Finish(connection, *request);
}

// Counts every body byte as it arrives, whatever the transfer encoding, and parses the parts
// as they stream; nothing is kept of the raw body. MHD cannot answer before the body has
// ended, so a refused body is read on and dropped, and cut off when it goes on far too long.
MHD_Result UploadServer::Impl::TakeBody(Request& request, const char* data, size_t* size) {
  size_t taken = *size;
  *size = 0;
  request.received += taken;
  if (request.link != nullptr) {
    request.link->bodyBytes = request.received;
  }
  if (request.refusal != 0) {
    return request.received / 2 > options_.maxBytes ? MHD_NO : MHD_YES;
  }
  if (request.received > options_.maxBytes) {
    Refuse(request, MHD_HTTP_CONTENT_TOO_LARGE,
           "the upload is larger than " + std::to_string(options_.maxBytes) + " bytes\n");
    return MHD_YES;
  }
  if (request.received > request.reserved) {
    // A body without a length (chunked) is counted as it arrives.
    if (!Reserve(request.received - request.reserved)) {
      Refuse(request, MHD_HTTP_SERVICE_UNAVAILABLE,
             "the collector is busy taking other uploads; try again\n");
      request.retryAfter = kBudgetRetrySeconds;
      return MHD_YES;
    }
    request.reserved = request.received;
  }
  if (request.ended) {
    return MHD_YES;  // the epilogue after the close delimiter
  }
  // The parser refuses bytes after the close delimiter, but senders may put an epilogue
  // there (the crash library sends an empty line), so only the bytes up to it are parsed.
  std::string scan = request.window;
  scan.append(data, taken);
  size_t at = scan.find(request.closeDelimiter);
  size_t feed = taken;
  if (at != std::string::npos) {
    feed = at + request.closeDelimiter.size() - request.window.size();
    request.ended = true;
  }
  size_t keep = std::min(scan.size(), request.closeDelimiter.size());
  request.window = scan.substr(scan.size() - keep);
  if (MHD_post_process(request.post, data, feed) != MHD_YES) {
    if (!request.duplicate.empty()) {
      Refuse(request, MHD_HTTP_BAD_REQUEST, "duplicate part " + request.duplicate + "\n");
    } else {
      Refuse(request, MHD_HTTP_BAD_REQUEST, "malformed multipart body\n");
    }
  }
  return MHD_YES;
}

void UploadServer::Impl::Refuse(Request& request, unsigned status, const std::string& reason) {
  request.refusal = status;
  request.reason = reason;
  MHD_destroy_post_processor(request.post);
  request.post = nullptr;
  std::string().swap(request.file);
  std::string().swap(request.window);
  // The rest of the body is read and dropped: it holds no memory any more.
  GiveBack(request);
}

// Counts the bytes against the budget for bodies in flight, unless that would go over it.
bool UploadServer::Impl::Reserve(uint64_t bytes) {
  const uint64_t budget = options_.maxBodyBudgetBytes;
  uint64_t held = bodyBytesInFlight_.load();
  do {
    if (bytes > budget || held > budget - bytes) {
      return false;
    }
  } while (!bodyBytesInFlight_.compare_exchange_weak(held, held + bytes));
  return true;
}

void UploadServer::Impl::GiveBack(Request& request) {
  bodyBytesInFlight_ -= request.reserved;
  request.reserved = 0;
}

MHD_Result UploadServer::Impl::OnPart(void* cls, MHD_ValueKind, const char* key,
                                      const char* filename, const char*, const char*,
                                      const char* data, uint64_t offset, size_t size) {
  Request* request = static_cast<Request*>(cls);
  std::string name = key != nullptr ? key : "";
  if (name != kFileField && name != kVersionField) {
    return MHD_YES;
  }
  // A chunk at offset 0 starts a part, unless it continues an empty start of the same part.
  bool startsPart = offset == 0 && (name != request->lastKey || request->lastEnd > 0);
  bool& seen = name == kFileField ? request->hasFile : request->hasVer;
  if (startsPart && seen) {
    request->duplicate = name;
    return MHD_NO;
  }
  seen = true;
  request->lastKey = name;
  request->lastEnd = offset + size;
  if (name == kFileField) {
    if (startsPart && filename != nullptr) {
      request->fileName = filename;
    }
    request->file.append(data, size);
  } else {
    request->ver.append(data, size);
  }
  return MHD_YES;
}

MHD_Result UploadServer::Impl::Finish(MHD_Connection* connection, Request& request) {
  if (request.link != nullptr) {
    request.link->bodyDone = true;
  }
  if (request.refusal != 0) {
    return Answer(connection, request.refusal, request.reason);
  }
  bool complete = MHD_destroy_post_processor(request.post) == MHD_YES && request.ended;
  request.post = nullptr;
  if (!request.duplicate.empty()) {
    return Answer(connection, MHD_HTTP_BAD_REQUEST, "duplicate part " + request.duplicate + "\n");
  }
  if (!complete) {
    return Answer(connection, MHD_HTTP_BAD_REQUEST, "malformed multipart body\n");
  }
  if (!request.hasFile) {
    return Answer(connection, MHD_HTTP_BAD_REQUEST, "the upload has no \"file\" part\n");
  }
  StoredReport& report = request.report;
  report.receivedUtc = NowUtc();
  report.peer = SenderOf(connection, options_.trustedProxies);
  report.path = request.target;
  report.hasVer = request.hasVer;
  report.ver = std::move(request.ver);
  report.fileName = std::move(request.fileName);
  report.payload = std::move(request.file);
  report.payloadSize = report.payload.size();
  DecodedPayload decoded = DecodePayload(report.payload, options_.maxDecodedBytes);
  report.state = DecodeStateName(decoded.state);
  report.note = decoded.note;
  report.httpStatus = options_.answerStatus;
  // Only the upload is kept: the log and stack are decoded again from it when a report page
  // asks, so a report costs its upload once, not twice. The read model is worked out now.
  bool hasLog = decoded.state == DecodeState::kArchive || decoded.state == DecodeState::kUnpacked;
  report.crash =
      DescribeCrash(store_, report, hasLog, decoded.log, decoded.hasStack, decoded.stack);

  std::lock_guard<std::mutex> lock(queueMutex_);
  if (closing_) {
    return Answer(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the collector is stopping\n");
  }
  // Suspended before it is queued, so the writer can only ever resume a suspended connection.
  MHD_suspend_connection(connection);
  request.queued = true;
  queue_.emplace_back(connection, &request);
  queueChanged_.notify_all();
  return MHD_YES;
}

MHD_Result UploadServer::Impl::Reply(MHD_Connection* connection, Request& request) {
  if (!request.stored) {
    // Never acknowledge what was not stored.
    std::fprintf(stderr, "collector: could not store an upload from %s: %s\n",
                 request.report.peer.c_str(), request.storeError.c_str());
    return Answer(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                  "could not store the report: " + request.storeError + "\n");
  }
  std::fprintf(stderr, "collector: report %lld from %s: %s (%s)\n",
               static_cast<long long>(request.id), request.report.peer.c_str(),
               request.report.state.c_str(), request.report.note.c_str());
  return Answer(connection, static_cast<unsigned>(options_.answerStatus),
                "OK " + std::to_string(request.id) + "\n");
}

// The read API: off without a token, so /api/ is as unknown as any other path then. Without
// the token every /api/ path gets the same 401, so nothing is learnt of what exists.
MHD_Result UploadServer::Impl::ServeApi(MHD_Connection* connection, Request& request,
                                        const char* url, const char* method) {
  if (options_.readToken.empty()) {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "not found\n");
  }
  if (!Authorized(connection)) {
    ApiAnswer denied;
    denied.status = MHD_HTTP_UNAUTHORIZED;
    denied.body = "{\"error\":\"unauthorized\"}\n";
    return AnswerFromApi(connection, denied);
  }
  request.api = true;
  request.method = method;
  request.path = url;
  return QueueRead(connection, request);
}

// The bearer token, or a session cookie signed with it.
bool UploadServer::Impl::Authorized(MHD_Connection* connection) const {
  if (BearerMatches(options_.readToken, Header(connection, MHD_HTTP_HEADER_AUTHORIZATION))) {
    return true;
  }
  std::string cookie = CookieFrom(Header(connection, MHD_HTTP_HEADER_COOKIE), kSessionCookie);
  return !cookie.empty() && sessions_.Valid(cookie, static_cast<int64_t>(std::time(nullptr)));
}

// The dashboard. Without a session every path gets the same sign-in page with 401, so nothing
// is learnt of what exists; the stylesheet alone is public.
MHD_Result UploadServer::Impl::ServePage(MHD_Connection* connection, Request& request,
                                         const std::string& url) {
  if (url == "/static/dashboard.css") {
    PageAnswer css;
    css.contentType = "text/css; charset=utf-8";
    css.body = DashboardCss();
    return AnswerFromPage(connection, css);
  }
  if (!Authorized(connection)) {
    return AnswerFromPage(connection, LoginPage(MHD_HTTP_UNAUTHORIZED));
  }
  if (url == "/login") {
    PageAnswer signedIn;
    signedIn.status = MHD_HTTP_SEE_OTHER;
    signedIn.location = "/";
    return AnswerFromPage(connection, signedIn);
  }
  // Only the pages that read and symbolize go to the readers (not a favicon).
  bool reads = url == "/" || url.rfind("/groups/", 0) == 0 || url.rfind("/reports/", 0) == 0;
  if (!reads) {
    return AnswerFromPage(connection, AnswerPage(store_, url, "", 0));
  }
  size_t question = request.target.find('?');
  request.path = url;
  request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
  return QueueRead(connection, request);
}

// Hands the read to the readers with its connection suspended; a full queue is refused at
// once, so a crowd of readers costs a bounded amount of memory and no network thread.
MHD_Result UploadServer::Impl::QueueRead(MHD_Connection* connection, Request& request) {
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (!readsClosed_ && reads_.size() < kMaxWaitingReads) {
      // Suspended before it is queued, so a reader can only ever resume a suspended connection.
      MHD_suspend_connection(connection);
      request.read = true;
      reads_.emplace_back(connection, &request);
      readsChanged_.notify_one();
      return MHD_YES;
    }
  }
  return AnswerReadBusy(connection, request.api);
}

// The calls for a read after its connection is resumed: the answer is ready by then.
MHD_Result UploadServer::Impl::AnswerRead(MHD_Connection* connection, Request& request,
                                          size_t* size) {
  if (*size > 0) {
    // A read has no use for a body: it is dropped, and cut off when it goes on.
    request.received += *size;
    *size = 0;
    return request.received > kMaxFormBytes ? MHD_NO : MHD_YES;
  }
  if (request.readRefused) {
    return AnswerReadBusy(connection, request.api);
  }
  return request.api ? AnswerFromApi(connection, request.apiAnswer)
                     : AnswerFromPage(connection, request.pageAnswer);
}

// Sign-in and sign-out. The session is a signed expiry (no server state), so any collector that
// reads the same token file accepts it; signing out clears the cookie in this browser.
MHD_Result UploadServer::Impl::TakeForm(MHD_Connection* connection, Request& request,
                                        const char* data, size_t* size) {
  if (*size > 0) {
    request.received += *size;
    if (request.link != nullptr) {
      request.link->bodyBytes = request.received;
    }
    if (request.formBody.size() + *size <= kMaxFormBytes) {
      request.formBody.append(data, *size);
    }
    *size = 0;
    // Read on and dropped like an oversized upload, and cut off when it goes on far too long.
    return request.received > 2 * kMaxFormBytes ? MHD_NO : MHD_YES;
  }
  if (request.link != nullptr) {
    request.link->bodyDone = true;
  }
  if (request.received > kMaxFormBytes) {
    return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the form is too large\n");
  }
  PageAnswer answer;
  answer.status = MHD_HTTP_SEE_OTHER;
  answer.location = "/";
  if (request.signOut) {
    answer.setCookie = SessionCookie("", 0);
    return AnswerFromPage(connection, answer);
  }
  std::string token = FormField(request.formBody, "token");
  if (!BearerMatches(options_.readToken, "Bearer " + token)) {
    return AnswerFromPage(connection,
                          LoginPage(MHD_HTTP_UNAUTHORIZED, "That is not the read token."));
  }
  answer.setCookie =
      SessionCookie(sessions_.Issue(static_cast<int64_t>(std::time(nullptr))), kSessionSeconds);
  return AnswerFromPage(connection, answer);
}

// Takes every queued report, stores them in one transaction (one fsync), then resumes their
// connections so each answers. The store says how many of these run at once.
void UploadServer::Impl::WriterLoop() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  for (;;) {
    queueChanged_.wait(lock, [this] { return !queue_.empty() || writerDone_; });
    if (queue_.empty()) {
      return;
    }
    std::vector<std::pair<MHD_Connection*, Request*>> batch(queue_.begin(), queue_.end());
    queue_.clear();
    writing_ += batch.size();
    lock.unlock();
    std::vector<const StoredReport*> reports;
    for (const auto& entry : batch) {
      reports.push_back(&entry.second->report);
    }
    std::vector<int64_t> ids;
    std::vector<std::string> errors;
    std::string error;
    bool stored = store_.StoreBatch(reports, ids, errors, error);
    for (size_t i = 0; i < batch.size(); ++i) {
      Request* request = batch[i].second;
      // A report the database refused is answered with an error; the others of its batch
      // are stored and acknowledged all the same.
      request->id = stored ? ids[i] : 0;
      request->stored = request->id != 0;
      request->storeError = stored ? errors[i] : error;
      // The bytes are on disk; only the texts for the log line are still needed.
      std::string().swap(request->report.payload);
      std::string().swap(request->report.log);
      std::string().swap(request->report.stack);
      MHD_resume_connection(batch[i].first);
    }
    lock.lock();
    writing_ -= batch.size();
    queueChanged_.notify_all();
  }
}

// Answers queued reads one at a time, then resumes each connection to send its answer.
void UploadServer::Impl::ReaderLoop() {
  std::unique_lock<std::mutex> lock(readMutex_);
  for (;;) {
    readsChanged_.wait(lock, [this] { return !reads_.empty() || readsClosed_; });
    if (reads_.empty()) {
      return;
    }
    auto [connection, request] = reads_.front();
    reads_.pop_front();
    lock.unlock();
    if (request->api) {
      size_t question = request->target.find('?');
      std::string query =
          question == std::string::npos ? "" : request->target.substr(question + 1);
      request->apiAnswer = AnswerApi(store_, request->method, request->path, query,
                                     options_.maxDecodedBytes);
    } else {
      request->pageAnswer =
          AnswerPage(store_, request->path, request->query,
                     static_cast<int64_t>(std::time(nullptr)), options_.maxDecodedBytes);
    }
    MHD_resume_connection(connection);
    lock.lock();
  }
}

// At a stop: reads still waiting are refused and resumed, those being answered finish, so no
// connection is left suspended when MHD stops.
void UploadServer::Impl::CloseReads(std::vector<std::thread>& readers) {
  std::deque<std::pair<MHD_Connection*, Request*>> waiting;
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    readsClosed_ = true;
    waiting.swap(reads_);
    readsChanged_.notify_all();
  }
  for (const auto& [connection, request] : waiting) {
    request->readRefused = true;
    MHD_resume_connection(connection);
  }
  for (std::thread& reader : readers) {
    reader.join();
  }
}

// Ends connections whose head is late or whose body is too slow, and after a stop every
// connection still open once the grace has passed.
void UploadServer::Impl::SweeperLoop() {
  const auto headLimit = std::chrono::seconds(options_.headTimeoutSeconds);
  // The body rate is judged over a sliding window as long as the head timeout.
  const int64_t window = std::chrono::duration_cast<std::chrono::nanoseconds>(headLimit).count();
  const double minWindowBytes = static_cast<double>(options_.minBytesPerSecond) *
                                static_cast<double>(options_.headTimeoutSeconds);
  std::unique_lock<std::mutex> lock(linksMutex_);
  while (!sweeperDone_) {
    linksChanged_.wait_for(lock, kSweepInterval);
    Clock::time_point now = Clock::now();
    bool graceOver = stopping_ && now >= stopDeadline_;
    for (Link* link : links_) {
      if (link->cut || link->fd < 0) {
        continue;
      }
      int64_t headAt = link->headAt;
      bool late = false;
      if (headAt == 0) {
        late = now - link->opened > headLimit;
      } else if (!link->bodyDone) {
        late = BodyTooSlow(*link, headAt, Nanos(now), window, minWindowBytes);
      }
      // A report waiting for its commit is never cut: it is about to be answered.
      if (late || (graceOver && (headAt == 0 || !link->bodyDone))) {
        shutdown(link->fd, SHUT_RDWR);
        link->cut = true;
      }
    }
  }
}

UploadServer::UploadServer(ReportStore& store, const ServerOptions& options)
    : impl_(new Impl(store, options)) {}

UploadServer::~UploadServer() = default;

int UploadServer::Bind(std::string& error) { return impl_->Bind(error); }

bool UploadServer::Serve() { return impl_->Serve(); }

void UploadServer::Stop() { impl_->Stop(); }

}  // namespace collector
