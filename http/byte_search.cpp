#include "http/byte_search.h"

#include <cstring>

const char* FindBytes(const char* data, size_t length, const char* needle, size_t needleLength) {
  if (data == nullptr || needleLength == 0 || length < needleLength) return nullptr;
  const char* last = data + (length - needleLength);
  for (const char* p = data; p <= last; ++p) {
    p = static_cast<const char*>(std::memchr(p, needle[0], static_cast<size_t>(last - p) + 1));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p, needle, needleLength) == 0) return p;
  }
  return nullptr;
}
