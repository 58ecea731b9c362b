#include "http/http_request.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/text_helpers.h"
#include "http/byte_search.h"

namespace {

constexpr char kScheme[] = "http://";
constexpr size_t kSchemeLength = 7;
constexpr unsigned kHostBufferSize = 256;
constexpr unsigned kPathBufferSize = 4096;
constexpr size_t kMaxPathLength = 65535;
constexpr unsigned kMethodBufferSize = 32;
constexpr int kHeadPieceSize = 65535;
constexpr int kSelectStepMs = 1000;
constexpr unsigned kHeaderValueBufferSize = 64;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsUnsafePathByte(unsigned char c) {
  // Controls, blanks and bytes past ASCII, and the characters that delimit or quote URL parts.
  return c <= 32 || c >= 127 || std::strchr("<>\"#%{}|\\^~[]`'", c) != nullptr;
}

// The port text as atoi would read it, but wrapping instead of overflowing: blanks, a sign,
// decimal digits up to the first other byte.
uint16_t ReadPort(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  if (negative) value = 0u - value;
  return static_cast<uint16_t>(value & 0xFFFF);
}


}  // namespace

int ParseUrl(const char* url, char* host, unsigned hostSize, uint16_t* port, char* path,
             unsigned pathSize) {
  if (url == nullptr || url[0] == '\0') return 0;
  for (size_t i = 0; i < kSchemeLength; ++i) {
    // The NUL of a short URL never equals a scheme letter, so the loop stops there.
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return 0;
  }
  const char* rest = url + kSchemeLength;
  const char* slash = std::strchr(rest, '/');
  size_t hostLength = slash != nullptr ? static_cast<size_t>(slash - rest) : std::strlen(rest);

  if (host != nullptr && hostSize != 0) {
    size_t copied = std::min<size_t>(hostLength, hostSize - 1);
    std::memcpy(host, rest, copied);
    host[copied] = '\0';
    char* colon = std::strchr(host, ':');
    if (colon != nullptr) *colon = '\0';
  }
  if (port != nullptr) {
    const char* colon = std::strchr(rest, ':');
    if (colon != nullptr && (slash == nullptr || colon < slash)) {
      *port = ReadPort(colon + 1);
    } else {
      *port = 80;
    }
  }
  if (path != nullptr && pathSize != 0) {
    if (pathSize == 1) {
      path[0] = '\0';
    } else if (slash == nullptr) {
      std::strcpy(path, "/");
    } else {
      size_t copied = std::min<size_t>(std::strlen(slash), pathSize - 1);
      std::memcpy(path, slash, copied);
      path[copied] = '\0';
    }
  }
  return 1;
}

int NeedsEscaping(const char* text) {
  if (text == nullptr) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (IsUnsafePathByte(*p)) return 1;
  }
  return 0;
}

int EscapePath(const char* text, char* out) {
  if (out == nullptr) return 0;
  if (text == nullptr || text[0] == '\0') {
    out[0] = '\0';
    return 0;
  }
  char* o = out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (IsUnsafePathByte(*p)) {
      *o++ = '%';
      *o++ = kHexDigits[*p >> 4];
      *o++ = kHexDigits[*p & 15];
    } else {
      *o++ = static_cast<char>(*p);
    }
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

HttpRequest::HttpRequest()
    : path(nullptr),
      kind(0),
      head(nullptr),
      headLength(0),
      state(kHttpIdle),
      responseHead(nullptr),
      statusCode(0) {}

HttpRequest::~HttpRequest() {
  delete[] path;
  path = nullptr;
  delete[] head;
  head = nullptr;
  delete[] responseHead;
  responseHead = nullptr;
}

void HttpRequest::Reset() {
  delete[] path;
  path = nullptr;
  delete[] head;
  head = nullptr;
  delete[] responseHead;
  responseHead = nullptr;
  kind = 0;
  state = kHttpIdle;
  headLength = 0;
  statusCode = 0;
  SocketClient::Reset();
}

int HttpRequest::OpenUrl(const char* url, int requestKind) {
  char hostText[kHostBufferSize];
  char pathText[kPathBufferSize];
  uint16_t port = 0;
  if (!ParseUrl(url, hostText, sizeof(hostText), &port, pathText, sizeof(pathText))) {
    return kHttpBadUrl;
  }
  int code = SetHost(hostText, port);
  if (code != kHttpOk) return code;
  code = SetPath(pathText);
  if (code != kHttpOk) return code;
  return BeginRequest(requestKind);
}

int HttpRequest::SetPath(const char* newPath) {
  if (head != nullptr) return kHttpPathLocked;
  delete[] path;
  path = nullptr;
  if (newPath == nullptr || newPath[0] == '\0') {
    path = DupString("/");
    return kHttpOk;
  }
  size_t length = std::strlen(newPath);
  if (length > kMaxPathLength) return kHttpPathTooLong;
  if (NeedsEscaping(newPath)) {
    path = new char[3 * length + 1];
    EscapePath(newPath, path);
  } else {
    path = DupString(newPath);
  }
  return kHttpOk;
}

int HttpRequest::BeginRequest(int requestKind) {
  lastError = 0;
  if (!addressSet) return kSocketNoAddress;
  if (path == nullptr || path[0] == '\0') return kHttpNoPath;
  if (state != kHttpIdle) return kHttpAlreadyBegun;
  delete[] head;
  head = nullptr;
  headLength = 0;

  char method[kMethodBufferSize];
  int code = GetMethodName(requestKind, method, sizeof(method));
  if (code != kHttpOk) return code;
  kind = requestKind;
  state = kHttpHeadOpen;

  size_t pathLength = std::strlen(path);
  size_t hostLength = hostName != nullptr ? std::strlen(hostName) : 0;
  code = AddHeaderFormat(static_cast<int>(pathLength + 256), "%s %s HTTP/1.0", method, path);
  if (code == kHttpOk) {
    code = AddHeaderFormat(static_cast<int>(std::min<size_t>(hostLength + 64, INT32_MAX)),
                           "HOST: %s", hostName != nullptr ? hostName : "");
  }
  if (code == kHttpOk) code = AddHeaderLine("Accept: */*");
  if (code == kHttpOk) code = AddHeaderLine("Pragma: no-cache");
  if (code == kHttpOk) code = AddHeaderLine("Cache-Control: no-cache");
  return code;
}

int HttpRequest::GetMethodName(int requestKind, char* out, unsigned size) {
  if (out != nullptr && size != 0) out[size - 1] = '\0';
  const char* name = nullptr;
  if (requestKind == kHttpGet) name = "GET";
  if (requestKind == kHttpHead) name = "HEAD";
  if (name == nullptr) return kHttpNoMethod;
  if (out != nullptr && size > 1) std::strncpy(out, name, size - 1);
  return kHttpOk;
}

void HttpRequest::AppendLineEnd() { AppendBytes(head, headLength, "\r\n", 2); }

int HttpRequest::AddHeaderBytes(const char* text, unsigned length) {
  if (state != kHttpHeadOpen) return kHttpWrongState;
  if (text == nullptr || length == 0) {
    // An empty line has no append before it to guarantee room, so it goes through AppendBytes.
    AppendLineEnd();
    return kHttpOk;
  }
  AppendBytes(head, headLength, text, length);
  // The append just left 32 bytes of room, the first four zero: CR, LF and the NUL fit.
  head[headLength] = '\r';
  head[headLength + 1] = '\n';
  head[headLength + 2] = '\0';
  headLength += 2;
  return kHttpOk;
}

int HttpRequest::AddHeaderLine(const char* text) {
  if (text == nullptr || text[0] == '\0') return AddHeaderBytes(nullptr, 0);
  return AddHeaderBytes(text, static_cast<unsigned>(std::strlen(text)));
}

int HttpRequest::AddHeaderFormat(int maximum, const char* format, ...) {
  if (format == nullptr || format[0] == '\0') return AddHeaderLine(nullptr);
  size_t limit = maximum > 0 ? static_cast<size_t>(maximum) : 0;
  // Owned, so a refused append cannot leak it.
  std::unique_ptr<char[]> block(new char[limit + 1]);
  va_list arguments;
  va_start(arguments, format);
  // Some runtimes' vsnprintf leave the block unterminated when they cut: the NUL is forced.
  block[0] = '\0';
  std::vsnprintf(block.get(), limit + 1, format, arguments);
  va_end(arguments);
  block[limit] = '\0';
  return AddHeaderBytes(block.get(), static_cast<unsigned>(std::strlen(block.get())));
}

int HttpRequest::EndHead() {
  int code = AddHeaderLine("Connection: close");
  if (code != kHttpOk) return code;
  AppendLineEnd();
  return kHttpOk;
}

int HttpRequest::FinishHead() {
  if (state != kHttpHeadOpen) return kHttpWrongState;
  int code = EndHead();
  if (code != kHttpOk) return code;
  state = kHttpHeadComplete;
  return kHttpOk;
}

int HttpRequest::SendAndReceive() {
  // One deadline for connecting, sending and receiving: a peer that stalls anywhere cannot hold
  // the crashed process past the limit.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ExchangeTimeLimit());
  lastError = 0;
  if (state == kHttpIdle) return kHttpWrongState;
  if (state == kHttpHeadOpen) {
    int code = FinishHead();
    if (code != kHttpOk) return code;
  }
  if (state != kHttpHeadComplete) return kHttpHeadNotComplete;
  if (!connected) {
    int code = ConnectUntil(deadline);
    if (code != kSocketOk) return code;
    if (!connected) return kSocketNotConnected;
  }
  delete[] responseHead;
  responseHead = nullptr;
  statusCode = 0;

  for (uint32_t offset = 0; offset < headLength;) {
    int piece = static_cast<int>(std::min<uint32_t>(headLength - offset, kHeadPieceSize));
    int code = SendAllUntil(head + offset, piece, deadline);
    if (code != kSocketOk) return code;
    offset += static_cast<uint32_t>(piece);
  }

  int expected = -1;
  for (;;) {
    if (expected >= 0 && responseLength >= static_cast<uint32_t>(expected)) return kHttpOk;
    if (kind == kHttpHead && responseHead != nullptr) return kHttpOk;
    if (expected == -1 && responseHead != nullptr) {
      char value[kHeaderValueBufferSize];
      if (GetHeader("Content-Length", value, sizeof(value)) != kHttpOk) {
        expected = -2;
      } else {
        expected = ParseLenientInt(value, -2);
      }
      if (expected > 0 && responseLength >= static_cast<uint32_t>(expected)) return kHttpOk;
    }
    if (responseLength > kMaxResponseBytes) return kHttpResponseTooLarge;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return kHttpExchangeTimedOut;
    int code = WaitAndReceive(static_cast<int>(std::min<long long>(left.count(), kSelectStepMs)));
    if (code != kHttpOk && code != kHttpWaitTimedOut) return code;
  }
}

int HttpRequest::SendAndClose() {
  SendAndReceive();
  CloseSocket();
  return kHttpOk;
}

int HttpRequest::WaitAndReceive(int timeoutMs) {
  lastError = 0;
  if (!connected) return kSocketNotConnected;
  if (!NetFitsSelect(socketHandle)) {
    lastError = kNetBadSocketError;
    return kHttpSelectFailed;
  }
  if (timeoutMs < 0) timeoutMs = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socketHandle, &readable);
  timeval wait;
  wait.tv_sec = timeoutMs / 1000;
  wait.tv_usec = timeoutMs % 1000 * 1000;
  int ready = select(NetSelectWidth(socketHandle), &readable, nullptr, nullptr, &wait);
  if (ready == SOCKET_ERROR) {
    lastError = WSAGetLastError();
    return kHttpSelectFailed;
  }
  if (ready == 0) return kHttpWaitTimedOut;
  int code = ReceiveOnce();
  if (code != kSocketOk) return code;
  if (responseHead == nullptr) ParseResponseHead();
  return kHttpOk;
}

int HttpRequest::ParseResponseHead() {
  if (responseHead != nullptr) return kHttpHeadAlreadyParsed;
  if (response == nullptr || responseLength < 5 || std::memcmp(response, "HTTP/", 5) != 0) {
    return kHttpNoCompleteHead;
  }
  const char* end = FindBytes(response, responseLength, "\r\n\r\n", 4);
  if (end == nullptr) return kHttpNoCompleteHead;

  uint32_t headBytes = static_cast<uint32_t>(end - response);
  responseHead = new char[static_cast<size_t>(headBytes) + 16];
  std::memcpy(responseHead, response, headBytes);
  responseHead[headBytes] = '\0';

  uint32_t consumed = headBytes + 4;
  if (consumed < responseLength) {
    std::memmove(response, response + consumed, responseLength - consumed);
    responseLength -= consumed;
    response[responseLength] = '\0';
  } else {
    responseLength = 0;
  }

  // The status line ends at its first line feed; a NUL inside the head ends it too.
  statusCode = 0;
  for (const char* p = responseHead; *p != '\0' && *p != '\n'; ++p) {
    if (*p == ' ') {
      statusCode = ParseLenientInt(p + 1, 0);
      break;
    }
  }
  return kHttpOk;
}

int HttpRequest::GetHeader(const char* name, char* out, unsigned size) {
  if (responseHead == nullptr) return kHttpNoResponseHead;
  if (name == nullptr || name[0] == '\0') return kHttpNoHeaderName;
  size_t nameLength = std::strlen(name);
  const char* line = responseHead;
  while (*line != '\0') {
    size_t i = 0;
    // Stops at the head's NUL too, since no name byte equals it.
    while (i < nameLength && std::tolower(static_cast<unsigned char>(line[i])) ==
                                 std::tolower(static_cast<unsigned char>(name[i]))) {
      ++i;
    }
    if (i == nameLength && line[i] == ':') {
      if (out == nullptr || size == 0) return kHttpOk;
      const char* value = line + nameLength + 1;
      if (*value == ' ') ++value;
      unsigned copied = 0;
      while (copied + 1 < size && value[copied] != '\0' && value[copied] != '\r' &&
             value[copied] != '\n') {
        out[copied] = value[copied];
        ++copied;
      }
      out[copied] = '\0';
      return kHttpOk;
    }
    while (*line != '\0' && *line != '\r' && *line != '\n') ++line;
    while (*line == '\r' || *line == '\n') ++line;
  }
  return kHttpNoSuchHeader;
}
