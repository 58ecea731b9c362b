#include "front/upload_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "formats/payload_decode.h"
#include "front/listen.h"
#include "front/metrics.h"
#include "front/response.h"
#include "front/session.h"
#include "front/webhooks.h"
#include "ingest/batch_writer.h"
#include "ingest/multipart.h"
#include "ingest/received_report.h"
#include "ingest/symbol_intake.h"
#include "render/dashboard.h"
#include "render/query.h"
#include "render/read_api.h"
#include "render/symbol_server.h"
#include "store/report_store.h"

namespace collector {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 1024;
constexpr unsigned kWorkerThreads = 4;
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
constexpr int kReaderNice = 10;
// Lists and group pages are the same for every reader for a moment: a crowd of dashboards asking
// for them costs one rendering each this long, not one per request.
constexpr auto kAnswerCacheTime = std::chrono::seconds(1);
constexpr size_t kMaxCachedAnswers = 256;
// The sweeper samples each body's byte count this many times per rate window.
constexpr int64_t kRateSamplesPerWindow = 4;
// Symbol uploads are stored one at a time by a thread of their own; a few more wait.
constexpr size_t kMaxWaitingSymbolUploads = 4;
constexpr int kSymbolsRetrySeconds = 10;
constexpr char kSymbolsPath[] = "/api/symbols";

std::string NowUtc() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
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
  Clock::time_point startedAt;  // when its head was in
  // A crash upload, counted in the metrics once: by its answer, or as aborted without one.
  bool crashUpload = false;
  bool counted = false;
  uint64_t received = 0;
  MultipartUpload upload;
  unsigned refusal = 0;  // status to answer once the body has ended, 0 for none
  std::string reason;
  bool form = false;  // a sign-in or sign-out form, not an upload
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
  HttpAnswer answer;
  // Handed to the writer; its outcome is read after the connection is resumed.
  bool queued = false;
  BatchWriter::Job job;
  // A symbol upload (POST /api/symbols): handed to the symbols thread once its body is in,
  // answered from answer after the connection is resumed.
  bool symbols = false;
  bool symbolsQueued = false;
  bool symbolsRefused = false;  // dropped from the queue by a stop: answered 503
  bool symbolServer = false;    // a GET under /symbols/, answered by a reader
  // A group's status set by the API or the dashboard's form: its body is taken as a form's,
  // then a reader writes it.
  bool statusChange = false;
  int64_t statusGroup = 0;
  std::string contentType;
};

void CountUpload(Request& request, UploadOutcome outcome) {
  if (request.crashUpload && !request.counted) {
    request.counted = true;
    TheMetrics().CountUpload(outcome);
  }
}

// The refusals an upload's body can end in, by their status.
UploadOutcome RefusalOutcome(unsigned status) {
  switch (status) {
    case MHD_HTTP_CONTENT_TOO_LARGE:
      return UploadOutcome::kRefusedTooLarge;
    case MHD_HTTP_SERVICE_UNAVAILABLE:
      return UploadOutcome::kRefusedBusy;
    default:
      return UploadOutcome::kRefusedBadRequest;
  }
}

// Pages and API reads only: the symbol server's files are no reader's wait.
void ObserveRead(const Request& request) {
  if (!request.symbolServer) {
    TheMetrics().ObserveRead(request.api ? ReadKind::kApi : ReadKind::kPage,
                             Clock::now() - request.startedAt);
  }
}

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  bool allowPost = false) {
  HttpAnswer answer = TextAnswer(status, body);
  if (allowPost) {
    answer.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, "POST");
  }
  return Respond(connection, answer);
}

MHD_Result AnswerReadBusy(MHD_Connection* connection, bool api) {
  if (api) {
    return Respond(connection, BusyAnswer("application/json; charset=utf-8",
                                          "{\"error\":\"busy, try again\"}\n", kReadRetrySeconds));
  }
  return Respond(connection, BusyAnswer("text/plain; charset=utf-8",
                                        "The collector is busy answering other pages; try again.\n",
                                        kReadRetrySeconds));
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

// A group's id from /api/groups/ID/status or /groups/ID/status, else 0.
int64_t StatusChangeGroup(const std::string& url) {
  std::string rest = url.rfind("/api/groups/", 0) == 0 ? url.substr(12)
                     : url.rfind("/groups/", 0) == 0   ? url.substr(8)
                                                       : std::string();
  size_t slash = rest.find('/');
  if (slash == std::string::npos || slash == 0 || slash > 18 || rest.substr(slash) != "/status" ||
      rest.find_first_not_of("0123456789") != slash || rest[0] == '0') {
    return 0;
  }
  return std::stoll(rest.substr(0, slash));
}

bool IsMultipart(const std::string& contentType) {
  return Lower(contentType).rfind("multipart/", 0) == 0;
}

// The sign-in and sign-out forms: a POST to /login or /logout that is a url-encoded form.
bool IsSessionForm(const std::string& url, const std::string& contentType) {
  if (url != "/login" && url != "/logout") {
    return false;
  }
  std::string type = Lower(contentType);
  const std::string form = "application/x-www-form-urlencoded";
  return type.compare(0, form.size(), form) == 0 &&
         (type.size() == form.size() || type[form.size()] == ';' || type[form.size()] == ' ');
}

// What a request is, from its head alone. A POST is an upload on every path, /api/ included:
// games keep whatever URL they were given. With the read token set, GETs are dashboard pages and
// the sign-in and sign-out forms are the only other POSTs (uploads are multipart, so every
// upload stays an upload whatever its path). With the symbols token set, a POST to
// /api/symbols is a symbol upload; GETs under /symbols/ are the symbol server's.
enum class Route {
  kApi,
  kPage,
  kSessionForm,
  kStatusChange,
  kNotPost,
  kUpload,
  kSymbolUpload,
  kSymbolServer
};

Route RouteOf(const char* method, const std::string& url, bool dashboard, bool symbols,
              const std::string& contentType) {
  bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
  bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
             std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (symbols && post && url == kSymbolsPath) {
    return Route::kSymbolUpload;
  }
  if (get && IsSymbolServerPath(url)) {
    return Route::kSymbolServer;
  }
  if (IsApiPath(url) && !post) {
    return Route::kApi;
  }
  if (dashboard && get) {
    return Route::kPage;
  }
  if (dashboard && post && IsSessionForm(url, contentType)) {
    return Route::kSessionForm;
  }
  if (dashboard && post && StatusChangeGroup(url) != 0 && !IsMultipart(contentType)) {
    return Route::kStatusChange;
  }
  return post ? Route::kUpload : Route::kNotPost;
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
      : store_(store), options_(options), sessions_(options.readToken), writer_(store) {}

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

  MHD_Result StartUpload(MHD_Connection* connection, Request& request);
  MHD_Result StartSymbols(MHD_Connection* connection, Request& request);
  MHD_Result FinishSymbols(MHD_Connection* connection, Request& request);
  MHD_Result ServeSymbolFile(MHD_Connection* connection, Request& request, const char* url);
  MHD_Result Unauthorized(MHD_Connection* connection);
  void SymbolsLoop();
  void CloseSymbols(std::thread& worker);
  MHD_Result StartForm(MHD_Connection* connection, Request& request, const std::string& url);
  MHD_Result StartStatusChange(MHD_Connection* connection, Request& request,
                               const std::string& url);
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

  // Tells the studio of new groups, regressions and spikes; null without webhook URLs. Made
  // before the writer, so that it outlives the writer's threads.
  std::unique_ptr<WebhookSender> webhooks_;

  // Stores the reports in group commits; their connections wait suspended meanwhile.
  BatchWriter writer_;

  // Reads waiting for a reader thread, with their suspended connections.
  std::mutex readMutex_;
  std::condition_variable readsChanged_;
  std::deque<std::pair<MHD_Connection*, Request*>> reads_;
  bool readsClosed_ = false;  // stopping: no more reads are taken, the readers end

  // Recent answers to list reads, by method, kind and target.
  struct CachedAnswer {
    Clock::time_point at;
    HttpAnswer answer;
  };
  std::mutex cacheMutex_;
  std::map<std::string, CachedAnswer> cache_;

  // Symbol uploads waiting for the symbols thread, with their suspended connections.
  std::mutex symbolsMutex_;
  std::condition_variable symbolsChanged_;
  std::deque<std::pair<MHD_Connection*, Request*>> symbolJobs_;
  bool symbolsClosed_ = false;
  static std::string CacheKey(const Request& request);
  bool FromCache(const Request& request, HttpAnswer& answer);
  void Remember(const Request& request, const HttpAnswer& answer);
};

int UploadServer::Impl::Bind(std::string& error) {
  return ListenTcp(options_.host, options_.port, kListenBacklog, "", &listenFd_, error);
}

bool UploadServer::Impl::Serve() {
  if (!options_.webhookUrls.empty()) {
    WebhookOptions webhooks;
    webhooks.urls = options_.webhookUrls;
    webhooks.secret = options_.webhookSecret;
    webhooks.publicUrl = options_.publicUrl;
    webhooks_ = std::make_unique<WebhookSender>(webhooks);
    std::string error;
    if (!webhooks_->Start(error)) {
      std::fprintf(stderr, "collector: %s\n", error.c_str());
      return false;
    }
  }
  // The batch writers find what to tell inside their transactions; the sender only queues it
  // on their threads, so ingest never waits for a receiver.
  AlertRules rules;
  rules.spikePerHour = options_.spikePerHour;
  writer_.WatchGroups(rules, [this](const std::vector<GroupEvent>& events) {
    bool reopened = false;
    for (const GroupEvent& event : events) {
      reopened = reopened || event.kind == "regression";
      if (webhooks_ == nullptr) {
        continue;
      }
      Alert alert;
      alert.event = event.kind;
      alert.groupId = event.groupId;
      alert.program = event.program;
      alert.code = event.code;
      alert.topFrames = event.topFrames;
      alert.version = event.version;
      alert.count = event.count;
      alert.hour = event.hour;
      webhooks_->Enqueue(alert);
    }
    if (reopened) {
      // A status filter's cached list would hide the group that came back.
      std::lock_guard<std::mutex> lock(cacheMutex_);
      cache_.clear();
    }
  });
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
  writer_.Start();
  std::vector<std::thread> readers;
  for (size_t i = 0; i < kReaderThreads; ++i) {
    readers.emplace_back([this] { ReaderLoop(); });
  }
  std::thread sweeper([this] { SweeperLoop(); });
  std::thread symbols([this] { SymbolsLoop(); });
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
  CloseSymbols(symbols);
  // Every report taken so far is stored and its connection resumed before MHD stops.
  writer_.Close();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  if (webhooks_ != nullptr) {
    webhooks_->Stop();
  }
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

void UploadServer::Impl::OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                                      MHD_ConnectionNotificationCode code) {
  Impl* self = static_cast<Impl*>(cls);
  std::lock_guard<std::mutex> lock(self->linksMutex_);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    Link* link = new Link;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    link->fd = info != nullptr ? info->connect_fd : -1;
    link->opened = Clock::now();
    self->links_.insert(link);
    TheMetrics().SetOpenConnections(self->links_.size());
    *socketContext = link;
  } else {
    Link* link = static_cast<Link*>(*socketContext);
    self->links_.erase(link);
    TheMetrics().SetOpenConnections(self->links_.size());
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
    CountUpload(*request, UploadOutcome::kAborted);
    if (request->link != nullptr) {
      request->link->bodyDone = true;
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
    request->startedAt = Clock::now();
    if (request->link != nullptr) {
      request->link->headAt = Nanos(request->startedAt);
    }
    Route route =
        RouteOf(method, url, !self->options_.readToken.empty(),
                !self->options_.symbolsToken.empty(), Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE));
    if (route != Route::kSessionForm && route != Route::kStatusChange && route != Route::kUpload &&
        route != Route::kSymbolUpload && request->link != nullptr) {
      // Nothing of a body is awaited: the rate checks end here.
      request->link->bodyDone = true;
    }
    switch (route) {
      case Route::kApi:
        return self->ServeApi(connection, *request, url, method);
      case Route::kPage:
        return self->ServePage(connection, *request, url);
      case Route::kSessionForm:
        return self->StartForm(connection, *request, url);
      case Route::kStatusChange:
        return self->StartStatusChange(connection, *request, url);
      case Route::kNotPost:
        return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                      "uploads are accepted by POST only\n", true);
      case Route::kUpload:
        return self->StartUpload(connection, *request);
      case Route::kSymbolUpload:
        return self->StartSymbols(connection, *request);
      case Route::kSymbolServer:
        return self->ServeSymbolFile(connection, *request, url);
    }
  }
  if (request->read) {
    return self->AnswerRead(connection, *request, size);
  }
  if (request->symbolsQueued) {
    if (request->symbolsRefused) {
      return Respond(connection, BusyAnswer("application/json; charset=utf-8",
                                            "{\"error\":\"the collector is stopping\"}\n",
                                            kSymbolsRetrySeconds));
    }
    return RespondKept(connection, request->answer);
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
    CountUpload(*request, UploadOutcome::kRefusedBusy);
    return Respond(connection,
                   BusyAnswer("text/plain; charset=utf-8", request->reason, request->retryAfter));
  }
  if (request->symbols) {
    return self->FinishSymbols(connection, *request);
  }
  return request->queued ? self->Reply(connection, *request) : self->Finish(connection, *request);
}

// The head of an upload: the size limit, the body budget and the multipart parser.
MHD_Result UploadServer::Impl::StartUpload(MHD_Connection* connection, Request& request) {
  request.crashUpload = true;
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  uint64_t announced = length != nullptr ? std::strtoull(length, nullptr, 10) : 0;
  if (announced > options_.maxBytes) {
    CountUpload(request, UploadOutcome::kRefusedTooLarge);
    return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                  "the upload is larger than " + std::to_string(options_.maxBytes) + " bytes\n");
  }
  if (!Reserve(announced)) {
    CountUpload(request, UploadOutcome::kRefusedBusy);
    return Respond(connection, BusyAnswer("text/plain; charset=utf-8",
                                          "the collector is busy taking other uploads; try again\n",
                                          kBudgetRetrySeconds));
  }
  request.reserved = announced;
  if (!request.upload.Start(connection, announced)) {
    CountUpload(request, UploadOutcome::kRefusedBadRequest);
    return Answer(connection, MHD_HTTP_BAD_REQUEST, request.upload.error() + "\n");
  }
  return MHD_YES;
}

// The head of a sign-in or sign-out form, which must come from the dashboard's own pages.
MHD_Result UploadServer::Impl::StartForm(MHD_Connection* connection, Request& request,
                                         const std::string& url) {
  if (!FromOwnSite(connection)) {
    if (request.link != nullptr) {
      request.link->bodyDone = true;
    }
    return Answer(connection, MHD_HTTP_FORBIDDEN,
                  "sign-in and sign-out are taken from the dashboard's own pages only\n");
  }
  request.form = true;
  request.signOut = url == "/logout";
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxFormBytes) {
    return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the form is too large\n");
  }
  return MHD_YES;
}

// A group's status, from the API (JSON, the bearer token or the session) or the group page's form
// (the session). Browsers send cookies with cross-site requests too, so one that names another
// site is refused whatever it carries.
MHD_Result UploadServer::Impl::StartStatusChange(MHD_Connection* connection, Request& request,
                                                 const std::string& url) {
  bool api = IsApiPath(url);
  if (!Authorized(connection) || !FromOwnSite(connection)) {
    if (request.link != nullptr) {
      request.link->bodyDone = true;
    }
    if (!Authorized(connection)) {
      return api ? Unauthorized(connection)
                 : Respond(connection, FromPage(LoginPage(MHD_HTTP_UNAUTHORIZED)));
    }
    return Answer(connection, MHD_HTTP_FORBIDDEN,
                  "a group's status is changed from the dashboard's own pages only\n");
  }
  request.form = true;
  request.statusChange = true;
  request.api = api;
  request.method = MHD_HTTP_METHOD_POST;
  request.path = url;
  request.statusGroup = StatusChangeGroup(url);
  request.contentType = Header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxFormBytes) {
    return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE, "the form is too large\n");
  }
  return MHD_YES;
}

// Counts every body byte as it arrives, whatever the transfer encoding, and parses the parts
// as they stream; nothing is kept of the raw body. MHD cannot answer before the body has
// ended, so a refused body is read on and dropped, and cut off when it goes on far too long.
MHD_Result UploadServer::Impl::TakeBody(Request& request, const char* data, size_t* size) {
  size_t taken = *size;
  *size = 0;
  request.received += taken;
  if (request.crashUpload) {
    TheMetrics().CountReceivedBytes(taken);
  }
  if (request.link != nullptr) {
    request.link->bodyBytes = request.received;
  }
  const uint64_t limit = request.symbols ? options_.maxSymbolBytes : options_.maxBytes;
  if (request.refusal != 0) {
    return request.received / 2 > limit ? MHD_NO : MHD_YES;
  }
  if (request.received > limit) {
    Refuse(request, MHD_HTTP_CONTENT_TOO_LARGE,
           "the upload is larger than " + std::to_string(limit) + " bytes\n");
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
  if (!request.upload.Feed(data, taken)) {
    Refuse(request, MHD_HTTP_BAD_REQUEST, request.upload.error() + "\n");
  }
  return MHD_YES;
}

void UploadServer::Impl::Refuse(Request& request, unsigned status, const std::string& reason) {
  request.refusal = status;
  request.reason = reason;
  request.upload.Drop();
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

MHD_Result UploadServer::Impl::Finish(MHD_Connection* connection, Request& request) {
  if (request.link != nullptr) {
    request.link->bodyDone = true;
  }
  if (request.refusal != 0) {
    CountUpload(request, RefusalOutcome(request.refusal));
    return Answer(connection, request.refusal, request.reason);
  }
  if (!request.upload.Finish()) {
    CountUpload(request, UploadOutcome::kRefusedBadRequest);
    return Answer(connection, MHD_HTTP_BAD_REQUEST, request.upload.error() + "\n");
  }
  request.job.report = ReceivedReport(
      store_, request.upload, SenderOf(connection, options_.trustedProxies), request.target,
      options_.maxDecodedBytes, options_.answerStatus, request.job.crash);
  request.job.done = [connection] { MHD_resume_connection(connection); };
  // Suspended before it is queued, so the writer can only ever resume a suspended connection.
  if (!writer_.Submit(&request.job, [connection] { MHD_suspend_connection(connection); })) {
    CountUpload(request, UploadOutcome::kRefusedStopping);
    return Answer(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the collector is stopping\n");
  }
  request.queued = true;
  return MHD_YES;
}

MHD_Result UploadServer::Impl::Reply(MHD_Connection* connection, Request& request) {
  const BatchWriter::Job& job = request.job;
  if (!job.stored) {
    // Never acknowledge what was not stored.
    std::fprintf(stderr, "collector: could not store an upload from %s: %s\n",
                 job.report.peer.c_str(), job.error.c_str());
    CountUpload(request, UploadOutcome::kStoreFailed);
    return Answer(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                  "could not store the report: " + job.error + "\n");
  }
  std::fprintf(stderr, "collector: report %lld from %s: %s (%s)\n", static_cast<long long>(job.id),
               job.report.peer.c_str(), job.report.state.c_str(), job.report.note.c_str());
  CountUpload(request, UploadOutcome::kStored);
  bool tooLarge = job.report.state == DecodeStateName(DecodeState::kTooLarge);
  if (tooLarge || job.report.state == DecodeStateName(DecodeState::kUndecodable)) {
    TheMetrics().CountDecodeFailure(tooLarge);
  }
  return Answer(connection, static_cast<unsigned>(options_.answerStatus),
                "OK " + std::to_string(job.id) + "\n");
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
    return Respond(connection, FromApi(denied));
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
    return Respond(connection, FromPage(css));
  }
  if (!Authorized(connection)) {
    return Respond(connection, FromPage(LoginPage(MHD_HTTP_UNAUTHORIZED)));
  }
  if (url == "/login") {
    PageAnswer signedIn;
    signedIn.status = MHD_HTTP_SEE_OTHER;
    signedIn.location = "/";
    return Respond(connection, FromPage(signedIn));
  }
  // Only the pages that read and symbolize go to the readers (not a favicon).
  bool reads = url == "/" || url.rfind("/groups/", 0) == 0 || url.rfind("/reports/", 0) == 0;
  if (!reads) {
    return Respond(connection, FromPage(AnswerPage(store_, url, "", 0)));
  }
  size_t question = request.target.find('?');
  request.path = url;
  request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
  return QueueRead(connection, request);
}

// Hands the read to the readers with its connection suspended; a full queue is refused at
// once, so a crowd of readers costs a bounded amount of memory and no network thread.
// The lists and group pages, not a report's page: those are many, large and rarely asked twice.
std::string UploadServer::Impl::CacheKey(const Request& request) {
  if (request.statusChange) {
    return std::string();
  }
  const std::string& path = request.path;
  bool list = request.api ? path == "/api/groups" || path.rfind("/api/groups/", 0) == 0
                          : path == "/" || path.rfind("/groups/", 0) == 0;
  if (!list) {
    return std::string();
  }
  return (request.api ? "api " + request.method : std::string("page")) + " " + request.target;
}

bool UploadServer::Impl::FromCache(const Request& request, HttpAnswer& answer) {
  std::string key = CacheKey(request);
  if (key.empty()) {
    return false;
  }
  std::lock_guard<std::mutex> lock(cacheMutex_);
  auto found = cache_.find(key);
  if (found == cache_.end() || Clock::now() - found->second.at > kAnswerCacheTime) {
    return false;
  }
  answer = found->second.answer;
  return true;
}

void UploadServer::Impl::Remember(const Request& request, const HttpAnswer& answer) {
  std::string key = CacheKey(request);
  if (key.empty() || answer.status != MHD_HTTP_OK) {
    return;
  }
  std::lock_guard<std::mutex> lock(cacheMutex_);
  if (cache_.size() >= kMaxCachedAnswers) {
    cache_.clear();
  }
  cache_[key] = CachedAnswer{Clock::now(), answer};
}

MHD_Result UploadServer::Impl::QueueRead(MHD_Connection* connection, Request& request) {
  HttpAnswer cached;
  if (FromCache(request, cached)) {
    ObserveRead(request);
    return Respond(connection, cached);
  }
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (!readsClosed_ && reads_.size() < kMaxWaitingReads) {
      // Suspended before it is queued, so a reader can only ever resume a suspended connection.
      MHD_suspend_connection(connection);
      request.read = true;
      reads_.emplace_back(connection, &request);
      TheMetrics().SetReadQueueLength(reads_.size());
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
  return RespondKept(connection, request.answer);
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
  if (request.statusChange) {
    return QueueRead(connection, request);
  }
  PageAnswer answer;
  answer.status = MHD_HTTP_SEE_OTHER;
  answer.location = "/";
  if (request.signOut) {
    answer.setCookie = SessionCookie("", 0);
    return Respond(connection, FromPage(answer));
  }
  std::string token = QueryField(request.formBody, "token");
  if (!BearerMatches(options_.readToken, "Bearer " + token)) {
    return Respond(connection,
                   FromPage(LoginPage(MHD_HTTP_UNAUTHORIZED, "That is not the read token.")));
  }
  answer.setCookie =
      SessionCookie(sessions_.Issue(static_cast<int64_t>(std::time(nullptr))), kSessionSeconds);
  return Respond(connection, FromPage(answer));
}

void UploadServer::Impl::ReaderLoop() {
  // Reads yield the processor to uploads: a crowd of dashboard readers slows itself down, not
  // the games' reports. (Linux gives each thread its own nice value.)
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kReaderNice);
  std::unique_lock<std::mutex> lock(readMutex_);
  for (;;) {
    readsChanged_.wait(lock, [this] { return !reads_.empty() || readsClosed_; });
    if (reads_.empty()) {
      return;
    }
    auto [connection, request] = reads_.front();
    reads_.pop_front();
    TheMetrics().SetReadQueueLength(reads_.size());
    lock.unlock();
    if (request->statusChange) {
      ApiAnswer changed = ChangeGroupStatus(store_, request->statusGroup, request->contentType,
                                            request->formBody);
      if (!request->api && changed.status == MHD_HTTP_OK) {
        // The form goes back to the group's page.
        PageAnswer back;
        back.status = MHD_HTTP_SEE_OTHER;
        back.location = "/groups/" + std::to_string(request->statusGroup);
        request->answer = FromPage(back);
      } else {
        request->answer = FromApi(changed);
      }
      // Lists read before the change must not be answered again.
      std::lock_guard<std::mutex> cacheLock(cacheMutex_);
      cache_.clear();
    } else if (request->symbolServer) {
      ApiAnswer file = AnswerSymbolServer(store_, request->path);
      HttpAnswer& answer = request->answer;
      answer.status = file.status;
      answer.contentType = file.contentType;
      answer.body.swap(file.body);
      answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
    } else if (request->api) {
      size_t question = request->target.find('?');
      std::string query = question == std::string::npos ? "" : request->target.substr(question + 1);
      request->answer = FromApi(
          AnswerApi(store_, request->method, request->path, query, options_.maxDecodedBytes));
    } else {
      request->answer =
          FromPage(AnswerPage(store_, request->path, request->query,
                              static_cast<int64_t>(std::time(nullptr)), options_.maxDecodedBytes));
    }
    Remember(*request, request->answer);
    ObserveRead(*request);
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
    TheMetrics().SetReadQueueLength(0);
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

// 401 with the read API's body: nothing is learnt of what exists.
MHD_Result UploadServer::Impl::Unauthorized(MHD_Connection* connection) {
  ApiAnswer denied;
  denied.status = MHD_HTTP_UNAUTHORIZED;
  denied.body = "{\"error\":\"unauthorized\"}\n";
  return Respond(connection, FromApi(denied));
}

// The head of a symbol upload: its own token (never the read token), its own size limit, the
// body budget all uploads share, and the multipart parser taking any number of files.
MHD_Result UploadServer::Impl::StartSymbols(MHD_Connection* connection, Request& request) {
  if (!BearerMatches(options_.symbolsToken, Header(connection, MHD_HTTP_HEADER_AUTHORIZATION))) {
    if (request.link != nullptr) {
      request.link->bodyDone = true;
    }
    return Unauthorized(connection);
  }
  request.symbols = true;
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  uint64_t announced = length != nullptr ? std::strtoull(length, nullptr, 10) : 0;
  if (announced > options_.maxSymbolBytes) {
    return Answer(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                  "the upload is larger than " + std::to_string(options_.maxSymbolBytes) +
                      " bytes\n");
  }
  if (!Reserve(announced)) {
    return Respond(connection, BusyAnswer("text/plain; charset=utf-8",
                                          "the collector is busy taking other uploads; try again\n",
                                          kBudgetRetrySeconds));
  }
  request.reserved = announced;
  request.upload.AcceptManyFiles();
  if (!request.upload.Start(connection, 0)) {
    return Answer(connection, MHD_HTTP_BAD_REQUEST, request.upload.error() + "\n");
  }
  return MHD_YES;
}

// The body is in: the files go to the symbols thread with the connection suspended, so neither
// the network threads nor the report writer wait for them. The bytes stay counted against the
// body budget until the answer is sent.
MHD_Result UploadServer::Impl::FinishSymbols(MHD_Connection* connection, Request& request) {
  if (request.link != nullptr) {
    request.link->bodyDone = true;
  }
  if (request.refusal != 0) {
    return Answer(connection, request.refusal, request.reason);
  }
  if (!request.upload.Finish()) {
    return Answer(connection, MHD_HTTP_BAD_REQUEST, request.upload.error() + "\n");
  }
  {
    std::lock_guard<std::mutex> lock(symbolsMutex_);
    if (!symbolsClosed_ && symbolJobs_.size() < kMaxWaitingSymbolUploads) {
      MHD_suspend_connection(connection);
      request.symbolsQueued = true;
      symbolJobs_.emplace_back(connection, &request);
      symbolsChanged_.notify_one();
      return MHD_YES;
    }
  }
  return Respond(connection,
                 BusyAnswer("application/json; charset=utf-8",
                            "{\"error\":\"busy storing other symbol uploads, try again\"}\n",
                            kSymbolsRetrySeconds));
}

void UploadServer::Impl::SymbolsLoop() {
  std::unique_lock<std::mutex> lock(symbolsMutex_);
  for (;;) {
    symbolsChanged_.wait(lock, [this] { return !symbolJobs_.empty() || symbolsClosed_; });
    if (symbolJobs_.empty()) {
      return;
    }
    auto [connection, request] = symbolJobs_.front();
    symbolJobs_.pop_front();
    lock.unlock();
    std::vector<SymbolUpload> files;
    for (auto& [name, bytes] : request->upload.files()) {
      files.push_back(SymbolUpload{name, std::string()});
      files.back().bytes.swap(bytes);
    }
    SymbolIntake intake = TakeSymbolFiles(store_, files, NowUtc());
    std::string peer = PeerOf(connection);
    for (const SymbolOutcome& file : intake.files) {
      std::fprintf(stderr, "collector: symbols from %s: %s %s %s %s%s%s\n", peer.c_str(),
                   file.fileName.c_str(), file.status.c_str(),
                   file.kind.empty() ? "-" : file.kind.c_str(),
                   file.debugId.empty() ? "-" : file.debugId.c_str(),
                   file.error.empty() ? "" : ": ", file.error.c_str());
    }
    if (!intake.regroupError.empty()) {
      std::fprintf(stderr, "collector: symbols stored but reports not regrouped: %s\n",
                   intake.regroupError.c_str());
    }
    request->answer = FromApi(SymbolUploadAnswer(intake));
    MHD_resume_connection(connection);
    lock.lock();
  }
}

// At a stop: uploads still waiting are refused and resumed; the one being stored finishes.
void UploadServer::Impl::CloseSymbols(std::thread& worker) {
  std::deque<std::pair<MHD_Connection*, Request*>> waiting;
  {
    std::lock_guard<std::mutex> lock(symbolsMutex_);
    symbolsClosed_ = true;
    waiting.swap(symbolJobs_);
    symbolsChanged_.notify_all();
  }
  for (const auto& [connection, request] : waiting) {
    request->symbolsRefused = true;
    MHD_resume_connection(connection);
  }
  worker.join();
}

// The symbol server: stored files as debuggers ask for them, with the read token (as a bearer
// token, a dashboard session, or the password of HTTP basic authentication). Off (404) without
// one, like the read API.
MHD_Result UploadServer::Impl::ServeSymbolFile(MHD_Connection* connection, Request& request,
                                               const char* url) {
  if (options_.readToken.empty()) {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "not found\n");
  }
  if (!Authorized(connection) &&
      !BasicPasswordMatches(options_.readToken,
                            Header(connection, MHD_HTTP_HEADER_AUTHORIZATION))) {
    ApiAnswer denied;
    denied.status = MHD_HTTP_UNAUTHORIZED;
    denied.body = "{\"error\":\"unauthorized\"}\n";
    HttpAnswer answer = FromApi(denied);
    // Symbol clients prompt for a user name and password: the read token is the password.
    answer.headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                "Basic realm=\"collector symbols\", charset=\"UTF-8\"");
    return Respond(connection, answer);
  }
  request.symbolServer = true;
  request.path = url;
  return QueueRead(connection, request);
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
