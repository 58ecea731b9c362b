#include "tests/unit/http/loopback_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

// No step of a test waits longer than this for its peer; a broken client fails the test instead
// of hanging the suite.
constexpr int kSafetyLimitMs = 60000;

size_t AnnouncedLength(const std::string& head) {
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(std::strtoul(lower.c_str() + at + 17, nullptr, 10));
}

}  // namespace

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer() {
  Release();
  if (thread_.joinable()) thread_.join();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

LoopbackServer& LoopbackServer::ReadRequest() {
  steps_.push_back({Step::kReadRequest, {}, 0, 0});
  return *this;
}

LoopbackServer& LoopbackServer::ReadBytes(size_t count) {
  steps_.push_back({Step::kReadBytes, {}, count, 0});
  return *this;
}

LoopbackServer& LoopbackServer::ReadInPieces(size_t pieceSize) {
  steps_.push_back({Step::kReadInPieces, {}, pieceSize, 0});
  return *this;
}

LoopbackServer& LoopbackServer::Send(const std::string& bytes) {
  steps_.push_back({Step::kSend, bytes, 0, 0});
  return *this;
}

LoopbackServer& LoopbackServer::Trickle(const std::string& bytes, int intervalMs) {
  steps_.push_back({Step::kTrickle, bytes, 0, intervalMs});
  return *this;
}

LoopbackServer& LoopbackServer::HoldUntilReleased() {
  steps_.push_back({Step::kHold, {}, 0, 0});
  return *this;
}

void LoopbackServer::Start() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  address.sin_port = 0;
  NetSockLen length = sizeof(address);
  if (listener_ == INVALID_SOCKET ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 1) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  releasedChanged_.notify_all();
}

std::string LoopbackServer::Join() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

bool LoopbackServer::WaitReleased(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return releasedChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [this] { return released_; });
}

bool LoopbackServer::ReceiveSome(size_t maxBytes) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(peer_, &readable);
  timeval wait{kSafetyLimitMs / 1000, 0};
  if (select(NetSelectWidth(peer_), &readable, nullptr, nullptr, &wait) <= 0) return false;
  char block[65536];
  int got = recv(peer_, block, static_cast<int>(std::min(maxBytes, sizeof(block))), 0);
  if (got <= 0) return false;
  received_.append(block, static_cast<size_t>(got));
  return true;
}

void LoopbackServer::Run() {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listener_, &readable);
  timeval wait{kSafetyLimitMs / 1000, 0};
  if (select(NetSelectWidth(listener_), &readable, nullptr, nullptr, &wait) <= 0) return;
  peer_ = accept(listener_, nullptr, nullptr);
  if (peer_ == INVALID_SOCKET) return;

  bool alive = true;
  for (const Step& step : steps_) {
    if (!alive) break;
    switch (step.kind) {
      case Step::kReadRequest: {
        size_t headEnd;
        while ((headEnd = received_.find("\r\n\r\n")) == std::string::npos && alive) {
          alive = ReceiveSome(65536);
        }
        if (!alive) break;
        size_t total = headEnd + 4 + AnnouncedLength(received_.substr(0, headEnd + 2));
        while (received_.size() < total && alive) alive = ReceiveSome(total - received_.size());
        break;
      }
      case Step::kReadBytes: {
        size_t total = received_.size() + step.count;
        while (received_.size() < total && alive) alive = ReceiveSome(total - received_.size());
        break;
      }
      case Step::kReadInPieces:
        while (ReceiveSome(step.count)) {
        }
        alive = false;
        break;
      case Step::kSend:
        for (size_t sent = 0; sent < step.bytes.size() && alive;) {
          int n = send(peer_, step.bytes.data() + sent, static_cast<int>(step.bytes.size() - sent),
                       kNetSendFlags);
          if (n <= 0) {
            alive = false;
          } else {
            sent += static_cast<size_t>(n);
          }
        }
        break;
      case Step::kTrickle:
        for (char byte : step.bytes) {
          if (send(peer_, &byte, 1, kNetSendFlags) != 1) {
            alive = false;
            break;
          }
          // The pause is the trickling server's behaviour; a release ends it early.
          if (WaitReleased(step.intervalMs)) {
            alive = false;
            break;
          }
        }
        break;
      case Step::kHold:
        WaitReleased(kSafetyLimitMs);
        break;
    }
  }
  closesocket(peer_);
  peer_ = INVALID_SOCKET;
}

uint16_t RefusedPort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  NetSockLen length = sizeof(address);
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  closesocket(s);
  return ntohs(address.sin_port);
}
