#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "formats/stack_text.h"
#include "formats/symbolizer.h"

namespace collector {

class ReportStore;

struct ResolvedFrame {
  StackFrame frame;
  SourceLocation location;  // empty where no symbol file matched or the symbolizer said nothing
};

// Resolves the first maxFrames frames of every stack through the symbol files stored now: from
// the stored results of earlier runs where there are some, else one llvm-symbolizer run per
// symbol file, whose results are stored for the next time. Frames other than #0 are return
// addresses, so the byte before them is looked up: that is the call.
std::vector<std::vector<ResolvedFrame>> ResolveStacks(ReportStore& store,
                                                      const std::vector<StackTrace>& stacks,
                                                      size_t maxFrames);

// "#N function file:line", "#N function MODULE+0xOFFSET" without a line, "#N MODULE+0xOFFSET"
// without symbols, "#N 0xADDRESS" outside every module. UTF-8, no control bytes.
std::string FrameLine(const ResolvedFrame& frame);

// Frames a group key leaves out: the crash reporter's own, the C runtimes' (by module, or by the
// function of a runtime's abort, terminate and pure-call paths linked into the game) and the
// system's (ntdll, kernel32, kernelbase).
bool IsOutsideTheGame(const ResolvedFrame& frame);

// What identical crashes share: the top three frames of the game itself (see IsOutsideTheGame; all
// frames when none is the game's; never a frame found by an unvalidated scan), by function name where symbolized, else by MODULE+0xOFFSET,
// joined by " | ".
std::string StackGroupKey(const std::vector<ResolvedFrame>& frames);

// The same top frames, one string each.
std::vector<std::string> StackGroupFrames(const std::vector<ResolvedFrame>& frames);

}  // namespace collector
