#pragma once

#include <cstdint>

#include "http/socket_client.h"

// Result codes of the request layer; the connection layer's codes pass through unchanged.
enum HttpResult : int {
  kHttpOk = 0,
  kHttpNoPath = 100,
  kHttpNoMethod = 101,
  kHttpPathLocked = 102,
  kHttpPathTooLong = 103,
  kHttpAlreadyBegun = 104,
  kHttpWrongState = 105,
  kHttpHeadNotComplete = 106,
  kHttpSelectFailed = 107,
  kHttpWaitTimedOut = 108,
  kHttpHeadAlreadyParsed = 109,
  kHttpNoCompleteHead = 110,
  kHttpNoResponseHead = 111,
  kHttpNoHeaderName = 113,
  kHttpNoSuchHeader = 114,
  kHttpBadUrl = 115,
  // The answer was not complete when the exchange time limit ran out.
  kHttpExchangeTimedOut = 116,
  // The peer sent more than kMaxResponseBytes.
  kHttpResponseTooLarge = 117,
};

// Request kinds.
enum HttpKind : int {
  kHttpGet = 1,
  kHttpPost = 2,
  kHttpHead = 3,
};

// Request states.
enum HttpState : int {
  kHttpIdle = 0,
  kHttpHeadOpen = 1,
  kHttpHeadComplete = 2,
};

// Splits an "http://" URL into host (without port), port (80 when none) and path ("/" when none).
// Each output may be null. Returns 1 when the URL was accepted, 0 when not.
int ParseUrl(const char* url, char* host, unsigned hostSize, uint16_t* port, char* path,
             unsigned pathSize);
// 1 when text holds a byte that must be percent-encoded in a request path.
int NeedsEscaping(const char* text);
// Writes text to out with every unsafe byte as "%XX"; out needs 3 * length + 1 bytes. Returns the
// number of bytes written before the NUL.
int EscapePath(const char* text, char* out);

// One HTTP/1.0 exchange (GET or HEAD; POST in HttpPostRequest) over a SocketClient.
class HttpRequest : public SocketClient {
 public:
  // The most bytes an answer may bring: the uploader needs only the status, and the buffer is
  // copied whole on every receive.
  static constexpr uint32_t kMaxResponseBytes = 4u << 20;

  HttpRequest();
  ~HttpRequest();

  void Reset() override;
  virtual int GetMethodName(int kind, char* out, unsigned size);
  virtual int FinishHead();

  int OpenUrl(const char* url, int kind);
  int SetPath(const char* path);
  int BeginRequest(int kind);
  int AddHeaderLine(const char* text);
  int AddHeaderBytes(const char* text, unsigned length);
  int AddHeaderFormat(int maximum, const char* format, ...) __attribute__((format(printf, 3, 4)));
  int SendAndReceive();
  int SendAndClose();
  int WaitAndReceive(int timeoutMs);
  int ParseResponseHead();
  int GetHeader(const char* name, char* out, unsigned size);

  // The response head (status line and header lines), null until one was parsed.
  const char* ResponseHead() const { return responseHead; }

 protected:
  // "Connection: close" and the empty line; the head is then complete but for a POST's body.
  int EndHead();
  // Appends CR LF to the head through AppendBytes, so any number of them is safe.
  void AppendLineEnd();

  char* path;
  int32_t kind;
  char* head;
  uint32_t headLength;
  int32_t state;
  char* responseHead;

 public:
  // The status code of the answer; 0 until a response head was parsed.
  int32_t statusCode;

 private:
  friend class HttpTestAccess;
};
