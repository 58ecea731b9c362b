#pragma once

// A one-connection TCP server on 127.0.0.1 that plays a script against the client under test and
// records every byte the client sent. Steps run on the server's own thread; the test waits for
// it with Join(), and releases a held server with Release().

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/net.h"

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Script steps, run in the order added once Start() has accepted a connection.
  LoopbackServer& ReadRequest();            // a request head and as much body as it announces
  LoopbackServer& ReadBytes(size_t count);  // exactly count more bytes (fewer if the peer closes)
  LoopbackServer& ReadInPieces(size_t pieceSize);  // drains until the peer closes, small reads
  LoopbackServer& Send(const std::string& bytes);
  // Sends one byte at a time with a pause between them; stops early when released.
  LoopbackServer& Trickle(const std::string& bytes, int intervalMs);
  // Neither reads nor writes until Release() (or a safety limit of 60 s).
  LoopbackServer& HoldUntilReleased();

  // Binds port 0 and starts the thread; the connection is closed after the last step.
  void Start();
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path = "/") const;
  void Release();
  // Waits for the script to end and returns every byte received.
  std::string Join();

 private:
  struct Step {
    enum Kind { kReadRequest, kReadBytes, kReadInPieces, kSend, kTrickle, kHold } kind;
    std::string bytes;
    size_t count = 0;
    int intervalMs = 0;
  };

  void Run();
  bool ReceiveSome(size_t maxBytes);
  bool WaitReleased(int milliseconds);

  std::vector<Step> steps_;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET peer_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::string received_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable releasedChanged_;
  bool released_ = false;
};

// A port that refuses connections: bound once, never listened on, then closed.
uint16_t RefusedPort();
