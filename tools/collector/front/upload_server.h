#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace collector {

class ReportStore;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;                           // 0: any free port
  size_t maxBytes = 64u * 1024u * 1024u;  // request bodies above this are answered 413
  int answerStatus = 200;                 // status for a stored report (for testing senders)
  size_t maxConnections = 4096;           // open connections in all
  size_t maxPerAddress = 64;              // open connections from one client address
  int headTimeoutSeconds = 10;            // the request head must arrive within this time
  // A body must bring at least this many bytes a second over every stretch of
  // headTimeoutSeconds (a sliding window, so a fast start buys no time for a trickle).
  size_t minBytesPerSecond = 1024;
  // Bytes of all request bodies in flight together; an upload that would go over is answered
  // 503 with Retry-After.
  uint64_t maxBodyBudgetBytes = uint64_t{1} << 30;
  size_t maxHeaderBytes = 32768;  // request line and headers together
  // An upload whose log claims more than this is kept raw, marked too-large, never decoded.
  uint64_t maxDecodedBytes = 32u << 20;
  int stopGraceMilliseconds = 3000;         // connections left this long after a stop
  std::string readToken;                    // bearer token of the read API; empty: API off
  // Bearer token of symbol uploads (POST /api/symbols); empty: that path is an upload like
  // any other.
  std::string symbolsToken;
  uint64_t maxSymbolBytes = uint64_t{512} << 20;  // a symbol upload's body; above it 413
  std::vector<std::string> trustedProxies;  // addresses whose X-Real-IP names the sender
  std::vector<std::string> webhookUrls;     // http:// URLs every alert is POSTed to
  std::string webhookSecret;                // signs the alerts; empty: unsigned
  std::string publicUrl;                    // the dashboard as people reach it; alerts link to it
  uint64_t spikePerHour = 0;                // reports in an hour that make a spike; 0: off
};

// True for a numeric IPv4 or IPv6 address.
bool IsIpAddress(const std::string& text);

// HTTP server that takes the crash uploads (a multipart POST to any path), stores each one
// before it answers, and stops without losing what it has acknowledged. With a read token it
// also answers the read API under /api/ and the dashboard to requests that carry the token;
// those reads run on threads of their own and wait in a bounded queue, so they never hold up
// the uploads. With a symbols token it takes symbol files (POST /api/symbols) from build
// machines, and serves the stored ones to debuggers under /symbols/ (with the read token).
class UploadServer {
 public:
  UploadServer(ReportStore& store, const ServerOptions& options);
  ~UploadServer();
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  // Binds the listening socket. Returns the bound port, or -1 with error set.
  int Bind(std::string& error);

  // Serves until Stop: then stops accepting, gives open connections the stop grace, ends the
  // rest and returns once every report already taken has been stored and answered. False when
  // serving could not start.
  bool Serve();

  // Safe from any thread, before or during Serve, any number of times.
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace collector
