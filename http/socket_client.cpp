#include "http/socket_client.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "common/text_helpers.h"

namespace {

constexpr uint32_t kReceiveBlockSize = 8192;
constexpr uint32_t kAppendRoom = 32;
constexpr uint32_t kMaxSelectStepMs = 1000;

std::atomic<unsigned> exchangeTimeLimitMs{SocketClient::kExchangeTimeLimitMs};

// Milliseconds left until the deadline, 0 once it has passed.
long long MillisecondsLeft(SocketClient::Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SocketClient::Clock::now());
  return left.count() > 0 ? left.count() : 0;
}

}  // namespace

void AppendBytes(char*& pointer, uint32_t& count, const void* bytes, uint32_t n) {
  if (bytes == nullptr || n == 0) return;
  // The block size is a 32-bit quantity in the game's process: refuse to let it wrap.
  if (n > UINT32_MAX - kAppendRoom - count) throw std::bad_alloc();
  uint32_t newCount = count + n;
  char* block = new char[static_cast<size_t>(newCount) + kAppendRoom];
  if (pointer != nullptr && count != 0) std::memcpy(block, pointer, count);
  std::memcpy(block + count, bytes, n);
  std::memset(block + newCount, 0, kAppendRoom);
  delete[] pointer;
  pointer = block;
  count = newCount;
}

void SocketClient::SetExchangeTimeLimit(unsigned milliseconds) {
  exchangeTimeLimitMs = milliseconds != 0 ? milliseconds : kExchangeTimeLimitMs;
}

unsigned SocketClient::ExchangeTimeLimit() { return exchangeTimeLimitMs; }

SocketClient::SocketClient()
    : address(),
      hostName(nullptr),
      socketHandle(INVALID_SOCKET),
      connected(0),
      addressSet(0),
      lastError(0),
      receiveBuffer(new char[kReceiveBlockSize]),
      receiveBufferSize(kReceiveBlockSize),
      response(nullptr),
      responseLength(0) {}

SocketClient::~SocketClient() {
  SocketClient::CloseSocket();
  delete[] hostName;
  hostName = nullptr;
  delete[] response;
  response = nullptr;
  delete[] receiveBuffer;
  receiveBuffer = nullptr;
  lastError = 0;
}

int SocketClient::SetHost(const char* name, uint16_t port) {
  lastError = 0;
  if (connected) return kSocketAlreadyConnected;
  addressSet = 0;
  if (name == nullptr || name[0] == '\0') return kSocketNoHostName;
  if (port == 0 || port == 65535) return kSocketBadPort;
  delete[] hostName;
  hostName = nullptr;
  hostName = DupString(name);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(name);
  if (address.sin_addr.s_addr == INADDR_NONE) {
    hostent* entry = gethostbyname(name);
    if (entry == nullptr) {
      lastError = NetLookupError();
      return kSocketHostNotFound;
    }
    // Only an IPv4 answer with at least one address is usable.
    if (entry->h_addrtype != AF_INET || entry->h_length != 4 || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr) {
      return kSocketHostNotFound;
    }
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
  }
  address.sin_port = htons(port);
  addressSet = 1;
  return kSocketOk;
}

int SocketClient::CreateSocket() {
  lastError = 0;
  if (socketHandle != INVALID_SOCKET) return kSocketAlreadyCreated;
  socketHandle = socket(AF_INET, SOCK_STREAM, 0);
  if (socketHandle == INVALID_SOCKET) {
    lastError = WSAGetLastError();
    return kSocketCreateFailed;
  }
  return kSocketOk;
}

int SocketClient::Connect() {
  return ConnectUntil(Clock::now() + std::chrono::milliseconds(ExchangeTimeLimit()));
}

int SocketClient::ConnectUntil(Clock::time_point deadline) {
  lastError = 0;
  if (connected) return kSocketAlreadyConnected;
  if (!addressSet) return kSocketNoAddress;
  if (socketHandle == INVALID_SOCKET) {
    int code = CreateSocket();
    if (code != kSocketOk) return code;
  }
  int error = ConnectBefore(deadline);
  if (error != 0) {
    lastError = error;
    CloseSocket();
    return kSocketConnectFailed;
  }
  connected = 1;
  return kSocketOk;
}

int SocketClient::ConnectBefore(Clock::time_point deadline) {
  // Non-blocking while connecting: an unanswered SYN would otherwise hold the caller for the
  // platform's own connect time-out (minutes on some systems), past the exchange limit. A time-out
  // fails like any connect, with the platform's time-out error number.
  if (NetSetBlocking(socketHandle, false) == SOCKET_ERROR) return WSAGetLastError();
  int error = 0;
  if (connect(socketHandle, reinterpret_cast<const sockaddr*>(&address), 16) == SOCKET_ERROR) {
    error = WSAGetLastError();
  }
  while (NetConnectPending(error) || NetInterrupted(error)) {
    long long left = MillisecondsLeft(deadline);
    if (left == 0) {
      error = kNetTimedOutError;
      break;
    }
    if (!NetFitsSelect(socketHandle)) {
      error = kNetBadSocketError;
      break;
    }
    long long step = std::min<long long>(left, kMaxSelectStepMs);
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socketHandle, &writable);
    FD_SET(socketHandle, &failed);
    timeval wait;
    wait.tv_sec = static_cast<long>(step / 1000);
    wait.tv_usec = static_cast<long>(step % 1000 * 1000);
    // Windows reports a failed connect in the error set, BSD sockets as writable.
    int ready = select(NetSelectWidth(socketHandle), nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) {
      error = WSAGetLastError();
      continue;
    }
    if (ready == 0) continue;
    int outcome = 0;
    NetSockLen outcomeSize = sizeof(outcome);
    if (getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome),
                   &outcomeSize) == SOCKET_ERROR) {
      error = WSAGetLastError();
    } else {
      error = outcome;
    }
  }
  if (error == 0 && NetSetBlocking(socketHandle, true) == SOCKET_ERROR) error = WSAGetLastError();
  return error;
}

int SocketClient::SendAll(const char* data, int length) {
  return SendAllUntil(data, length, Clock::now() + std::chrono::milliseconds(ExchangeTimeLimit()));
}

int SocketClient::SendAllUntil(const char* data, int length, Clock::time_point deadline) {
  lastError = 0;
  if (!connected) return kSocketNotConnected;
  if (data == nullptr || length == 0) return kSocketNoData;
  if (length < 0) return kSocketOk;

  // The socket is non-blocking while sending: a blocking send to a peer that stopped reading
  // would wait forever, whatever select said before it. Each would-block waits for writability
  // in steps of at most a second until the deadline.
  if (NetSetBlocking(socketHandle, false) == SOCKET_ERROR) {
    lastError = WSAGetLastError();
    return kSocketSendFailed;
  }
  int result = kSocketOk;
  int remaining = length;
  const char* next = data;
  while (remaining > 0) {
    long long left = MillisecondsLeft(deadline);
    if (left == 0) {
      result = kSocketSendTimedOut;
      break;
    }
    int sent = send(socketHandle, next, remaining, kNetSendFlags);
    if (sent != SOCKET_ERROR) {
      next += sent;
      remaining -= sent;
      continue;
    }
    int error = WSAGetLastError();
    if (NetInterrupted(error)) continue;
    if (!NetWouldBlock(error)) {
      lastError = error;
      result = kSocketSendFailed;
      break;
    }
    if (!NetFitsSelect(socketHandle)) {
      lastError = kNetBadSocketError;
      result = kSocketSendFailed;
      break;
    }
    long long step = std::min<long long>(left, kMaxSelectStepMs);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socketHandle, &writable);
    timeval wait;
    wait.tv_sec = static_cast<long>(step / 1000);
    wait.tv_usec = static_cast<long>(step % 1000 * 1000);
    if (select(NetSelectWidth(socketHandle), nullptr, &writable, nullptr, &wait) == SOCKET_ERROR) {
      error = WSAGetLastError();
      if (NetInterrupted(error)) continue;
      lastError = error;
      result = kSocketSendFailed;
      break;
    }
  }
  NetSetBlocking(socketHandle, true);
  return result;
}

int SocketClient::ReceiveOnce() {
  lastError = 0;
  if (!connected) return kSocketNotConnected;
  int received = recv(socketHandle, receiveBuffer, static_cast<int>(receiveBufferSize), 0);
  if (received > 0) {
    AppendBytes(response, responseLength, receiveBuffer, static_cast<uint32_t>(received));
    return kSocketOk;
  }
  if (received < 0) {
    lastError = WSAGetLastError();
    return kSocketReceiveFailed;
  }
  connected = 0;
  return kSocketPeerClosed;
}

void SocketClient::CloseSocket() {
  connected = 0;
  if (socketHandle != INVALID_SOCKET) {
    closesocket(socketHandle);
    socketHandle = INVALID_SOCKET;
  }
}

void SocketClient::Reset() {
  delete[] response;
  response = nullptr;
  responseLength = 0;
  delete[] hostName;
  hostName = nullptr;
  addressSet = 0;
  std::memset(&address, 0, sizeof(address));
}

void SocketClient::Close() {
  CloseSocket();
  Reset();
  lastError = 0;
}
