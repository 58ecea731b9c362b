#pragma once

#include <windows.h>

// What the player reads is kept as GBK bytes (code page 936) and reaches the screen through the
// wide calls, decoded from 936 by number: the ANSI calls would read it in the system's own code
// page, which on an English or Japanese Windows turns it into mojibake or question marks.
constexpr UINT kGbkCodePage = 936;

// GBK text decoded for a wide call; cut to fit, always terminated.
class PlayerText {
 public:
  explicit PlayerText(const char* gbk);
  operator const wchar_t*() const { return text_; }

 private:
  wchar_t text_[512];
};
