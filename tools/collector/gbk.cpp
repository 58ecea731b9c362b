#include "gbk.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace collector {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Without a usable converter, ASCII still reads correctly and nothing else is guessed at.
std::string AsciiOnly(const std::string& gbk) {
  std::string out;
  out.reserve(gbk.size());
  for (char c : gbk) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out += c;
    } else {
      out += kReplacement;
    }
  }
  return out;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return AsciiOnly(gbk);
  }
  std::string out;
  // A GBK character of one or two bytes never needs more than three UTF-8 bytes.
  char buffer[4096];
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof(buffer);
    size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc != static_cast<size_t>(-1)) {
      continue;
    }
    if (errno == E2BIG) {
      continue;
    }
    // EILSEQ (an invalid sequence) or EINVAL (a lead byte cut off at the end), or anything
    // unexpected: skip one byte so the loop always advances.
    out += kReplacement;
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

std::string StripControls(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = ' ';
    }
  }
  return text;
}

std::string StripTerminalControls(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == 0xC2 && i + 1 < utf8.size()) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {  // a C1 control, such as CSI
        out += ' ';
        ++i;
        continue;
      }
    }
    const bool kept = c >= 0x20 ? c != 0x7F : c == '\n' || c == '\r' || c == '\t';
    out += kept ? static_cast<char>(c) : ' ';
  }
  return out;
}

size_t Utf8SequenceLength(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = 0;
  uint32_t point = 0;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > text.size()) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80u) {
      return 0;
    }
    point = (point << 6) | (byte(at + i) & 0x3Fu);
  }
  bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  bool surrogate = point >= 0xD800 && point <= 0xDFFF;
  return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += '?';
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace collector
