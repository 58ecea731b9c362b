// Arbitrary bytes arriving in arbitrary chunks through ParseResponseHead and GetHeader, the way
// WaitAndReceive hands them over after each receive.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_request.h"
#include "http/http_test_access.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const char* const kNames[] = {
    "Content-Length", "content-length", "X", "HTTP/1.0 200 OK", ":", "Server", "A"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the chunk sizes; the rest is the answer as it arrives.
  unsigned chunkSeed = data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  size_t length = size - 1;
  std::string all(bytes, length);

  HttpRequest request;
  size_t fed = 0;
  while (fed < length) {
    size_t chunk = 1 + (chunkSeed * 7 + fed) % 23;
    chunkSeed = chunkSeed * 33 + 1;
    if (chunk > length - fed) chunk = length - fed;
    HttpTestAccess::Feed(request, bytes + fed, static_cast<uint32_t>(chunk));
    fed += chunk;
    if (request.ResponseHead() == nullptr) {
      int code = request.ParseResponseHead();
      Check(code == kHttpOk || code == kHttpNoCompleteHead);
    } else {
      Check(request.ParseResponseHead() == kHttpHeadAlreadyParsed);
    }
  }

  size_t headEnd = all.find("\r\n\r\n");
  bool parsable = all.compare(0, 5, "HTTP/") == 0 && length >= 5 && headEnd != std::string::npos;
  Check(parsable == (request.ResponseHead() != nullptr));
  char value[64];
  if (!parsable) {
    Check(request.statusCode == 0);
    Check(request.GetHeader("Content-Length", value, sizeof(value)) == kHttpNoResponseHead);
    Check(std::string(request.Response() != nullptr ? request.Response() : "",
                      request.ResponseLength()) == all);
    return 0;
  }
  // The head and the body together are exactly what arrived, minus the blank line.
  std::string head = all.substr(0, headEnd);
  Check(std::memcmp(request.ResponseHead(), head.data(), head.size()) == 0);
  Check(request.ResponseHead()[head.size()] == '\0');
  Check(std::string(request.Response() != nullptr ? request.Response() : "",
                    request.ResponseLength()) == all.substr(headEnd + 4));
  if (request.ResponseLength() != 0) Check(request.Response()[request.ResponseLength()] == '\0');

  for (const char* name : kNames) {
    for (unsigned outSize : {0u, 1u, 2u, 64u}) {
      std::memset(value, 'X', sizeof(value));
      int code = request.GetHeader(name, outSize ? value : nullptr, outSize);
      Check(code == kHttpOk || code == kHttpNoSuchHeader);
      if (code == kHttpOk && outSize != 0) {
        Check(std::memchr(value, '\0', outSize) != nullptr);
        Check(std::strpbrk(value, "\r\n") == nullptr);
      }
    }
  }
  Check(request.GetHeader("", value, sizeof(value)) == kHttpNoHeaderName);
  return 0;
}
