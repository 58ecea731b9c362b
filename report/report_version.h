#pragma once

#include <cstddef>

// The game's version as it goes into the report's "ver" field.
struct ReportVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  bool IsZero() const { return major == 0 && minor == 0 && patch == 0; }
};

// "%d.%d.%d" cut to its first 9 characters, so 100.200.300 is sent as 100.200.3.
constexpr size_t kVersionTextSize = 12;
void FormatVersionText(const ReportVersion& version, char (&text)[kVersionTextSize]);

// ver.csv's text (its first 4095 bytes, NUL-terminated): the first three numbers after the first
// line feed, on any later line; 0.0.0 when there are none.
ReportVersion VersionFromCsvText(const char* text);

// conf.ini's VERSION value: up to three numbers separated by dots; 1.0.0 when it is empty or gives
// 0.0.0.
ReportVersion VersionFromConfValue(const char* value);

// Copies conf.ini's [SYSTEM] VERSION value into buffer (at most size characters and a NUL) and
// returns the number of characters copied: 0 when there is no such value.
using ConfVersionReader = unsigned (*)(char* buffer, unsigned size);

// ver.csv at csvPath, else conf.ini through readConf (null: there is none), else 1.0.0.
ReportVersion ReadReportVersion(const char* csvPath, ConfVersionReader readConf);
