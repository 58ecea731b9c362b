#include "dialog/player_text.h"

PlayerText::PlayerText(const char* gbk) {
  constexpr int kCapacity = sizeof text_ / sizeof text_[0];
  const int length = MultiByteToWideChar(kGbkCodePage, 0, gbk, -1, text_, kCapacity);
  // 0: longer than the buffer; what fits is kept.
  if (length == 0) text_[kCapacity - 1] = L'\0';
}
