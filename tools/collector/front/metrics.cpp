#include "front/metrics.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "front/listen.h"
#include "front/response.h"

namespace collector {
namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// A scraper or two and a curl by hand: a few connections are plenty.
constexpr unsigned kMaxConnections = 16;
constexpr unsigned kTimeoutSeconds = 10;
constexpr int kListenBacklog = 16;

// Shortest plain decimal that reads back as the same double: "0.005", "10", "2.5".
std::string Number(double value) {
  char text[64];
  for (int decimals = 0; decimals <= 12; ++decimals) {
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    if (std::strtod(text, nullptr) == value) {
      return text;
    }
  }
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

void Head(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const std::string& name, const std::string& labels,
            const std::string& value) {
  out += name;
  if (!labels.empty()) {
    out += '{' + labels + '}';
  }
  out += ' ' + value + '\n';
}

template <typename T>
std::string Load(const std::atomic<T>& value) {
  return std::to_string(value.load(std::memory_order_relaxed));
}

const char* OutcomeName(size_t outcome) {
  switch (static_cast<UploadOutcome>(outcome)) {
    case UploadOutcome::kStored:
      return "stored";
    case UploadOutcome::kRefusedTooLarge:
      return "refused_too_large";
    case UploadOutcome::kRefusedBusy:
      return "refused_busy";
    case UploadOutcome::kRefusedBadRequest:
      return "refused_bad_request";
    case UploadOutcome::kRefusedStopping:
      return "refused_stopping";
    case UploadOutcome::kStoreFailed:
      return "store_failed";
    case UploadOutcome::kAborted:
    case UploadOutcome::kCount:
      break;
  }
  return "aborted";
}

}  // namespace

void Metrics::Histogram::Observe(Duration elapsed) {
  int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  uint64_t positive = nanos > 0 ? static_cast<uint64_t>(nanos) : 0;
  double seconds = static_cast<double>(positive) / 1e9;
  size_t bucket = static_cast<size_t>(
      std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds) - kBuckets.begin());
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumNanos_.fetch_add(positive, std::memory_order_relaxed);
}

void Metrics::Histogram::Render(const std::string& name, const std::string& labels,
                                std::string& out) const {
  // Buckets are kept one by one and added up here, so the cumulative counts never go down
  // however the observations race with the scrape; +Inf and _count are the same total.
  std::string prefix = labels.empty() ? "" : labels + ",";
  uint64_t total = 0;
  for (size_t i = 0; i <= kBuckets.size(); ++i) {
    total += counts_[i].load(std::memory_order_relaxed);
    std::string le = i < kBuckets.size() ? Number(kBuckets[i]) : "+Inf";
    Sample(out, name + "_bucket", prefix + "le=\"" + le + "\"", std::to_string(total));
  }
  double sum = static_cast<double>(sumNanos_.load(std::memory_order_relaxed)) / 1e9;
  Sample(out, name + "_sum", labels, Number(sum));
  Sample(out, name + "_count", labels, std::to_string(total));
}

std::string Metrics::Render() const {
  std::string out;
  Head(out, "vexo_collector_uploads_total", "counter",
       "Crash report uploads by how they ended: stored, refused (and why), or aborted.");
  for (size_t i = 0; i < uploads_.size(); ++i) {
    Sample(out, "vexo_collector_uploads_total", std::string("outcome=\"") + OutcomeName(i) + "\"",
           Load(uploads_[i]));
  }
  Head(out, "vexo_collector_received_bytes_total", "counter",
       "Request body bytes of crash report uploads, refused ones included.");
  Sample(out, "vexo_collector_received_bytes_total", "", Load(receivedBytes_));
  Head(out, "vexo_collector_decode_failures_total", "counter",
       "Stored reports whose payload was kept raw, undecoded, by state.");
  Sample(out, "vexo_collector_decode_failures_total", "state=\"undecodable\"",
         Load(decodeFailures_[0]));
  Sample(out, "vexo_collector_decode_failures_total", "state=\"too-large\"",
         Load(decodeFailures_[1]));
  Head(out, "vexo_collector_batch_commit_duration_seconds", "histogram",
       "Time of each batch of reports stored in one transaction.");
  commit_.Render("vexo_collector_batch_commit_duration_seconds", "", out);
  Head(out, "vexo_collector_read_duration_seconds", "histogram",
       "Dashboard page and read API requests, from their head to their answer.");
  reads_[static_cast<size_t>(ReadKind::kPage)].Render("vexo_collector_read_duration_seconds",
                                                      "kind=\"page\"", out);
  reads_[static_cast<size_t>(ReadKind::kApi)].Render("vexo_collector_read_duration_seconds",
                                                     "kind=\"api\"", out);
  Head(out, "vexo_collector_open_connections", "gauge",
       "Connections open on the upload listener.");
  Sample(out, "vexo_collector_open_connections", "", Load(connections_));
  Head(out, "vexo_collector_read_queue_length", "gauge",
       "Page and API reads waiting for a reader thread.");
  Sample(out, "vexo_collector_read_queue_length", "", Load(readQueue_));
  Head(out, "vexo_collector_webhook_deliveries_total", "counter",
       "Alerts delivered to a webhook receiver.");
  Sample(out, "vexo_collector_webhook_deliveries_total", "", Load(webhookDeliveries_));
  Head(out, "vexo_collector_webhook_drops_total", "counter",
       "Alerts given up on without delivery.");
  Sample(out, "vexo_collector_webhook_drops_total", "", Load(webhookDrops_));
  return out;
}

Metrics& TheMetrics() {
  static Metrics metrics;
  return metrics;
}

class MetricsServer::Impl {
 public:
  ~Impl() {
    if (daemon_ != nullptr) {
      MHD_stop_daemon(daemon_);
    }
    if (listenFd_ >= 0) {
      close(listenFd_);
    }
  }

  int Start(const std::string& host, int port, std::string& error) {
    int bound = Listen(host, port, error);
    if (bound < 0) {
      return -1;
    }
    // Not select(): with thousands of uploads open, a scrape's descriptor is past FD_SETSIZE.
    daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Impl::OnRequest, this,
        MHD_OPTION_LISTEN_SOCKET, listenFd_, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kTimeoutSeconds, MHD_OPTION_END);
    if (daemon_ == nullptr) {
      error = "cannot serve metrics on " + host + ":" + std::to_string(bound);
      return -1;
    }
    listenFd_ = -1;  // MHD's now: it closes it when it stops
    return bound;
  }

 private:
  int Listen(const std::string& host, int port, std::string& error) {
    return ListenTcp(host, port, kListenBacklog, " for metrics", &listenFd_, error);
  }

  static MHD_Result OnRequest(void*, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t* size,
                              void**) {
    // A body, which no request here should have, is dropped unread.
    *size = 0;
    bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
               std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!get || std::strcmp(url, "/metrics") != 0) {
      return Respond(connection, TextAnswer(MHD_HTTP_NOT_FOUND, "not found\n"));
    }
    HttpAnswer answer;
    answer.contentType = kContentType;
    answer.body = TheMetrics().Render();
    return Respond(connection, answer);
  }

  int listenFd_ = -1;
  MHD_Daemon* daemon_ = nullptr;
};

MetricsServer::MetricsServer() : impl_(new Impl) {}

MetricsServer::~MetricsServer() = default;

int MetricsServer::Start(const std::string& host, int port, std::string& error) {
  return impl_->Start(host, port, error);
}

}  // namespace collector
