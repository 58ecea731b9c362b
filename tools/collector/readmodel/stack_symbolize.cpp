#include "readmodel/stack_symbolize.h"

#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

#include "gbk.h"
#include "readmodel/read_model.h"
#include "readmodel/symbol_source.h"
#include "store/report_store.h"

namespace collector {
namespace {

constexpr size_t kGroupFrames = 3;

struct Request {
  size_t stack;
  size_t frame;
  uint64_t address;
};

std::string Hex(uint32_t value, bool padded) {
  char text[16];
  std::snprintf(text, sizeof(text), padded ? "0x%08x" : "0x%x", value);
  return text;
}

// Where the frame lies as stack.txt put it: the module name is the report's (GBK) text.
std::string RawLocation(const StackFrame& frame) {
  if (frame.module.empty()) {
    return Hex(frame.address, true);
  }
  return StripControls(GbkToUtf8(frame.module)) + "+" + Hex(frame.offset, false);
}

}  // namespace

std::vector<std::vector<ResolvedFrame>> ResolveStacks(ReportStore& store,
                                                      const std::vector<StackTrace>& stacks,
                                                      size_t maxFrames) {
  std::vector<std::vector<ResolvedFrame>> resolved(stacks.size());
  using Key = std::tuple<std::string, uint32_t, std::string>;
  std::map<Key, SymbolSource> symbolFiles;  // id 0: none stored for that key
  std::map<int64_t, SymbolSource> sources;
  std::map<int64_t, std::vector<Request>> requests;
  for (size_t s = 0; s < stacks.size(); ++s) {
    const StackTrace& trace = stacks[s];
    for (size_t f = 0; f < trace.frames.size() && f < maxFrames; ++f) {
      const StackFrame& frame = trace.frames[f];
      resolved[s].push_back(ResolvedFrame{frame, SourceLocation()});
      const StackModule* module = ModuleOf(trace, frame);
      bool returnAddress = frame.index != 0;
      if (module == nullptr || (returnAddress && frame.offset == 0)) {
        continue;
      }
      Key key{LowerAscii(module->name), module->timestamp, module->debugId};
      auto known = symbolFiles.find(key);
      if (known == symbolFiles.end()) {
        SymbolSource source;
        bool found = false;
        std::string error;
        if (!FindSymbolSource(store, *module, source, found, error) || !found) {
          source.id = 0;
        }
        known = symbolFiles.emplace(key, source).first;
        sources[source.id] = source;
      }
      if (known->second.id == 0) {
        continue;
      }
      // llvm-symbolizer wants a PE address as the image-base-relative VA, not the RVA.
      uint64_t address = known->second.imageBase + frame.offset - (returnAddress ? 1 : 0);
      requests[known->second.id].push_back(Request{s, f, address});
    }
  }
  if (requests.empty()) {
    return resolved;
  }
  // Results of earlier runs first: the same crash sends the same addresses again and again.
  std::vector<FrameSymbol> known;
  for (const auto& [id, list] : requests) {
    for (const Request& request : list) {
      known.push_back(FrameSymbol{id, request.address, "", "", 0, false});
    }
  }
  std::string ignored;
  if (!store.Read([&](SqlSession& session,
                      std::string& error) { return LookupFrameSymbols(session, known, error); },
                  ignored)) {
    for (FrameSymbol& frame : known) {
      frame.found = false;
    }
  }
  std::vector<FrameSymbol> fresh;
  std::unique_ptr<ScratchDir> scratch;
  size_t at = 0;
  for (const auto& [id, list] : requests) {
    std::vector<size_t> missing;
    for (size_t i = 0; i < list.size(); ++i, ++at) {
      const FrameSymbol& frame = known[at];
      if (frame.found) {
        resolved[list[i].stack][list[i].frame].location =
            SourceLocation{frame.function, frame.file, frame.line};
      } else {
        missing.push_back(i);
      }
    }
    if (missing.empty()) {
      continue;
    }
    if (scratch == nullptr) {
      scratch = std::make_unique<ScratchDir>();
    }
    std::string path = LaySymbolSource(store, sources[id], *scratch);
    if (path.empty()) {
      continue;
    }
    std::vector<uint64_t> addresses;
    for (size_t i : missing) {
      addresses.push_back(list[i].address);
    }
    std::vector<SourceLocation> locations = Symbolize(path, addresses, *scratch);
    for (size_t m = 0; m < missing.size() && m < locations.size(); ++m) {
      const Request& request = list[missing[m]];
      SourceLocation& location = resolved[request.stack][request.frame].location;
      location = locations[m];
      location.function = ValidUtf8(StripControls(location.function));
      location.file = ValidUtf8(StripControls(location.file));
      fresh.push_back(
          FrameSymbol{id, request.address, location.function, location.file, location.line, true});
    }
  }
  // Kept for the next time; a store opened for reading only just does not keep them.
  if (!fresh.empty()) {
    store.Write([&](SqlSession& session,
                    std::string& error) { return SaveFrameSymbols(session, fresh, error); },
                ignored);
  }
  return resolved;
}

std::string FrameLine(const ResolvedFrame& resolved) {
  std::string out = "#" + std::to_string(resolved.frame.index) + " ";
  const SourceLocation& location = resolved.location;
  if (location.function.empty()) {
    return out + RawLocation(resolved.frame);
  }
  out += StripControls(location.function) + " ";
  if (location.file.empty()) {
    return out + RawLocation(resolved.frame);
  }
  return out + StripControls(location.file) + ":" + std::to_string(location.line);
}

bool IsOutsideTheGame(const ResolvedFrame& resolved) {
  const std::string module = LowerAscii(resolved.frame.module);
  // The crash reporter's own crash path, the C runtimes and the system's own libraries: the same
  // bug reaches them by different ways (another thread, another build of the reporter).
  static const char* const kModules[] = {"vexocrashrpt.dll", "ntdll.dll", "kernel32.dll",
                                         "kernelbase.dll", "msvcrt.dll", "ucrtbase.dll"};
  for (const char* name : kModules) {
    if (module == name) return true;
  }
  auto startsWith = [&](const char* prefix) { return module.rfind(prefix, 0) == 0; };
  if (startsWith("msvcr") || startsWith("msvcp") || startsWith("vcruntime") ||
      startsWith("api-ms-win-")) {
    return true;
  }
  // A runtime linked into the game: its way to abort, terminate and report a pure call.
  const std::string& function = resolved.location.function;
  static const char* const kRuntimeFunctions[] = {
      "abort", "raise", "_purecall", "__cxa_pure_virtual", "__cxa_deleted_virtual",
      "std::terminate()", "__cxxabiv1::__terminate(void (*)())", "__cxa_call_terminate",
      "__gnu_cxx::__verbose_terminate_handler()", "_invalid_parameter", "_invoke_watson"};
  for (const char* name : kRuntimeFunctions) {
    if (function == name) return true;
  }
  return false;
}

std::vector<std::string> StackGroupFrames(const std::vector<ResolvedFrame>& frames) {
  // The game's own top frames; a stack with none of them keeps its plain top frames.
  // A scanned word whose call could not be checked may be a stale return address: never a key.
  std::vector<const ResolvedFrame*> sound;
  for (const ResolvedFrame& frame : frames) {
    if (frame.frame.method != "scan-unvalidated") sound.push_back(&frame);
  }
  std::vector<const ResolvedFrame*> chosen;
  for (const ResolvedFrame* frame : sound) {
    if (chosen.size() < kGroupFrames && !IsOutsideTheGame(*frame)) chosen.push_back(frame);
  }
  if (chosen.empty()) {
    for (size_t i = 0; i < sound.size() && i < kGroupFrames; ++i) chosen.push_back(sound[i]);
  }
  std::vector<std::string> out;
  for (const ResolvedFrame* frame : chosen) {
    const std::string& function = frame->location.function;
    out.push_back(function.empty() ? RawLocation(frame->frame) : StripControls(function));
  }
  return out;
}

std::string StackGroupKey(const std::vector<ResolvedFrame>& frames) {
  std::string key;
  for (const std::string& frame : StackGroupFrames(frames)) {
    key += (key.empty() ? "" : " | ") + frame;
  }
  return key;
}

}  // namespace collector
