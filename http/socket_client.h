#pragma once

#include <chrono>
#include <cstdint>

#include "http/net.h"

// Result codes of the connection layer; 0 is success.
enum SocketResult : int {
  kSocketOk = 0,
  kSocketNoHostName = 1,
  kSocketBadPort = 2,
  kSocketAlreadyConnected = 3,
  kSocketHostNotFound = 4,
  kSocketAlreadyCreated = 7,
  kSocketCreateFailed = 8,
  kSocketNoAddress = 9,
  kSocketConnectFailed = 10,
  kSocketNotConnected = 11,
  kSocketNoData = 12,
  kSocketSendFailed = 13,
  kSocketReceiveFailed = 14,
  kSocketPeerClosed = 15,
  // The peer took no more data before the exchange time limit ran out; the bytes already sent
  // are not taken back.
  kSocketSendTimedOut = 16,
};

// Appends n bytes to a growable buffer (a new[] block and its byte count). The new block holds the
// data and 32 bytes of room, the first four of them zero, so the content reads as a C string and
// a line end can be written in place. A size that does not fit 32 bits throws std::bad_alloc.
void AppendBytes(char*& pointer, uint32_t& count, const void* bytes, uint32_t n);

class HttpTestAccess;

// A blocking IPv4 TCP client connection that keeps every byte it receives. The socket library
// must be started by the caller (WSAStartup) before any operation. Connecting and sending switch
// the socket to non-blocking mode while they run, so that the exchange time limit bounds them;
// receiving waits with select before each recv.
//
// The destructor is deliberately not virtual: objects are always created and destroyed by their
// concrete type, and the virtual table holds exactly Close, CloseSocket, Reset (and, in the
// derived classes, GetMethodName and FinishHead) in that order.
class SocketClient {
 public:
  using Clock = std::chrono::steady_clock;

  // How long one exchange (sending the request and waiting for the answer) may take at most, as
  // crash uploaders commonly allow. A silent or stalled peer cannot keep the crashed game alive.
  static constexpr unsigned kExchangeTimeLimitMs = 60000;
  // Tests shorten the limit; 0 restores the default.
  static void SetExchangeTimeLimit(unsigned milliseconds);
  static unsigned ExchangeTimeLimit();

  SocketClient();
  ~SocketClient();
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  virtual void Close();
  virtual void CloseSocket();
  virtual void Reset();

  int SetHost(const char* name, uint16_t port);
  int CreateSocket();
  int Connect();
  int SendAll(const char* data, int length);
  int ReceiveOnce();

  // Every byte received since the last Reset (the body alone once a response head was split off).
  const char* Response() const { return response; }
  uint32_t ResponseLength() const { return responseLength; }
  bool IsConnected() const { return connected != 0; }

 protected:
  // Connect and SendAll bounded by a deadline shared with the rest of the exchange.
  int ConnectUntil(Clock::time_point deadline);
  int SendAllUntil(const char* data, int length, Clock::time_point deadline);

  // Fields in their fixed order.
  sockaddr_in address;
  char* hostName;
  SOCKET socketHandle;
  int32_t connected;
  int32_t addressSet;

 public:
  // The platform's error number of the last failed socket call, 0 otherwise.
  int32_t lastError;

 protected:
  char* receiveBuffer;
  uint32_t receiveBufferSize;
  char* response;
  uint32_t responseLength;

 private:
  friend class HttpTestAccess;

  // Connects socketHandle before the deadline; the platform's error number, 0 on success.
  int ConnectBefore(Clock::time_point deadline);
};
