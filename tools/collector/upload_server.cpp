#include "upload_server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "payload_decode.h"
#include "report_store.h"

namespace collector {
namespace {

constexpr char kTextPlain[] = "text/plain";
constexpr char kFileField[] = "file";
constexpr char kVersionField[] = "ver";

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

// httplib's default also sets SO_REUSEPORT, which would let a second server share a port that
// is already taken instead of failing.
void ListenSocketOptions(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

}  // namespace

class UploadServer::HttpServer : public httplib::Server {
 public:
  // httplib's own stop() does nothing until the accept loop has started, so a signal right
  // after binding would be lost; and it marks the listening socket invalid, which makes the
  // workers drop connections already accepted but still waiting for a free worker. Shutting
  // the socket down instead ends the accept loop at any time (or lets it end at once), while
  // the workers go on serving every accepted connection; httplib closes the socket itself.
  void ShutDownListener() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_ || serveEnded_) {
      return;
    }
    stopRequested_ = true;
    socket_t sock = svr_sock_.load();
    if (sock != INVALID_SOCKET) {
      ::shutdown(sock, SHUT_RDWR);
    }
  }

  // True when serving ended because it was asked to stop.
  bool ServeUntilStopped() {
    bool ended = listen_after_bind();
    std::lock_guard<std::mutex> lock(mutex_);
    serveEnded_ = true;
    // The accept loop reports the shut-down socket as a failure.
    return ended || stopRequested_;
  }

 private:
  std::mutex mutex_;
  bool stopRequested_ = false;
  bool serveEnded_ = false;
};

UploadServer::UploadServer(ReportStore& store, const ServerOptions& options)
    : options_(options), server_(new HttpServer) {
  server_->set_socket_options(ListenSocketOptions);
  server_->set_payload_max_length(options.maxBytes);
  // One request per connection: every upload is a single request, and shutting down never
  // has to wait for an idle keep-alive connection.
  server_->set_keep_alive_max_count(1);

  server_->Post(R"([\s\S]*)", [&store, options](const httplib::Request& req,
                                                httplib::Response& res) {
    if (!req.is_multipart_form_data()) {
      res.status = 400;
      res.set_content("expected a multipart/form-data upload\n", kTextPlain);
      return;
    }
    auto filePart = req.files.find(kFileField);
    if (filePart == req.files.end()) {
      res.status = 400;
      res.set_content("the upload has no \"file\" part\n", kTextPlain);
      return;
    }
    // Referenced, not copied: an upload may be tens of megabytes.
    const httplib::MultipartFormData& file = filePart->second;
    StoredReport report;
    report.receivedUtc = NowUtc();
    report.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
    report.path = req.target;
    report.hasVer = req.has_file(kVersionField);
    if (report.hasVer) {
      report.ver = req.get_file_value(kVersionField).content;
    }
    report.fileName = file.filename;
    DecodedPayload decoded = DecodePayload(file.content);
    report.payload = file.content;
    report.payloadSize = report.payload.size();
    report.hasLog = decoded.state != DecodeState::kUndecodable;
    report.log = std::move(decoded.log);
    report.state = DecodeStateName(decoded.state);
    report.note = decoded.note;
    report.hasStack = decoded.hasStack;
    report.stack = std::move(decoded.stack);
    report.httpStatus = options.answerStatus;

    std::string error;
    int64_t id = store.Insert(report, error);
    if (id == 0) {
      // Never acknowledge what was not stored.
      std::fprintf(stderr, "collector: could not store an upload from %s: %s\n",
                   report.peer.c_str(), error.c_str());
      res.status = 500;
      res.set_content("could not store the report: " + error + "\n", kTextPlain);
      return;
    }
    std::fprintf(stderr, "collector: report %lld from %s: %s (%s)\n", static_cast<long long>(id),
                 report.peer.c_str(), report.state.c_str(), report.note.c_str());
    res.status = options.answerStatus;
    res.set_content("OK " + std::to_string(id) + "\n", kTextPlain);
  });

  size_t maxBytes = options.maxBytes;
  server_->set_error_handler([maxBytes](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) {
      return;
    }
    if (res.status == 413) {
      res.set_content("the upload is larger than " + std::to_string(maxBytes) + " bytes\n",
                      kTextPlain);
    } else if (res.status == 400) {
      res.set_content("malformed request or multipart body\n", kTextPlain);
    } else if (res.status == 404) {
      res.set_content("uploads are accepted by POST only\n", kTextPlain);
    }
  });
}

UploadServer::~UploadServer() = default;

int UploadServer::Bind(std::string& error) {
  errno = 0;
  int port = -1;
  if (options_.port == 0) {
    port = server_->bind_to_any_port(options_.host);
  } else if (server_->bind_to_port(options_.host, options_.port)) {
    port = options_.port;
  }
  if (port < 0) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    if (errno != 0) {
      error += ": ";
      error += std::strerror(errno);
    }
  }
  return port;
}

bool UploadServer::Serve() { return server_->ServeUntilStopped(); }

void UploadServer::Stop() { server_->ShutDownListener(); }

}  // namespace collector
