#pragma once

// Reads an integer the forgiving way the game's own files are written: leading control bytes and
// blanks (1 to 32) are skipped; '-' starts a decimal number (a lone '-' is 0); a digit starts a
// number with C "%i" base detection (0x hexadecimal, leading 0 octal, else decimal), read up to the
// first byte that does not fit. Anything else, '+' and bytes 128-255 included, and a null text give
// defaultValue. Overlong numbers wrap modulo 2^32 rather than invoking undefined behaviour.
int ParseLenientInt(const char* text, int defaultValue);

// The same, also telling where the number ended (at text itself when nothing was read), so that
// a scan can carry on after the number instead of inside it.
int ParseLenientInt(const char* text, int defaultValue, const char** end);

// A report URL is usable when it is longer than "http://" and starts with it, in any case.
bool IsUsableReportUrl(const char* url);

// A new[] copy of text with its NUL, or null for a null text. Release with delete[].
char* DupString(const char* text);
