// ParseUrl with every buffer size, EscapePath and SetPath on arbitrary text.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_request.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsUnsafe(unsigned char c) {
  return c <= 32 || c >= 127 || std::strchr("<>\"#%{}|\\^~[]`'", c) != nullptr;
}

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

bool HasScheme(const char* url) {
  for (int i = 0; i < 7; ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != "http://"[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the output sizes; the rest is the text.
  unsigned hostSize = data[0] % 40;
  unsigned pathSize = data[1] % 40;
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const char* url = text.c_str();

  char host[300];
  char path[4200];
  uint16_t port = 0;
  std::memset(host, 'X', sizeof(host));
  std::memset(path, 'X', sizeof(path));
  int accepted = ParseUrl(url, host, hostSize, &port, path, pathSize);
  Check(accepted == (HasScheme(url) ? 1 : 0));
  if (accepted) {
    if (hostSize != 0) Check(std::memchr(host, '\0', hostSize) != nullptr);
    Check(host[hostSize] == 'X');
    if (pathSize != 0) Check(std::memchr(path, '\0', pathSize) != nullptr);
    Check(path[pathSize] == 'X');
    if (pathSize > 1) Check(path[0] == '/');
    if (hostSize != 0)
      Check(std::strchr(host, ':') == nullptr && std::strchr(host, '/') == nullptr);
  }
  // The sizes OpenUrl uses, and null outputs.
  accepted = ParseUrl(url, host, 256, &port, path, 4096);
  if (accepted) Check(std::strlen(host) <= 255 && std::strlen(path) <= 4095 && path[0] == '/');
  ParseUrl(url, nullptr, 0, nullptr, nullptr, 0);

  // Escaping round-trips, and only the unsafe bytes change.
  std::string escaped(3 * std::strlen(url) + 1, 'X');
  int written = EscapePath(url, &escaped[0]);
  Check(written >= 0 && static_cast<size_t>(written) < escaped.size());
  Check(escaped[static_cast<size_t>(written)] == '\0');
  escaped.resize(static_cast<size_t>(written));
  std::string decoded;
  for (size_t i = 0; i < escaped.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(escaped[i]);
    Check(!IsUnsafe(c) || c == '%');
    if (c == '%') {
      Check(i + 2 < escaped.size());
      int value = HexValue(escaped[i + 1]) * 16 + HexValue(escaped[i + 2]);
      Check(IsUnsafe(static_cast<unsigned char>(value)));
      decoded += static_cast<char>(value);
      i += 2;
    } else {
      decoded += static_cast<char>(c);
    }
  }
  Check(decoded == url);
  Check(NeedsEscaping(url) == (escaped != url ? 1 : 0));

  HttpRequest request;
  if (request.SetPath(url) == kHttpOk) Check(request.BeginRequest(kHttpGet) == kSocketNoAddress);
  return 0;
}
