#pragma once

#include <chrono>
#include <string>

#include "http/socket_client.h"

// Shortens the exchange time limit for one test and restores the default afterwards.
class ScopedExchangeLimit {
 public:
  explicit ScopedExchangeLimit(unsigned milliseconds) {
    SocketClient::SetExchangeTimeLimit(milliseconds);
  }
  ~ScopedExchangeLimit() { SocketClient::SetExchangeTimeLimit(0); }
};

class Stopwatch {
 public:
  long long ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Bytes in a repeating, boundary-free pattern.
inline std::string PatternBytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);
  return bytes;
}
