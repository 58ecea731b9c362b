#include "gbk.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>

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

}  // namespace collector
