#pragma once

// The one place that reaches the socket API. The client is written against the Winsock names it
// uses; on Linux (native tests, fuzzing) they map onto BSD sockets.

// Starts the socket library before an upload and stops it after: Winsock 2.2 on Windows, nothing
// natively. Tests put in one whose start fails.
class NetTransport {
 public:
  virtual ~NetTransport();
  // 0 when the sockets are ready, else the reason they are not (WSAStartup's own result: after
  // a failed start WSAGetLastError means nothing).
  virtual int Start();
  // Called only after a Start that returned 0.
  virtual void Stop();
};

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

using NetSockLen = int;

// Winsock ignores select's first argument and its fd_set holds handles, not bit positions.
inline int NetSelectWidth(SOCKET) { return 0; }
inline bool NetFitsSelect(SOCKET) { return true; }

inline int NetSetBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking);
}

inline bool NetWouldBlock(int error) { return error == WSAEWOULDBLOCK; }
inline bool NetInterrupted(int error) { return error == WSAEINTR; }
// A non-blocking connect that is still under way.
inline bool NetConnectPending(int error) { return error == WSAEWOULDBLOCK; }
constexpr int kNetTimedOutError = WSAETIMEDOUT;

// gethostbyname reports its failure through WSAGetLastError like every other call.
inline int NetLookupError() { return WSAGetLastError(); }

// An error number for "the socket cannot be waited on" (never happens with Winsock).
constexpr int kNetBadSocketError = WSAENOTSOCK;

constexpr int kNetSendFlags = 0;

#else

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
using NetSockLen = socklen_t;

inline int closesocket(SOCKET s) { return close(s); }
inline int WSAGetLastError() { return errno; }

inline int NetSelectWidth(SOCKET s) { return s + 1; }
// FD_SET on a descriptor past FD_SETSIZE writes outside the set.
inline bool NetFitsSelect(SOCKET s) { return s >= 0 && s < FD_SETSIZE; }

inline int NetSetBlocking(SOCKET s, bool blocking) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags == -1) return SOCKET_ERROR;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) == -1 ? SOCKET_ERROR : 0;
}

inline bool NetWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
inline bool NetInterrupted(int error) { return error == EINTR; }
inline bool NetConnectPending(int error) { return error == EINPROGRESS; }
constexpr int kNetTimedOutError = ETIMEDOUT;

// The resolver leaves errno alone and reports through h_errno.
inline int NetLookupError() { return h_errno; }

constexpr int kNetBadSocketError = EBADF;

// A peer that has gone away must give an error, not a SIGPIPE that ends the process.
constexpr int kNetSendFlags = MSG_NOSIGNAL;

#endif
