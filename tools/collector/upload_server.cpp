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
// Read requests (pages and API) run the symbolizer in a worker thread; at most this many at a
// time, so uploads always keep worker threads.
constexpr int kMaxConcurrentReads = 2;
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
};

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

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
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
  static void Refuse(Request& request, unsigned status, const std::string& reason);
  MHD_Result Finish(MHD_Connection* connection, Request& request);
  MHD_Result Reply(MHD_Connection* connection, Request& request);
  MHD_Result ServeApi(MHD_Connection* connection, const char* url, const char* method);
  MHD_Result ServePage(MHD_Connection* connection, const std::string& url,
                       const std::string& target);
  MHD_Result TakeForm(MHD_Connection* connection, Request& request, const char* data, size_t* size);
  bool Authorized(MHD_Connection* connection) const;
  void WriterLoop();
  void SweeperLoop();

  ReportStore& store_;
  ServerOptions options_;
  SessionKeys sessions_;
  std::atomic<int> reading_{0};  // read requests being answered now
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

void UploadServer::Impl::OnCompleted(void*, MHD_Connection*, void** context,
                                     MHD_RequestTerminationCode) {
  Request* request = static_cast<Request*>(*context);
  if (request != nullptr) {
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
      return self->ServeApi(connection, url, method);
    }
    bool dashboard = !self->options_.readToken.empty();
    bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
               std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (dashboard && get) {
      if (request->link != nullptr) {
        request->link->bodyDone = true;
      }
      return self->ServePage(connection, url, request->target);
    }
    if (dashboard && std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 &&
        IsSessionForm(connection, url)) {
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
  if (request->form) {
    return self->TakeForm(connection, *request, data, size);
  }
  if (*size > 0) {
    return self->TakeBody(*request, data, size);
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
  DecodedPayload decoded = DecodePayload(report.payload);
  report.hasLog = decoded.state != DecodeState::kUndecodable;
  report.log = std::move(decoded.log);
  report.state = DecodeStateName(decoded.state);
  report.note = decoded.note;
  report.hasStack = decoded.hasStack;
  report.stack = std::move(decoded.stack);
  report.httpStatus = options_.answerStatus;

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
MHD_Result UploadServer::Impl::ServeApi(MHD_Connection* connection, const char* url,
                                        const char* method) {
  if (options_.readToken.empty()) {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "not found\n");
  }
  if (!Authorized(connection)) {
    ApiAnswer denied;
    denied.status = MHD_HTTP_UNAUTHORIZED;
    denied.body = "{\"error\":\"unauthorized\"}\n";
    return AnswerFromApi(connection, denied);
  }
  if (++reading_ > kMaxConcurrentReads) {
    --reading_;
    ApiAnswer busy;
    busy.status = MHD_HTTP_SERVICE_UNAVAILABLE;
    busy.body = "{\"error\":\"busy, try again\"}\n";
    return AnswerFromApi(connection, busy);
  }
  ApiAnswer answer = AnswerApi(store_, method, url);
  --reading_;
  return AnswerFromApi(connection, answer);
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
MHD_Result UploadServer::Impl::ServePage(MHD_Connection* connection, const std::string& url,
                                         const std::string& target) {
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
  // Only the pages that read and symbolize count against the limit (not a favicon).
  bool reads = url == "/" || url.rfind("/groups/", 0) == 0 || url.rfind("/reports/", 0) == 0;
  if (!reads) {
    return AnswerFromPage(connection, AnswerPage(store_, url, "", 0));
  }
  if (++reading_ > kMaxConcurrentReads) {
    --reading_;
    PageAnswer busy;
    busy.status = MHD_HTTP_SERVICE_UNAVAILABLE;
    busy.body = "The collector is busy answering other pages; try again.\n";
    busy.contentType = "text/plain; charset=utf-8";
    return AnswerFromPage(connection, busy);
  }
  size_t question = target.find('?');
  std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  PageAnswer page = AnswerPage(store_, url, query, static_cast<int64_t>(std::time(nullptr)));
  --reading_;
  return AnswerFromPage(connection, page);
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
    std::string error;
    bool stored = store_.InsertBatch(reports, ids, error);
    for (size_t i = 0; i < batch.size(); ++i) {
      Request* request = batch[i].second;
      request->stored = stored;
      request->id = stored ? ids[i] : 0;
      request->storeError = error;
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

// Ends connections whose head is late or whose body is too slow, and after a stop every
// connection still open once the grace has passed.
void UploadServer::Impl::SweeperLoop() {
  const auto headLimit = std::chrono::seconds(options_.headTimeoutSeconds);
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
        double seconds = static_cast<double>(Nanos(now) - headAt) / 1e9;
        late = seconds > static_cast<double>(options_.headTimeoutSeconds) &&
               static_cast<double>(link->bodyBytes) / seconds <
                   static_cast<double>(options_.minBytesPerSecond);
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
