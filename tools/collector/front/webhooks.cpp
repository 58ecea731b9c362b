#include "front/webhooks.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "front/metrics.h"
#include "render/read_api.h"

namespace collector {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMostAnswerHeadBytes = 16384;
constexpr size_t kMostDropNotes = 64;  // queue-full drops remembered one by one for the log
constexpr char kUserAgent[] = "VexoCrashRpt-collector";

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

// The descriptors close on every path out of an attempt.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// getaddrinfo cannot be interrupted, and a resolver that hangs must not hold up Stop: the
// lookup runs on a thread of its own that owns its result, and is left behind when no longer
// waited for.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int status = EAI_FAIL;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result != nullptr) {
      freeaddrinfo(result);
    }
  }
};

// The status of an HTTP status line, -1 when it is none.
int StatusOf(const std::string& line) {
  if (line.compare(0, 5, "HTTP/") != 0) {
    return -1;
  }
  size_t space = line.find(' ');
  if (space == std::string::npos || line.size() < space + 4) {
    return -1;
  }
  int status = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') {
      return -1;
    }
    status = status * 10 + (line[i] - '0');
  }
  return status >= 100 ? status : -1;
}

// One queued alert, shared by the queues of every URL. Its document is made by the delivery
// threads, so Enqueue costs the ingest thread no more than a copy.
struct Payload {
  Alert alert;
  Clock::time_point enqueued;
};

struct DropNote {
  std::string event;
  int64_t groupId;
};

}  // namespace

std::string AlertDocument(const Alert& alert, const std::string& publicUrl) {
  std::string frames = "[";
  for (const std::string& frame : alert.topFrames) {
    frames += (frames.size() > 1 ? "," : "") + JsonString(frame);
  }
  frames += "]";
  std::string url = "null";
  size_t end = publicUrl.find_last_not_of('/');
  if (end != std::string::npos) {
    url = JsonString(publicUrl.substr(0, end + 1) + "/groups/" + std::to_string(alert.groupId));
  }
  std::string out =
      "{\"event\":" + JsonString(alert.event) + ",\"group\":" + std::to_string(alert.groupId) +
      ",\"program\":" + JsonString(alert.program) + ",\"code\":" + JsonString(alert.code) +
      ",\"top_frames\":" + frames + ",\"version\":" + JsonString(alert.version) +
      ",\"count\":" + std::to_string(alert.count) + ",\"url\":" + url;
  if (alert.event == "spike") {
    out += ",\"hour\":" + std::to_string(alert.hour);
  }
  return out + "}";
}

std::string WebhookSignature(const std::string& secret, const std::string& body) {
  unsigned char digest[32] = {};
  if (gnutls_hmac_fast(GNUTLS_MAC_SHA256, secret.data(), secret.size(), body.data(), body.size(),
                       digest) != 0) {
    return std::string();
  }
  return "sha256=" + Hex(digest, sizeof(digest));
}

bool ParseHttpUrl(const std::string& text, HttpUrl& url, std::string& error) {
  auto fail = [&](const std::string& why) {
    error = "bad URL " + text + ": " + why;
    return false;
  };
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) {
      return fail("white space, control characters and non-ASCII bytes must be %-encoded");
    }
  }
  size_t schemeEnd = text.find("://");
  std::string scheme = text.substr(0, schemeEnd);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (schemeEnd == std::string::npos || (scheme != "http" && scheme != "https")) {
    return fail("wants http://HOST[:PORT]/PATH");
  }
  HttpUrl out;
  out.https = scheme == "https";
  out.port = out.https ? 443 : 80;
  if (text.find('#') != std::string::npos) {
    return fail("a fragment (#) is never sent");
  }
  size_t start = schemeEnd + 3;
  size_t end = text.find_first_of("/?", start);
  if (end == std::string::npos) {
    end = text.size();
  }
  std::string authority = text.substr(start, end - start);
  if (authority.find('@') != std::string::npos) {
    return fail("user and password in the URL are not supported");
  }
  std::string port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) {
      return fail("an IPv6 address wants a closing ]");
    }
    out.host = authority.substr(1, close - 1);
    if (out.host.empty() || !std::all_of(out.host.begin(), out.host.end(), IsIpv6Char)) {
      return fail("bad IPv6 address");
    }
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return fail("unexpected text after the IPv6 address");
      }
      hasPort = true;
      port = rest.substr(1);
    }
  } else {
    size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      port = authority.substr(colon + 1);
    }
    if (out.host.empty() || !std::all_of(out.host.begin(), out.host.end(), IsHostChar)) {
      return fail("bad host name");
    }
  }
  if (hasPort) {
    int value = 0;
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (value = std::stoi(port)) < 1 || value > 65535) {
      return fail("the port must be a number from 1 to 65535");
    }
    out.port = value;
  }
  out.target = text.substr(end);
  if (out.target.empty() || out.target.front() == '?') {
    out.target = "/" + out.target;
  }
  bool ipv6 = out.host.find(':') != std::string::npos;
  out.hostHeader = ipv6 ? "[" + out.host + "]" : out.host;
  if (out.port != (out.https ? 443 : 80)) {
    out.hostHeader += ":" + std::to_string(out.port);
  }
  url = out;
  return true;
}

// One URL: its queue, its thread, and the HTTP client that thread runs. The queue's mutex is
// never held across I/O, so Enqueue never waits on a receiver.
class WebhookSender::Sink {
 public:
  Sink(WebhookSender& owner, HttpUrl url)
      : owner_(owner), url_(std::move(url)), name_("http://" + url_.hostHeader) {}

  ~Sink() {
    if (thread_.joinable()) {
      BeginStop(Clock::now());
      Join();
    }
  }

  bool Start(std::string& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      error = std::string("cannot make a pipe: ") + std::strerror(errno);
      return false;
    }
    stopRead_.reset(fds[0]);
    stopWrite_.reset(fds[1]);
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  // False when the queue is full; the drop is logged later by the delivery thread.
  bool Push(const std::shared_ptr<const Payload>& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      return false;
    }
    if (queue_.size() >= owner_.options_.queueLimit) {
      if (notes_.size() < kMostDropNotes) {
        notes_.push_back(DropNote{payload->alert.event, payload->alert.groupId});
      } else {
        ++unnotedDrops_;
      }
      wake_.notify_one();
      return false;
    }
    queue_.push_back(payload);
    // The thread waits for alerts only on an empty queue; sparing the wake-ups keeps bursts cheap.
    if (queue_.size() == 1) {
      wake_.notify_one();
    }
    return true;
  }

  void BeginStop(Clock::time_point deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
      stopDeadline_ = deadline;
      stopping_ = true;
    }
    wake_.notify_one();
    // Wakes an attempt waiting on its socket; a full pipe has been written to already.
    ssize_t ignored = write(stopWrite_.get(), "x", 1);
    (void)ignored;
  }

  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    LogDropNotes(lock);
    size_t left = queue_.size();
    queue_.clear();
    lock.unlock();
    if (left > 0) {
      for (size_t i = 0; i < left; ++i) {
        owner_.CountDrop();
      }
      std::fprintf(stderr, "webhook: stopped; dropped %zu undelivered alerts for %s\n", left,
                   name_.c_str());
    }
  }

 private:
  void Run() {
    const auto retryFor = std::chrono::seconds(owner_.options_.retrySeconds);
    int failures = 0;
    std::string lastFailure;
    Clock::time_point nextTry = Clock::now();
    std::shared_ptr<const Payload> rendered;  // the alert body and signature were made for
    std::string body;
    std::string signature;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      LogDropNotes(lock);
      Clock::time_point now = Clock::now();
      while (!queue_.empty() && now - queue_.front()->enqueued >= retryFor) {
        std::shared_ptr<const Payload> expired = queue_.front();
        queue_.pop_front();
        lock.unlock();
        owner_.CountDrop();
        std::fprintf(stderr,
                     "webhook: dropped %s alert for group %lld: not delivered to %s within %d s "
                     "(last attempt: %s)\n",
                     expired->alert.event.c_str(), static_cast<long long>(expired->alert.groupId),
                     name_.c_str(), owner_.options_.retrySeconds, lastFailure.c_str());
        lock.lock();
      }
      // Stopping: what is queued still goes to a receiver that answers, within the grace;
      // one that failed last is not waited for.
      if (stopping_ && (queue_.empty() || failures > 0 || now >= stopDeadline_)) {
        return;
      }
      if (queue_.empty()) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || !notes_.empty(); });
        continue;
      }
      if (now < nextTry) {
        Clock::time_point until = std::min(nextTry, queue_.front()->enqueued + retryFor);
        wake_.wait_until(lock, until, [this] { return stopping_ || !notes_.empty(); });
        continue;
      }
      std::shared_ptr<const Payload> payload = queue_.front();
      lock.unlock();
      if (payload != rendered) {
        rendered = payload;
        body = AlertDocument(payload->alert, owner_.options_.publicUrl);
        signature = owner_.options_.secret.empty() ? std::string()
                                                   : WebhookSignature(owner_.options_.secret, body);
      }
      std::string why;
      bool sent = Post(body, signature, why);
      if (sent) {
        owner_.CountDelivery();
        if (failures > 0) {
          std::fprintf(stderr, "webhook: %s takes alerts again after %d failed attempts\n",
                       name_.c_str(), failures);
        }
        failures = 0;
        nextTry = Clock::now();
      } else {
        if (failures == 0) {
          std::fprintf(stderr, "webhook: %s failed: %s; trying again\n", name_.c_str(),
                       why.c_str());
        }
        lastFailure = why;
        ++failures;
        // Doubling from the first wait, capped; the shift is bounded so it cannot overflow.
        int64_t wait = int64_t{owner_.options_.firstRetryMilliseconds}
                       << std::min(failures - 1, 20);
        wait = std::min<int64_t>(wait, int64_t{owner_.options_.longestRetrySeconds} * 1000);
        nextTry = Clock::now() + std::chrono::milliseconds(wait);
      }
      lock.lock();
      if (sent && !queue_.empty() && queue_.front() == payload) {
        queue_.pop_front();
      }
    }
  }

  // Logs the queue-full drops noted by Enqueue; called with the lock held, which it lets go
  // while writing.
  void LogDropNotes(std::unique_lock<std::mutex>& lock) {
    if (notes_.empty() && unnotedDrops_ == 0) {
      return;
    }
    std::vector<DropNote> notes;
    notes.swap(notes_);
    uint64_t more = unnotedDrops_;
    unnotedDrops_ = 0;
    lock.unlock();
    for (const DropNote& note : notes) {
      std::fprintf(stderr, "webhook: dropped %s alert for group %lld: queue full (%s)\n",
                   note.event.c_str(), static_cast<long long>(note.groupId), name_.c_str());
    }
    if (more > 0) {
      std::fprintf(stderr, "webhook: dropped %llu more alerts: queue full (%s)\n",
                   static_cast<unsigned long long>(more), name_.c_str());
    }
    lock.lock();
  }

  // When the attempt must end: its own timeout, or sooner once stopping.
  Clock::time_point Deadline(Clock::time_point attemptEnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_ ? std::min(attemptEnd, stopDeadline_) : attemptEnd;
  }

  // Waits until fd is ready for events, the deadline passes or stopping ends the attempt.
  bool WaitFor(int fd, short events, Clock::time_point attemptEnd, std::string& why) {
    for (int round = 0; round < 1000; ++round) {
      Clock::time_point deadline = Deadline(attemptEnd);
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        why = deadline < attemptEnd ? "abandoned at stop" : "timed out";
        return false;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      pollfd fds[2] = {{fd, events, 0}, {stopRead_.get(), POLLIN, 0}};
      // Once the stop has been seen, the deadline covers it and the pipe stays readable.
      bool watchStop = !stopSeen_;
      int ready = poll(fds, watchStop ? 2 : 1, static_cast<int>(std::max<int64_t>(left, 1)));
      if (ready < 0 && errno != EINTR) {
        why = std::string("poll: ") + std::strerror(errno);
        return false;
      }
      if (ready > 0 && watchStop && (fds[1].revents & POLLIN) != 0) {
        stopSeen_ = true;
      }
      if (ready > 0 && fds[0].revents != 0) {
        return true;
      }
    }
    why = "interrupted too often";
    return false;
  }

  bool Resolve(Clock::time_point attemptEnd, std::shared_ptr<Lookup>& lookup, std::string& why) {
    lookup = std::make_shared<Lookup>();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    std::string port = std::to_string(url_.port);
    if (getaddrinfo(url_.host.c_str(), port.c_str(), &hints, &lookup->result) == 0) {
      return true;
    }
    lookup->result = nullptr;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    try {
      std::thread([lookup, hints, host = url_.host, port] {
        addrinfo* result = nullptr;
        int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->status = status;
        lookup->result = status == 0 ? result : nullptr;
        lookup->finished = true;
        lookup->done.notify_all();
      }).detach();
    } catch (const std::system_error& e) {
      why = std::string("cannot start a name lookup: ") + e.what();
      return false;
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    // Short slices, so a stop that begins meanwhile is seen soon.
    for (int round = 0; round < 100000 && !lookup->finished; ++round) {
      Clock::time_point deadline = Deadline(attemptEnd);
      if (Clock::now() >= deadline) {
        why = "name lookup of " + url_.host + " timed out";
        return false;
      }
      lookup->done.wait_until(lock,
                              std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
    if (!lookup->finished || lookup->status != 0) {
      why = "cannot resolve " + url_.host + ": " +
            (lookup->finished ? gai_strerror(lookup->status) : "no answer");
      return false;
    }
    return true;
  }

  bool Connect(Clock::time_point attemptEnd, Fd& sock, std::string& why) {
    std::shared_ptr<Lookup> lookup;
    if (!Resolve(attemptEnd, lookup, why)) {
      return false;
    }
    why = "no address for " + url_.host;
    for (addrinfo* at = lookup->result; at != nullptr; at = at->ai_next) {
      sock.reset(
          socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol));
      if (sock.get() < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        continue;
      }
      if (connect(sock.get(), at->ai_addr, at->ai_addrlen) == 0) {
        return true;
      }
      if (errno != EINPROGRESS) {
        why = std::string("cannot connect: ") + std::strerror(errno);
        continue;
      }
      if (!WaitFor(sock.get(), POLLOUT, attemptEnd, why)) {
        return false;
      }
      int error = 0;
      socklen_t size = sizeof(error);
      if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
      }
      if (error == 0) {
        return true;
      }
      why = std::string("cannot connect: ") + std::strerror(error);
    }
    return false;
  }

  // One attempt: true for a 2xx answer.
  bool Post(const std::string& body, const std::string& signature, std::string& why) {
    const Clock::time_point attemptEnd =
        Clock::now() + std::chrono::seconds(owner_.options_.timeoutSeconds);
    Fd sock;
    if (!Connect(attemptEnd, sock, why)) {
      return false;
    }
    std::string request =
        "POST " + url_.target + " HTTP/1.1\r\nHost: " + url_.hostHeader +
        "\r\nUser-Agent: " + kUserAgent +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n";
    if (!signature.empty()) {
      request += "X-Vexo-Signature: " + signature + "\r\n";
    }
    request += "\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
      if (!WaitFor(sock.get(), POLLOUT, attemptEnd, why)) {
        return false;
      }
      ssize_t n = send(sock.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        why = std::string("cannot send: ") + std::strerror(errno);
        return false;
      }
      sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    // Only the status matters; interim 1xx answers are skipped.
    std::string head;
    char buffer[4096];
    for (;;) {
      size_t eol = head.find("\r\n");
      if (eol != std::string::npos) {
        int status = StatusOf(head.substr(0, eol));
        if (status < 0) {
          why = "the answer is not HTTP";
          return false;
        }
        if (status >= 200) {
          why = "answered " + std::to_string(status);
          return status < 300;
        }
        size_t end = head.find("\r\n\r\n");
        if (end != std::string::npos) {
          head.erase(0, end + 4);
          continue;
        }
      }
      if (head.size() > kMostAnswerHeadBytes) {
        why = "the answer's head is too long";
        return false;
      }
      if (!WaitFor(sock.get(), POLLIN, attemptEnd, why)) {
        return false;
      }
      ssize_t n = recv(sock.get(), buffer, sizeof(buffer), 0);
      if (n == 0) {
        why = "closed without an answer";
        return false;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        why = std::string("cannot receive: ") + std::strerror(errno);
        return false;
      }
      if (n > 0) {
        head.append(buffer, static_cast<size_t>(n));
      }
    }
  }

  WebhookSender& owner_;
  const HttpUrl url_;
  const std::string name_;  // scheme and host only: a path may carry a secret token
  Fd stopRead_;
  Fd stopWrite_;
  bool stopSeen_ = false;  // the delivery thread's own
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<const Payload>> queue_;
  std::vector<DropNote> notes_;
  uint64_t unnotedDrops_ = 0;
  bool stopping_ = false;
  Clock::time_point stopDeadline_;
};

WebhookSender::WebhookSender(WebhookOptions options) : options_(std::move(options)) {}

WebhookSender::~WebhookSender() { Stop(); }

bool WebhookSender::Start(std::string& error) {
  if (!sinks_.empty()) {
    error = "the webhook sender has started already";
    return false;
  }
  std::vector<HttpUrl> urls;
  for (const std::string& text : options_.urls) {
    HttpUrl url;
    if (!ParseHttpUrl(text, url, error)) {
      return false;
    }
    if (url.https) {
      error = "webhook URL " + text +
              ": https is not supported (no TLS library is linked); use http://, e.g. to a "
              "local relay";
      return false;
    }
    urls.push_back(url);
  }
  for (HttpUrl& url : urls) {
    sinks_.push_back(std::make_unique<Sink>(*this, std::move(url)));
    if (!sinks_.back()->Start(error)) {
      Stop();
      sinks_.clear();
      return false;
    }
  }
  return true;
}

void WebhookSender::Enqueue(const Alert& alert) {
  if (sinks_.empty()) {
    return;
  }
  auto shared = std::make_shared<const Payload>(Payload{alert, Clock::now()});
  for (const std::unique_ptr<Sink>& sink : sinks_) {
    if (!sink->Push(shared)) {
      CountDrop();
    }
  }
}

void WebhookSender::Stop() {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(options_.stopGraceMilliseconds);
  for (const std::unique_ptr<Sink>& sink : sinks_) {
    sink->BeginStop(deadline);
  }
  for (const std::unique_ptr<Sink>& sink : sinks_) {
    sink->Join();
  }
}

// The one place every delivery and drop is counted, for the metrics too.
void WebhookSender::CountDelivery() {
  delivered_.fetch_add(1);
  TheMetrics().CountWebhookDelivery();
}

void WebhookSender::CountDrop() {
  dropped_.fetch_add(1);
  TheMetrics().CountWebhookDrop();
}

}  // namespace collector
