#pragma once

#include <string>

namespace collector {

// Converts GBK (code page 936) bytes to UTF-8. Never fails: each byte that does not start a
// valid GBK sequence becomes U+FFFD and the conversion carries on after it.
std::string GbkToUtf8(const std::string& gbk);

// Text fit for one line on a terminal: control bytes (below 0x20, and 0x7F) become spaces, so
// that nothing from an upload can move the cursor or end a line.
std::string StripControls(std::string text);

// UTF-8 text fit for a terminal over several lines: line feeds, carriage returns and tabs stay;
// every other control character, C1 controls (U+0080 to U+009F) included, becomes a space, so
// that a log cannot send escape sequences to the terminal that shows it.
std::string StripTerminalControls(const std::string& utf8);

// The text with every byte that does not start a valid UTF-8 sequence replaced by '?'.
std::string ValidUtf8(const std::string& text);

// Length of the valid UTF-8 sequence starting at text[at] (at < size), or 0: overlong forms,
// surrogates and code points above U+10FFFF are invalid.
size_t Utf8SequenceLength(const std::string& text, size_t at);

}  // namespace collector
