#pragma once

#include <string>

namespace collector {

// What the crash summary at the end of a decoded log says. All texts are the raw GBK bytes of
// the value (without the label and the line end); a field is empty when its line is missing.
struct CrashFacts {
  bool found = false;         // a summary line of any kind was seen
  bool unknownError = false;  // the "no exception record" line stands instead of code/address
  std::string time;
  std::string program;
  std::string code;
  std::string address;
  std::string flags;
};

// Reads the summary from the log text. The game's own log comes first and may hold older
// summaries, so parsing starts at the last exception-time line when there is one.
CrashFacts ParseCrashFacts(const std::string& log);

}  // namespace collector
