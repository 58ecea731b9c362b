#include "common/text_helpers.h"

#include <cstdint>
#include <cstring>

namespace {

int DigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

uint32_t ReadDigits(const unsigned char*& p, int base) {
  uint32_t value = 0;
  for (int d; (d = DigitValue(*p)) < base; ++p) value = value * static_cast<uint32_t>(base) + d;
  return value;
}

int Parse(const unsigned char*& p, int defaultValue) {
  const unsigned char* start = p;
  while (*p >= 1 && *p <= 32) ++p;
  if (*p == '-') {
    ++p;
    return static_cast<int>(0u - ReadDigits(p, 10));
  }
  if (*p < '0' || *p > '9') {
    p = start;
    return defaultValue;
  }
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    // "0x" without a hexadecimal digit after it reads as the 0 alone.
    if (DigitValue(p[2]) < 16) {
      p += 2;
      return static_cast<int>(ReadDigits(p, 16));
    }
    ++p;
    return 0;
  }
  return static_cast<int>(ReadDigits(p, p[0] == '0' ? 8 : 10));
}

}  // namespace

int ParseLenientInt(const char* text, int defaultValue) {
  const char* end = nullptr;
  return ParseLenientInt(text, defaultValue, &end);
}

int ParseLenientInt(const char* text, int defaultValue, const char** end) {
  if (text == nullptr) {
    *end = text;
    return defaultValue;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  int value = Parse(p, defaultValue);
  *end = reinterpret_cast<const char*>(p);
  return value;
}

char* DupString(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

bool IsUsableReportUrl(const char* url) {
  static const char kScheme[] = "http://";
  if (url == nullptr || std::strlen(url) < 8) return false;
  for (int i = 0; i < 7; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}
