#pragma once

#include <string>

namespace collector {

// Converts GBK (code page 936) bytes to UTF-8. Never fails: each byte that does not start a
// valid GBK sequence becomes U+FFFD and the conversion carries on after it.
std::string GbkToUtf8(const std::string& gbk);

// Text fit for one line on a terminal: control bytes (below 0x20, and 0x7F) become spaces, so
// that nothing from an upload can move the cursor or end a line.
std::string StripControls(std::string text);

}  // namespace collector
