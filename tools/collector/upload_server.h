#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace collector {

class ReportStore;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;                           // 0: any free port
  size_t maxBytes = 64u * 1024u * 1024u;  // request bodies above this are answered 413
  int answerStatus = 200;                 // status for a stored report (for testing senders)
};

// HTTP server that takes the crash uploads (a multipart POST to any path), stores each one
// before it answers, and stops without losing what it has acknowledged.
class UploadServer {
 public:
  UploadServer(ReportStore& store, const ServerOptions& options);
  ~UploadServer();
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  // Binds the listening socket. Returns the bound port, or -1 with error set.
  int Bind(std::string& error);

  // Accepts requests until Stop; returns after every accepted request has been answered.
  // False when accepting failed for another reason.
  bool Serve();

  // Safe from any thread, before or during Serve, any number of times.
  void Stop();

 private:
  class HttpServer;
  ServerOptions options_;
  std::unique_ptr<HttpServer> server_;
};

}  // namespace collector
