#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Log-like text: compressible, but not trivially so.
inline Bytes LogText(size_t size, uint32_t seed) {
  static const char* const kMessages[] = {
      "player connected", "map loaded: dungeon_",
      "frame time spike ms=", "texture cache miss id=", "saving profile slot "};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    char line[128];
    std::snprintf(line, sizeof line, "2026-12-08 14:%02u:%02u.%03u [%s] %s%u\r\n",
                  static_cast<unsigned>(random() % 60), static_cast<unsigned>(random() % 60),
                  static_cast<unsigned>(random() % 1000), random() % 4 == 0 ? "WARN" : "INFO",
                  kMessages[random() % 5], static_cast<unsigned>(random() % 100000));
    text += line;
  }
  text.resize(size);
  return ToBytes(text);
}

// A new[] copy, as Compress expects of an input it may release.
inline unsigned char* HeapCopy(const Bytes& bytes) {
  unsigned char* copy = new unsigned char[bytes.size() == 0 ? 1 : bytes.size()];
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  return copy;
}

inline Bytes BlockBytes(const unsigned char* block, int length) {
  return Bytes(block, block + length);
}
